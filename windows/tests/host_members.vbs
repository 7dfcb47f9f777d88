' The members a host sets before the operations: their defaults, a round trip, a refused value.
Option Explicit
Dim o
Set o = CreateObject("VMReportLLUpdate.clsReportLLUpdate")
WScript.Echo "defaults " & o.LockWaitSeconds & " " & o.DurableWrites & " " & _
  (o.Settings Is Nothing) & " " & (o.Messages Is Nothing)
o.LockWaitSeconds = 2.5
o.DurableWrites = False
Set o.Settings = CreateObject("Scripting.Dictionary")
WScript.Echo "set " & o.LockWaitSeconds & " " & o.DurableWrites & " " & (o.Settings Is Nothing)
Set o.Settings = Nothing
On Error Resume Next
o.LockWaitSeconds = -1
WScript.Echo "negative " & Err.Number & " " & o.LockWaitSeconds & " " & (o.Settings Is Nothing)
