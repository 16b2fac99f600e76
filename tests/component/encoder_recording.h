// Reaches the recording encoder library that the component loads: the test
// runs with LD_LIBRARY_PATH pointing at it, so the same file is found here.
#ifndef HOLVANTER_TESTS_COMPONENT_ENCODER_RECORDING_H_
#define HOLVANTER_TESTS_COMPONENT_ENCODER_RECORDING_H_

#include <dlfcn.h>

#include "component/recording_lycomm.h"

// The recording, or nullptr when the library found is not the recording one.
inline Recording* TheRecording() {
  static Recording* recording = []() -> Recording* {
    void* handle = dlopen("liblyComm.so", RTLD_NOW);
    if (handle == nullptr) return nullptr;
    auto state = reinterpret_cast<RecordingStateFn>(dlsym(handle, "recording_state"));
    return state != nullptr ? state() : nullptr;
  }();
  return recording;
}

#endif  // HOLVANTER_TESTS_COMPONENT_ENCODER_RECORDING_H_
