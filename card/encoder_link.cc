// The encoder link: createCard, destroyCard, readPass and writePass of the
// encoder library, with the card password ahead of every image.
#include "card/encoder_link.h"

#include <array>

#include "card/vendor_library.h"

namespace holvanter {
namespace {

using CreateCardFn = uint8_t(HOLVANTER_STDCALL*)(uint8_t port);
using DestroyCardFn = void(HOLVANTER_STDCALL*)();
using ReadPassFn = uint8_t(HOLVANTER_STDCALL*)(
    uint8_t, uint8_t, uint8_t, uint8_t,  // password bytes 1..4
    uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*,
    uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*,
    uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*, uint8_t*,
    uint8_t*);  // addresses of image bytes 0..27
using WritePassFn = uint8_t(HOLVANTER_STDCALL*)(
    uint8_t, uint8_t, uint8_t, uint8_t,  // password bytes 1..4
    uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t,
    uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t,
    uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t, uint8_t);  // image bytes 0..27

constexpr char kEncoderLibrary[] = "lyComm";

// Each function is looked up on its first call; the vendor library's table
// then serves the address to every later call of the process. A lookup that
// failed is tried again by the next call.
template <typename Fn>
Result<Fn> Resolve(const char* function) {
  HV_ASSIGN_OR_RETURN(void* address, VendorFunction(kEncoderLibrary, function));
  return reinterpret_cast<Fn>(address);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return c - 'a' + 10;
}

}  // namespace

std::array<uint8_t, 4> CardPasswordBytes() {
  std::array<uint8_t, 4> bytes{};
  for (std::size_t k = 0; k < 4; ++k) {
    bytes[k] = static_cast<uint8_t>(HexValue(kCardPassword[2 * k]) * 16 +
                                    HexValue(kCardPassword[2 * k + 1]));
  }
  return bytes;
}

Result<uint8_t> CreateCard(uint8_t port) {
  HV_ASSIGN_OR_RETURN(const auto create_card, Resolve<CreateCardFn>("createCard"));
  return create_card(port);
}

Status DestroyCard() {
  HV_ASSIGN_OR_RETURN(const auto destroy_card, Resolve<DestroyCardFn>("destroyCard"));
  destroy_card();
  return Status::Ok();
}

Result<int16_t> ReadCardImage(CardImage& image) {
  HV_ASSIGN_OR_RETURN(const auto read_pass, Resolve<ReadPassFn>("readPass"));
  const auto p = CardPasswordBytes();
  uint8_t* b = image.data();
  const uint8_t status =
      read_pass(p[0], p[1], p[2], p[3], b + 0, b + 1, b + 2, b + 3, b + 4, b + 5, b + 6, b + 7,
                b + 8, b + 9, b + 10, b + 11, b + 12, b + 13, b + 14, b + 15, b + 16, b + 17,
                b + 18, b + 19, b + 20, b + 21, b + 22, b + 23, b + 24, b + 25, b + 26, b + 27);
  return static_cast<int16_t>(status == 1 ? 0 : -99);
}

Result<int16_t> WriteCardImage(const CardImage& image) {
  HV_ASSIGN_OR_RETURN(const auto write_pass, Resolve<WritePassFn>("writePass"));
  const auto p = CardPasswordBytes();
  const CardImage& b = image;
  const uint8_t status =
      write_pass(p[0], p[1], p[2], p[3], b[0], b[1], b[2], b[3], b[4], b[5], b[6], b[7], b[8],
                 b[9], b[10], b[11], b[12], b[13], b[14], b[15], b[16], b[17], b[18], b[19], b[20],
                 b[21], b[22], b[23], b[24], b[25], b[26], b[27]);
  return static_cast<int16_t>(status);
}

}  // namespace holvanter
