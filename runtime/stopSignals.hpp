#pragma once
// How the long-running subcommands end: SIGINT, SIGTERM and SIGHUP (the terminal went away) are
// taken by the main thread alone, or the --duration runs out.
#include <functional>
#include <optional>
#include <string>

#include <CLI/CLI.hpp>

namespace corvane::run {

// Before any thread starts: every thread inherits the blocked mask, so no stop signal lands in a
// network or task thread. SIGPIPE is ignored: a reader that goes away is noticed by a failed write.
void blockStopSignals();

// Waits for a stop signal, or until the duration has passed, calling `tick` (when given) about
// once a second. Returns the reason: "SIGINT", "SIGTERM", "SIGHUP" or "duration".
std::string waitForStop(std::optional<double> durationSeconds, const std::function<void()>& tick = {});

// --duration's check: a positive, finite number of seconds.
CLI::Validator secondsValidator();

}  // namespace corvane::run
