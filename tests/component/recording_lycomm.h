// A recording encoder library for the tests: it stands where liblyComm.so
// stands, remembers every call with its arguments and answers what the test
// scripted. The test reaches the recording through the exported function
// recording_state(), found with dlsym in the library the component loaded.
#ifndef HOLVANTER_TESTS_COMPONENT_RECORDING_LYCOMM_H_
#define HOLVANTER_TESTS_COMPONENT_RECORDING_LYCOMM_H_

#include <cstdint>

struct Recording {
  // Scripted answers.
  uint8_t create_result = 1;
  uint8_t read_status = 1;
  uint8_t read_image[28] = {};  // copied into the 28 places whatever read_status is
  uint8_t write_status = 1;

  // What the library saw.
  int create_calls = 0;
  int create_port = -1;  // port of the last createCard
  int destroy_calls = 0;
  int read_calls = 0;
  uint8_t read_password[4] = {};
  uint8_t* read_places[28] = {};
  int write_calls = 0;
  uint8_t write_password[4] = {};
  uint8_t written[28] = {};
};

using RecordingStateFn = Recording* (*)();

#endif  // HOLVANTER_TESTS_COMPONENT_RECORDING_LYCOMM_H_
