' A front-desk script on the TavoCard component: open the encoder, issue a
' guest card, read it back, check it out, close the encoder. Prints each
' result; ends with exit status 1 when a step did not do its work.
'
'   cscript //nologo issue_card.vbs
'
' It needs holvanter.dll registered (the installer, or regsvr32), a hotel
' named by the Tavoper.ini beside it, and a blank card on the encoder of
' port 0.
Option Explicit
Dim card, handle, result, beginDate, endDate

' The stamp YYYYMMDDhhmm of hh:00 local time, the given number of days from today.
Function Stamp(days, hh)
  Dim theDay
  theDay = DateAdd("d", days, Date)
  Stamp = Year(theDay) & Right("0" & Month(theDay), 2) & Right("0" & Day(theDay), 2) & _
          Right("0" & hh, 2) & "00"
End Function

' The stay: from today 14:00 to the day after tomorrow 12:00.
beginDate = Stamp(0, 14)
endDate = Stamp(2, 12)

Set card = CreateObject("Holvanter.TavoCard")

handle = card.OpenPort(0)   ' port + 1 when the encoder opened, else -99
WScript.Echo "OpenPort=" & handle
If handle <> 1 Then WScript.Quit 1

' VBScript cannot take the in/out texts back (CardNo here, the four texts of
' ReadCard): a variable in their place fails with "Type mismatch". Pass them
' in parentheses, by value; the result code comes back all the same.
result = card.WriteCard(handle, beginDate, endDate, (""), 1, 2, "0203", "Li Wei")
WScript.Echo "WriteCard=" & result
If result <> 0 Then WScript.Quit 1

result = card.ReadCard(handle, (""), (""), (""), (""))
WScript.Echo "ReadCard=" & result
If result <> 0 Then WScript.Quit 1

' Room 0000 checks the card out: rooms released, record closed, card erased.
' The stamps must still be acceptable ones; the check-out does not use them.
result = card.WriteCard(handle, beginDate, endDate, (""), 1, 2, "0000", "")
WScript.Echo "check-out=" & result
If result <> 0 Then WScript.Quit 1

WScript.Echo "ClosePort=" & card.ClosePort()
