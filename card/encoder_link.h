// The encoder link: the calls into the encoder library (lyComm) with the
// card password. The library is loaded on the first call of any of its
// functions, and each function is looked up once for the whole process.
// A library that cannot be loaded gives a kFileNotFound failure, a missing
// function a kEntryPointNotFound failure.
#ifndef HOLVANTER_CARD_ENCODER_LINK_H_
#define HOLVANTER_CARD_ENCODER_LINK_H_

#include <array>
#include <cstdint>

#include "card/card_image.h"
#include "util/status.h"

namespace holvanter {

// The fixed card password, sent ahead of every image read and write.
inline constexpr char kCardPassword[] = "5C1E93A7";
// The four password bytes, taken anew from the password text on each call:
// byte k is characters 2k-1 and 2k read as one hexadecimal number. The
// encoder keeps them ahead of a card's 28 bytes.
std::array<uint8_t, 4> CardPasswordBytes();

// createCard(port): opens the encoder on the 1-based port; 1 = opened.
Result<uint8_t> CreateCard(uint8_t port);
// destroyCard(): closes the encoder.
Status DestroyCard();

// Reads the card on the encoder into `image`: 0 when readPass answered 1,
// else -99. The image holds whatever readPass left in it.
Result<int16_t> ReadCardImage(CardImage& image);
// Writes `image` to the card: the status byte of writePass, 0..255
// (1 = written).
Result<int16_t> WriteCardImage(const CardImage& image);

}  // namespace holvanter

#endif  // HOLVANTER_CARD_ENCODER_LINK_H_
