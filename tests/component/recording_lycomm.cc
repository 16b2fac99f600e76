// The recording encoder library (see recording_lycomm.h). Built in variants
// that lack some exports, to rehearse an incomplete library:
// RECORDING_WITHOUT_CREATE leaves out createCard, RECORDING_CREATE_ONLY
// exports createCard alone.
#include "recording_lycomm.h"

#include <cstring>

namespace {
Recording recording;
}

extern "C" {

Recording* recording_state() { return &recording; }

#ifndef RECORDING_WITHOUT_CREATE
uint8_t createCard(uint8_t port) {
  ++recording.create_calls;
  recording.create_port = port;
  return recording.create_result;
}
#endif

#ifndef RECORDING_CREATE_ONLY
void destroyCard() { ++recording.destroy_calls; }

uint8_t readPass(uint8_t p1, uint8_t p2, uint8_t p3, uint8_t p4, uint8_t* b0, uint8_t* b1,
                 uint8_t* b2, uint8_t* b3, uint8_t* b4, uint8_t* b5, uint8_t* b6, uint8_t* b7,
                 uint8_t* b8, uint8_t* b9, uint8_t* b10, uint8_t* b11, uint8_t* b12,
                 uint8_t* b13, uint8_t* b14, uint8_t* b15, uint8_t* b16, uint8_t* b17,
                 uint8_t* b18, uint8_t* b19, uint8_t* b20, uint8_t* b21, uint8_t* b22,
                 uint8_t* b23, uint8_t* b24, uint8_t* b25, uint8_t* b26, uint8_t* b27) {
  ++recording.read_calls;
  const uint8_t password[] = {p1, p2, p3, p4};
  std::memcpy(recording.read_password, password, 4);
  uint8_t* places[28] = {b0,  b1,  b2,  b3,  b4,  b5,  b6,  b7,  b8,  b9,
                         b10, b11, b12, b13, b14, b15, b16, b17, b18, b19,
                         b20, b21, b22, b23, b24, b25, b26, b27};
  for (int i = 0; i < 28; ++i) {
    recording.read_places[i] = places[i];
    *places[i] = recording.read_image[i];
  }
  return recording.read_status;
}

uint8_t writePass(uint8_t p1, uint8_t p2, uint8_t p3, uint8_t p4, uint8_t b0, uint8_t b1,
                  uint8_t b2, uint8_t b3, uint8_t b4, uint8_t b5, uint8_t b6, uint8_t b7,
                  uint8_t b8, uint8_t b9, uint8_t b10, uint8_t b11, uint8_t b12, uint8_t b13,
                  uint8_t b14, uint8_t b15, uint8_t b16, uint8_t b17, uint8_t b18, uint8_t b19,
                  uint8_t b20, uint8_t b21, uint8_t b22, uint8_t b23, uint8_t b24, uint8_t b25,
                  uint8_t b26, uint8_t b27) {
  ++recording.write_calls;
  const uint8_t password[] = {p1, p2, p3, p4};
  std::memcpy(recording.write_password, password, 4);
  const uint8_t bytes[28] = {b0,  b1,  b2,  b3,  b4,  b5,  b6,  b7,  b8,  b9,
                             b10, b11, b12, b13, b14, b15, b16, b17, b18, b19,
                             b20, b21, b22, b23, b24, b25, b26, b27};
  std::memcpy(recording.written, bytes, 28);
  return recording.write_status;
}
#endif

}  // extern "C"
