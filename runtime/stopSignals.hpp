#pragma once
// How the long-running subcommands end: SIGINT, SIGTERM and SIGHUP (the terminal went away) are
// taken by the main thread alone, or the --duration runs out.
#include <signal.h>

#include <functional>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace corvane::run {

// Before any thread starts: every thread inherits the blocked mask, so no stop signal lands in a
// network or task thread. SIGPIPE is ignored: a reader that goes away is noticed by a failed write.
void blockStopSignals();

// While it lives, the calling thread does not block the stop signals: one ends the process at once,
// as it does by default. For the time a model file is read: nothing is connected yet, and no thread
// of the model has started (the block is back before prepare starts the clients' threads, which
// inherit it). A signal that came while they were blocked is taken at once.
class StopSignalsUnblocked {
 public:
  StopSignalsUnblocked();
  ~StopSignalsUnblocked();
  StopSignalsUnblocked(const StopSignalsUnblocked&) = delete;
  StopSignalsUnblocked& operator=(const StopSignalsUnblocked&) = delete;

 private:
  sigset_t mask_;  // the thread's mask before
};

// Waits for a stop signal, or until the duration has passed, calling `tick` (when given) about
// once a second. Returns the reason: "SIGINT", "SIGTERM", "SIGHUP" or "duration".
std::string waitForStop(std::optional<double> durationSeconds, const std::function<void()>& tick = {});

// --duration's check: a positive, finite number of seconds.
CLI::Validator secondsValidator();

}  // namespace corvane::run
