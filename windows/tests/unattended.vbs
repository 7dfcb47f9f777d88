' An unattended host: one call that shows an error, with nobody to see it.
' Arguments: DBPATH
Option Explicit
Dim o, r
Set o = CreateObject("VMReportLLUpdate.clsReportLLUpdate")
r = o.Suche_ErsetzeProjektdatei("missing.bel", WScript.Arguments(0), "a", "b", "c")
