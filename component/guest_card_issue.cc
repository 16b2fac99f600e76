#include "holvanter/tavo_card.h"

namespace holvanter {

int16_t TavoCard::WriteCard(int32_t, const std::string&, const std::string&, std::string&, int16_t,
                            int16_t, const std::string&, const std::string&) {
  throw TavoError(kErrInvalidProcedureCall, "WriteCard: not yet");
}

}  // namespace holvanter
