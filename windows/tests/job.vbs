' One job of the component on a database, as a host calls it: "address", "ll24", "undo" (the
' newest run taken back) or "history" (the runs the journal holds, a line each).
' Arguments: JOB DBPATH
Option Explicit
Dim o, job, db, r
job = WScript.Arguments(0)
db = WScript.Arguments(1)
Set o = CreateObject("VMReportLLUpdate.clsReportLLUpdate")
If job = "address" Then
  r = o.Umstellung_Auf_Neue_Anschrift((db))
ElseIf job = "undo" Then
  r = o.UndoLastRun((db))
ElseIf job = "history" Then
  WScript.Echo o.History((db))
  r = "listed"
Else
  r = o.Umstellung_auf_LL24((db))
End If
WScript.Echo job & " " & r
