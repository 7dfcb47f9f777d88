' One job of the component on a database, as a host calls it: "address" or "ll24".
' Arguments: JOB DBPATH
Option Explicit
Dim o, job, db, r
job = WScript.Arguments(0)
db = WScript.Arguments(1)
Set o = CreateObject("VMReportLLUpdate.clsReportLLUpdate")
If job = "address" Then
  r = o.Umstellung_Auf_Neue_Anschrift((db))
Else
  r = o.Umstellung_auf_LL24((db))
End If
WScript.Echo job & " " & r
