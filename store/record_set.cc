
#include "util/status.h"
#include "store/database.h"
#include "util/text.h"

namespace holvanter {
namespace {

}  // namespace

RecordSet::RecordSet(std::vector<std::string> columns, std::vector<std::vector<FieldValue>> rows)
    : columns_(std::move(columns)), rows_(std::move(rows)) {}

const FieldValue& RecordSet::Field(std::string_view name) const {
  std::size_t column = 0;
  while (column < columns_.size() && !EqualsIgnoreCase(columns_[column], name)) ++column;
  if (column == columns_.size())
    throw StatusError(Status::Database("Item cannot be found in the collection corresponding to the requested name "
                    "or ordinal."));
  if (Eof())
    throw StatusError(Status::Database("Either BOF or EOF is True, or the current record has been deleted. Requested "
                    "operation requires a current record."));
  const auto& row = rows_[position_];
  if (column >= row.size())
    throw StatusError(Status::Database("The record has no value for column " + columns_[column] + "."));
  return row[column];
}

}  // namespace holvanter
