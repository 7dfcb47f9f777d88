' Names a host or a folder may bring that are no one file name on Windows.
' Arguments: DBPATH
Option Explicit
Dim db, o, r
db = WScript.Arguments(0)
Set o = CreateObject("VMReportLLUpdate.clsReportLLUpdate")
' A path in place of a name is refused before anything is opened by it.
r = o.Suche_ErsetzeProjektdatei("..\..\Rechnung.bel", (db), "Spacing.Paragraph=8", "=8", "=X")
WScript.Echo "path " & r
' Device names and forbidden names in the form folder are left with a message; the job goes on.
r = o.Umstellung_Auf_Neue_Anschrift((db))
WScript.Echo "address " & r
r = o.Umstellung_auf_LL24((db))
WScript.Echo "ll24 " & r
Set o = Nothing
WScript.Echo "done"
