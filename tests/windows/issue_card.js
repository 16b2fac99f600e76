// A front-desk script host on an installed TavoCard: creates the object by
// its ProgID, opens the encoder, issues a guest card and reads it back, and
// shows the version resource of the DLL that served it.
// scripts/test-windows-installer.sh checks every line it echoes.
//
//   cscript //nologo issue_card.js PORT ROOM NAME DLL
var args = WScript.Arguments;
var card = new ActiveXObject("Holvanter.TavoCard");
WScript.Echo("OpenPort=" + card.OpenPort(parseInt(args(0), 10)));
// The local day `days` from today at HH:MM, as YYYYMMDDHHMM.
function stamp(days, hhmm) {
  var d = new Date();
  d.setDate(d.getDate() + days);
  var two = function (n) { return (n < 10 ? "0" : "") + n; };
  return d.getFullYear() + two(d.getMonth() + 1) + two(d.getDate()) + hhmm;
}
// JScript hands every argument over by value, the in/out strings included.
WScript.Echo("WriteCard=" + card.WriteCard(0, stamp(-1, "1400"), stamp(2, "1200"), "", 1, 1,
                                            args(1), args(2)));
WScript.Echo("ReadCard=" + card.ReadCard(0, "", "", "", ""));
WScript.Echo("ClosePort=" + card.ClosePort(0));
var files = new ActiveXObject("Scripting.FileSystemObject");
WScript.Echo("FileVersion=" + files.GetFileVersion(args(3)));
