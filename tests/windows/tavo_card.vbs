' A front-desk script host using TavoCard: opens the encoder, issues a guest
' card, reads it, checks it out, and shows what a script sees of a failure.
' Every line it echoes is checked by scripts/test-windows.sh.
'
'   cscript //nologo tavo_card.vbs PORT
'
' VBScript passes variables to [in,out] BSTR parameters in a way the
' automation marshaller refuses, so the in/out strings go by value here
' (in parentheses); the C++ client checks their values.
Option Explicit
Dim card, port, result
port = CInt(WScript.Arguments(0))
Set card = CreateObject("Holvanter.TavoCard")
WScript.Echo "TypeName=" & TypeName(card)
WScript.Echo "ClosePort fresh=" & card.ClosePort()
WScript.Echo "OpenPort=" & card.OpenPort(port)
WScript.Echo "OpenPort with baud=" & card.OpenPort(port, 9600)

On Error Resume Next
result = card.OpenPort(255)
WScript.Echo "OpenPort(255) Err.Number=" & Err.Number & " Source=" & Err.Source
Err.Clear
On Error GoTo 0

result = card.WriteCard(0, "202502011400", "202502041200", (""), 1, 2, "203", "VBScript Guest")
WScript.Echo "WriteCard=" & result
result = card.ReadCard(0, (""), (""), (""), (""))
WScript.Echo "ReadCard=" & result
result = card.WriteCard(0, "202502011400", "202502041200", (""), 1, 2, "0000", "")
WScript.Echo "WriteCard checkout=" & result
result = card.ReadCard(0, (""), (""), (""), (""))
WScript.Echo "ReadCard after checkout=" & result
WScript.Echo "ClosePort=" & card.ClosePort(0)
WScript.Echo "done"
