#include <cctype>

#include "holvanter/tavo_card.h"
#include "store/database.h"

namespace holvanter {
namespace {

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

}  // namespace

RecordSet::RecordSet(std::vector<std::string> columns, std::vector<std::vector<FieldValue>> rows)
    : columns_(std::move(columns)), rows_(std::move(rows)) {}

const FieldValue& RecordSet::Field(std::string_view name) const {
  std::size_t column = 0;
  while (column < columns_.size() && !SameName(columns_[column], name)) ++column;
  if (column == columns_.size())
    throw TavoError(kErrDatabase,
                    "Item cannot be found in the collection corresponding to the requested name "
                    "or ordinal.");
  if (Eof())
    throw TavoError(kErrDatabase,
                    "Either BOF or EOF is True, or the current record has been deleted. Requested "
                    "operation requires a current record.");
  const auto& row = rows_[position_];
  if (column >= row.size())
    throw TavoError(kErrDatabase, "The record has no value for column " + columns_[column] + ".");
  return row[column];
}

}  // namespace holvanter
