// The Env that the card methods of a test run on. A test gets a component
// folder of its own, so that the settings file they read (Tavoper.ini beside
// the component) is that test's alone and tests in other processes run at
// the same time; and a test may put an Env of its own over it for a while,
// to make one service fail or to stop the clock, or run its waits on a
// clock of its own.
#ifndef HOLVANTER_TESTS_SUPPORT_COMPONENT_ENV_H_
#define HOLVANTER_TESTS_SUPPORT_COMPONENT_ENV_H_

#include <atomic>
#include <cstdint>
#include <string>
#include <utility>

#include "component/call_context.h"
#include "platform/env.h"

namespace holvanter::test_support {

// Card methods started while `env` is installed run on it; the Env they ran
// on before comes back when the object ends.
class ScopedComponentEnv {
 public:
  explicit ScopedComponentEnv(Env& env) : previous_(&ComponentEnv()) { SetComponentEnv(&env); }
  ~ScopedComponentEnv() { SetComponentEnv(previous_); }
  ScopedComponentEnv(const ScopedComponentEnv&) = delete;
  ScopedComponentEnv& operator=(const ScopedComponentEnv&) = delete;

 private:
  Env* previous_;
};

// The system's Env with `folder` as the component's folder and the folder of
// its settings file, whatever HOLVANTER_SETTINGS_FOLDER says. The vendor
// libraries are still found beside the real component: the loader keeps to
// the system's Env.
class ComponentFolderEnv : public EnvWrapper {
 public:
  explicit ComponentFolderEnv(std::string folder)
      : EnvWrapper(Env::Default()), folder_(std::move(folder)) {}
  std::string ComponentFolder() override { return folder_; }
  std::string SettingsFolder() override { return folder_; }

 private:
  std::string folder_;
};

// The services of the Env the card methods ran on, with a monotonic clock
// of the test's own: it starts where the system's stood and moves only when
// a wait sleeps, at once and by the whole sleep. A wait for the command
// time limit then takes next to no real time, while what it waits on (a
// lock held by another connection or process) stays real.
class TestClock : public EnvWrapper {
 public:
  TestClock() : EnvWrapper(&ComponentEnv()), start_(target()->NowMicros()), now_(start_) {}
  uint64_t NowMicros() override { return now_.load(); }
  void SleepForMicroseconds(int micros) override {
    if (micros > 0) now_ += static_cast<uint64_t>(micros);
  }
  // How long the waits slept on this clock so far, in seconds.
  double SleptSeconds() const { return static_cast<double>(now_.load() - start_) / 1e6; }

 private:
  const uint64_t start_;
  std::atomic<uint64_t> now_;
};

// A component folder of the test's own, installed for the card methods
// while the object lives.
class TestComponentFolder {
 public:
  explicit TestComponentFolder(std::string folder) : env_(std::move(folder)), installed_(env_) {}

 private:
  ComponentFolderEnv env_;
  ScopedComponentEnv installed_;
};

}  // namespace holvanter::test_support

#endif  // HOLVANTER_TESTS_SUPPORT_COMPONENT_ENV_H_
