' Without a settings store the driver cannot record its steps: it returns False, and the message
' names the component the host must register.
' Arguments: DBPATH
Option Explicit
Dim o, conn, r
Set o = CreateObject("VMReportLLUpdate.clsReportLLUpdate")
Set conn = CreateObject("Scripting.Dictionary")
r = o.Pruefe_Konvertiere_Formulare((WScript.Arguments(0)), conn)
WScript.Echo "without settings " & r
