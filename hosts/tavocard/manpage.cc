#include "hosts/tavocard/manpage.h"

#include <memory>
#include <sstream>

#include "hosts/tavocard/help_format.h"

namespace tavocard {
namespace {

// Help text as roff prints it unchanged: a backslash and a line that starts
// with a period or an apostrophe would be read as roff.
std::string Verbatim(const std::string& text) {
  std::istringstream lines(text);
  std::string out;
  for (std::string line; std::getline(lines, line);) {
    std::string escaped;
    for (char c : line) escaped += c == '\\' ? std::string("\\e") : std::string(1, c);
    if (!escaped.empty() && (escaped[0] == '.' || escaped[0] == '\'')) escaped = "\\&" + escaped;
    out += escaped + "\n";
  }
  return out;
}

// The columns of a help line in the page: man indents it by 7.
constexpr std::size_t kPageColumns = 72;

void Commands(CLI::App& app, const std::string& path, std::string& out) {
  for (CLI::App* sub : app.get_subcommands({})) {
    const std::string name = path + " " + sub->get_name();
    sub->formatter(std::make_shared<WrappingFormatter>(kPageColumns));
    // The footer (the exit statuses) is said once, in its own section.
    const std::string footer = sub->get_footer();
    sub->footer("");
    std::string help = sub->help(path, CLI::AppFormatMode::Normal);
    sub->footer(footer);
    while (!help.empty() && help.back() == '\n') help.pop_back();
    out += ".SS \"" + name + "\"\n.nf\n" + Verbatim(help) + ".fi\n";
    Commands(*sub, name, out);
  }
}

}  // namespace

std::string ManualPage(CLI::App& app, const std::string& version) {
  std::string out =
      ".TH TAVOCARD 1 \"\" \"tavocard " + version + "\" \"User Commands\"\n"
      // Options and paths are not to be broken at a hyphen.
      ".nh\n"
      ".SH NAME\ntavocard \\- issue, read and check out hotel key cards\n"
      ".SH SYNOPSIS\n.B tavocard\n.I command\n[\\fIoptions\\fR]\n"
      ".SH DESCRIPTION\n"
      "The front-desk command of the TavoCard component: it issues guest and villa cards on the "
      "encoder, reads and checks them out, sets up the hotel database, and runs the front-desk "
      "agent (\\fBtavocard serve\\fR), which serves a browser-based PMS over HTTP on this "
      "computer and can keep the PMS key link. Every card is recorded in the hotel database "
      "that \\fITavoper.ini\\fR beside the component names.\n"
      ".SH COMMANDS\n";
  Commands(app, "tavocard", out);
  // "  64  usage: ...": wrapped under its words.
  std::istringstream statuses(app.get_footer());
  std::string footer;
  for (std::string line; std::getline(statuses, line);)
    footer += (line.size() > kPageColumns ? WrapHelpLine(line.substr(0, 6), 6, line.substr(6),
                                                         kPageColumns)
                                          : line) +
              "\n";
  out += ".SH EXIT STATUS\n.nf\n" + Verbatim(footer) + ".fi\n";
  out +=
      ".SH ENVIRONMENT\n"
      ".TP\n.B HOME\nthe agent's state folder is \\fI~/.local/state/holvanter\\fR when "
      "\\fBXDG_STATE_HOME\\fR is not set, and the stand-in encoder keeps its cards in "
      "\\fI~/.local/state/holvanter/encoder\\fR when \\fBLYCOMM_SIM_DIR\\fR is not set. A service "
      "account without a home folder gives \\fB--token-file\\fR instead.\n"
      ".TP\n.B XDG_STATE_HOME\nwhen set, the agent's state folder is "
      "\\fI$XDG_STATE_HOME/holvanter\\fR (systemd's \\fBStateDirectory=\\fR sets a folder of its "
      "own through \\fB--token-file\\fR).\n"
      ".TP\n.B HOLVANTER_SETTINGS_FOLDER\nwhen set and not empty (Linux), the folder of "
      "\\fITavoper.ini\\fR in place of the component's own folder: a trial hotel or a test "
      "beside the real one. A hotel sets it nowhere.\n"
      ".TP\n.B LYCOMM_SIM_DIR\nthe folder in which the stand-in encoder library (training desks, "
      "tests) keeps the card lying on each encoder, one file per port: \\fIport1.card\\fR for "
      "port 0.\n"
      ".TP\n.B LYCOMM_SIM_FAIL\nopen, read, write or write=\\fIN\\fR: the stand-in encoder library "
      "fails that kind of call, to practise failures; read#\\fIN\\fR or write#\\fIN\\fR: only the "
      "\\fIN\\fRth card read or write of the process fails (the calls before and after it "
      "work), such as the write after a check-out's read.\n"
      ".SH FILES\n"
      ".TP\n.I Tavoper.ini\nbeside the component: the hotel database it records cards in "
      "(\\fBtavocard hotel init\\fR writes it).\n"
      ".TP\n.I ~/.local/state/holvanter/agent-token\nthe agent's bearer token "
      "(\\fB$XDG_STATE_HOME\\fR/holvanter when set), readable by its owner only; beside it "
      "\\fIfias-journal\\fR, \\fIfias-authkey\\fR (the key link's key, used whenever it is "
      "there unless \\fB--fias-authkey-file\\fR names another), \\fIdesks\\fR and "
      "\\fIdesk-secret\\fR.\n"
      ".SH EXAMPLES\n"
      "A practice hotel, a guest card for room 0203 from today 14:00 to the day after "
      "tomorrow 12:00, read back and checked out:\n"
      ".PP\n.nf\n.RS\n"
      "tavocard hotel init hotel.db \\-\\-rooms 1:1:0101\\-0120,1:2:0201\\-0220\n"
      "tavocard encoder insert\n"
      "begin=$(date +%Y%m%d)1400 end=$(date \\-d '+2 days' +%Y%m%d)1200\n"
      "tavocard issue \\-\\-begin \"$begin\" \\-\\-end \"$end\" \\e\n"
      "    \\-\\-building 1 \\-\\-floor 2 \\-\\-room 0203 \\-\\-name \"Li Wei\"\n"
      "tavocard read \\-\\-json\n"
      "tavocard checkout\n"
      ".RE\n.fi\n.PP\n"
      "Rooms added after the hotel was set up, and one taken away:\n"
      ".PP\n.nf\n.RS\n"
      "tavocard hotel rooms add 1:3:0301\\-0310\n"
      "tavocard hotel rooms remove 0310\n"
      "tavocard hotel rooms list\n"
      ".RE\n.fi\n.PP\n"
      "The agent for a browser-based PMS, with the PMS key link and its key:\n"
      ".PP\n.nf\n.RS\n"
      "tavocard fias\\-authkey new\n"
      "tavocard serve \\-\\-origin https://pms.hotel.lan \\-\\-fias pms\\-ifc.hotel.lan:5010\n"
      ".RE\n.fi\n"
      ".SH SEE ALSO\nThe documents in /usr/share/doc/holvanter: installing.md (setting up a hotel), "
      "troubleshooting.md (what the PMS or a clerk sees, and what to do), at-the-desk.md "
      "(the clerk's guide; zh-CN/at-the-desk.md in Chinese).\n";
  return out;
}

}  // namespace tavocard
