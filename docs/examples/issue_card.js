// A front-desk script on the TavoCard component, in JScript: open the
// encoder, issue a guest card, read it back, check it out, close the
// encoder. Prints each result; ends with exit status 1 when a step did not
// do its work.
//
//   cscript //nologo issue_card.js
//
// It needs holvanter.dll registered (the installer, or regsvr32), a hotel
// named by the Tavoper.ini beside it, and a blank card on the encoder of
// port 0.
var card = new ActiveXObject("Holvanter.TavoCard");

function check(step, result) {
  WScript.Echo(step + "=" + result);
  if (result != 0) WScript.Quit(1);
}

// The stamp YYYYMMDDhhmm of hour:00 local time, the given number of days from
// today.
function stamp(days, hour) {
  var day = new Date();
  day.setDate(day.getDate() + days);
  var parts = [day.getFullYear(), day.getMonth() + 1, day.getDate(), hour, 0];
  var text = "";
  for (var i = 0; i < parts.length; i++) text += (parts[i] < 10 ? "0" : "") + parts[i];
  return text;
}

// The stay: from today 14:00 to the day after tomorrow 12:00.
var begin = stamp(0, 14), end = stamp(2, 12);

var handle = card.OpenPort(0);  // port + 1 when the encoder opened, else -99
WScript.Echo("OpenPort=" + handle);
if (handle != 1) WScript.Quit(1);

// JScript passes every argument by value: the in/out texts (CardNo, the four
// texts of ReadCard) do not come back, the result code does.
check("WriteCard", card.WriteCard(handle, begin, end, "", 1, 2, "0203", "Li Wei"));
check("ReadCard", card.ReadCard(handle, "", "", "", ""));
// Room 0000 checks the card out: rooms released, record closed, card erased.
// The stamps must still be acceptable ones; the check-out does not use them.
check("check-out", card.WriteCard(handle, begin, end, "", 1, 2, "0000", ""));
WScript.Echo("ClosePort=" + card.ClosePort());
