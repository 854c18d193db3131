#pragma once
// How the long-running subcommands end: SIGINT, SIGTERM and SIGHUP (the terminal went away) are
// taken by the main thread alone, or the --duration runs out.
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include <CLI/CLI.hpp>

namespace corvane::run {

// Before any thread starts: every thread inherits the blocked mask, so no stop signal lands in a
// network or task thread. SIGPIPE is ignored: a reader that goes away is noticed by a failed write.
void blockStopSignals();

// While it lives, a stop signal that the calling thread blocks ends the process at once, as it
// would without the block: for the time a model loads, when nothing is connected yet and the
// main thread is not waiting for one. A watcher thread takes it (every thread started meanwhile
// inherits the block, so it reaches no other) and lets it end the process unhandled. Does nothing
// when the stop signals are not blocked. A signal that comes once it has gone stays pending for
// waitForStop.
// The watcher's thread name, which tells from outside that the model is still loading.
inline constexpr const char* kLoadingThreadName = "corvane-loading";

class StopSignalsEndProcess {
 public:
  StopSignalsEndProcess();
  ~StopSignalsEndProcess();
  StopSignalsEndProcess(const StopSignalsEndProcess&) = delete;
  StopSignalsEndProcess& operator=(const StopSignalsEndProcess&) = delete;

 private:
  int signals_ = -1;  // signalfd of the stop signals
  int done_ = -1;     // eventfd: the watcher is no longer wanted
  std::thread watcher_;
};

// Waits for a stop signal, or until the duration has passed, calling `tick` (when given) about
// once a second. Returns the reason: "SIGINT", "SIGTERM", "SIGHUP" or "duration".
std::string waitForStop(std::optional<double> durationSeconds, const std::function<void()>& tick = {});

// --duration's check: a positive, finite number of seconds.
CLI::Validator secondsValidator();

}  // namespace corvane::run
