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
      ".SH FILES\n"
      ".TP\n.I Tavoper.ini\nbeside the component: the hotel database it records cards in "
      "(\\fBtavocard hotel init\\fR writes it).\n"
      ".TP\n.I ~/.local/state/holvanter/agent-token\nthe agent's bearer token "
      "(\\fB$XDG_STATE_HOME\\fR/holvanter when set), readable by its owner only; beside it "
      "\\fIfias-journal\\fR, \\fIfias-authkey\\fR, \\fIdesks\\fR and \\fIdesk-secret\\fR.\n"
      ".SH SEE ALSO\nThe documents in /usr/share/doc/holvanter.\n";
  return out;
}

}  // namespace tavocard
