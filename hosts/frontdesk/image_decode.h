// What a raw 28-byte card image holds, for support staff holding a dump from
// a card reader: tavocard decode and POST /v1/decode.
#ifndef HOLVANTER_HOSTS_FRONTDESK_IMAGE_DECODE_H_
#define HOLVANTER_HOSTS_FRONTDESK_IMAGE_DECODE_H_

#include <string>

#include <nlohmann/json.hpp>

#include "util/status.h"

namespace frontdesk {

// The image (56 hexadecimal figures) decoded as card reading decodes it, in
// the shape of every card answer (ToJson, command "decode"): the
// result that ReadCard would give for it, and for a guest or villa card its
// number, kind, building, floor, rooms and dates; beside them the card kind
// byte and the system code the card carries. An invalid argument saying
// what is wrong with `hex` ("must be 56 hexadecimal figures ...").
holvanter::Result<nlohmann::json> DecodeImageHex(const std::string& hex);

}  // namespace frontdesk

#endif  // HOLVANTER_HOSTS_FRONTDESK_IMAGE_DECODE_H_
