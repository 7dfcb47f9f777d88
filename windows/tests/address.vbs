' The address switch-over of a database, as a host calls it.
' Arguments: DBPATH
Option Explicit
Dim o
Set o = CreateObject("VMReportLLUpdate.clsReportLLUpdate")
WScript.Echo "address " & o.Umstellung_Auf_Neue_Anschrift((WScript.Arguments(0)))
