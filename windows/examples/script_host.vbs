' A host in VBScript that brings its own settings store and message component, so that nothing
' but vmreportllupdate.dll needs to be registered:
'   cscript //nologo script_host.vbs DBPATH
' The store keeps the driver's progress in the registry of the user, below the key that the
' connection names; a real host keeps it in its own database and passes that connection.
Option Explicit

Class RegistrySettings
  Private shell
  Private root
  Public Sub Init(mode, connection, profile)
    Set shell = CreateObject("WScript.Shell")
    root = connection("RegistryKey") & "\" & profile & "\"
  End Sub
  Public Sub GetSetting(section, key, value, profile, scope, defaultValue)
    On Error Resume Next
    value = shell.RegRead(root & section & "\" & key)
    If Err.Number <> 0 Then value = defaultValue
  End Sub
  Public Sub SaveSetting(section, key, value, profile)
    shell.RegWrite root & section & "\" & key, value, "REG_SZ"
  End Sub
End Class

Class ConsoleMessages
  Public Sub ShowMessage(text, level, title, number, unused, isError, owner)
    If isError Then WScript.Echo "error: " & text Else WScript.Echo "notice: " & text
  End Sub
  Public Sub ReportError(title, routine, number, description, isError)
    WScript.Echo "error: " & routine & ": " & number & " " & description
  End Sub
End Class

Dim report, connection, ok
Set report = CreateObject("VMReportLLUpdate.clsReportLLUpdate")
Set report.Settings = New RegistrySettings
Set report.Messages = New ConsoleMessages
report.LockWaitSeconds = 30  ' wait up to 30 s for another run that holds the database
report.DurableWrites = True  ' every form is on the disk before it replaces the old one

Set connection = CreateObject("Scripting.Dictionary")
connection("RegistryKey") = "HKCU\Software\ScriptHost"
ok = report.Pruefe_Konvertiere_Formulare(WScript.Arguments(0), connection)
WScript.Echo "Pruefe_Konvertiere_Formulare " & ok
If ok Then WScript.Quit 0 Else WScript.Quit 1
