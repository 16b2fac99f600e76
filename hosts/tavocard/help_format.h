// tavocard's help as a terminal of 80 columns shows it: CLI11 writes each
// description on one line however long, so the lines it makes are wrapped
// here, descriptions under their own column.
#ifndef HOLVANTER_HOSTS_TAVOCARD_HELP_FORMAT_H_
#define HOLVANTER_HOSTS_TAVOCARD_HELP_FORMAT_H_

#include <CLI/CLI.hpp>
#include <sstream>
#include <string>

namespace tavocard {

inline constexpr std::size_t kHelpColumns = 80;

// `text` wrapped at blanks to lines of at most `columns`, each after
// `first` (the first line) or `indent` blanks (the others). A word longer
// than a line stands alone on its line.
inline std::string WrapHelpLine(const std::string& first, std::size_t indent,
                                const std::string& text, std::size_t columns = kHelpColumns) {
  std::string out = first, line;
  std::size_t width = columns - first.size();
  std::istringstream words(text);
  for (std::string word; words >> word;) {
    if (!line.empty() && line.size() + 1 + word.size() > width) {
      out += line + "\n" + std::string(indent, ' ');
      line.clear();
      width = columns - indent;
    }
    line += (line.empty() ? "" : " ") + word;
  }
  return out + line;
}

class WrappingFormatter : public CLI::Formatter {
 public:
  explicit WrappingFormatter(std::size_t columns = kHelpColumns) : columns_(columns) {}

  std::string make_help(const CLI::App* app, std::string name,
                        CLI::AppFormatMode mode) const override {
    std::istringstream lines(CLI::Formatter::make_help(app, std::move(name), mode));
    std::string out;
    const std::size_t column = get_column_width();
    for (std::string line; std::getline(lines, line);) {
      if (line.size() <= columns_) {
        out += line + "\n";
        continue;
      }
      // An option or subcommand line: its description starts at the column.
      const bool described = line.size() > column && line.compare(0, 2, "  ") == 0 &&
                             line[column - 1] == ' ' && line[column] != ' ';
      const std::size_t indent =
          described ? column : line.find_first_not_of(' ') == std::string::npos
                                   ? 0
                                   : line.find_first_not_of(' ');
      out += WrapHelpLine(line.substr(0, indent), indent, line.substr(indent), columns_) + "\n";
    }
    return out;
  }

 private:
  std::size_t columns_;
};

}  // namespace tavocard

#endif  // HOLVANTER_HOSTS_TAVOCARD_HELP_FORMAT_H_
