' The host's view: create the component by its ProgID and convert a database, late-bound, as a
' host script does. Strings go by value (literals or parenthesised), as any script client must.
' Arguments: DBPATH EXEDIR
Option Explicit
Dim db, exe, o, conn, settings, v, r, fso, form
db = WScript.Arguments(0)
exe = WScript.Arguments(1)
Set o = CreateObject("VMReportLLUpdate.clsReportLLUpdate")
' A form the conversion rewrites, with an attribute of the customer's: it stays.
Set fso = CreateObject("Scripting.FileSystemObject")
Set form = fso.GetFile(db & "\BerichteLL\Etikett.lbl")
form.Attributes = form.Attributes Or 2
Set conn = CreateObject("Scripting.Dictionary")

r = o.Kopiere_Neue_Formulare_LL((db), (exe), "demo")
WScript.Echo "Kopiere_Neue_Formulare_LL " & r
r = o.Pruefe_Konvertiere_Formulare((db), conn)
WScript.Echo "Pruefe_Konvertiere_Formulare " & r

Set settings = CreateObject("VMBSetting.VMSettings")
v = ""
settings.GetSetting "CheckReportLL", "LetzterWert", v, "Standard", "Standard", "0"
WScript.Echo "LetzterWert " & v

r = o.Pruefe_Konvertiere_Formulare((db), conn)
WScript.Echo "again " & r
WScript.Echo "hidden " & ((fso.GetFile(db & "\BerichteLL\Etikett.lbl").Attributes And 2) <> 0)
r = o.SchreibschutzEntfernenAlleDateien((db & "\BerichteLL"))
WScript.Echo "SchreibschutzEntfernenAlleDateien [" & TypeName(r) & "]"
r = o.Suche_ErsetzeProjektdatei("missing.bel", (db), "a", "b", "c")
WScript.Echo "missing " & r
Set o = Nothing
WScript.Echo "done"
