' A form that another program holds open, made read-only by its user, is rewritten.
' Arguments: DBPATH
Option Explicit
Dim db, o, r, fso, form
db = WScript.Arguments(0)
Set fso = CreateObject("Scripting.FileSystemObject")
Set form = fso.GetFile(db & "\BerichteLL\Rechnung.bel")
form.Attributes = form.Attributes Or 1
Set o = CreateObject("VMReportLLUpdate.clsReportLLUpdate")
r = o.Suche_ErsetzeProjektdatei("Rechnung.bel", (db), "Spacing.Paragraph=8", "=8", "=X")
WScript.Echo "held " & r
WScript.Echo "read-only " & ((fso.GetFile(db & "\BerichteLL\Rechnung.bel").Attributes And 1) <> 0)
Set o = Nothing
WScript.Echo "done"
