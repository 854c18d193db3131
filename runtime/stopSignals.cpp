#include "stopSignals.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace corvane::run {

namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t stopSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int signal : kStopSignals) sigaddset(&set, signal);
  return set;
}

}  // namespace

void blockStopSignals() {
  // A shell starts background jobs with SIGINT ignored; an ignored signal would never arrive.
  for (int signal : kStopSignals) ::signal(signal, SIG_DFL);
  ::signal(SIGPIPE, SIG_IGN);
  sigset_t set = stopSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

StopSignalsUnblocked::StopSignalsUnblocked() {
  const sigset_t set = stopSignals();
  pthread_sigmask(SIG_UNBLOCK, &set, &mask_);
}

StopSignalsUnblocked::~StopSignalsUnblocked() { pthread_sigmask(SIG_SETMASK, &mask_, nullptr); }

std::string waitForStop(std::optional<double> durationSeconds, const std::function<void()>& tick) {
  using std::chrono::steady_clock;
  const sigset_t set = stopSignals();
  // Beyond a hundred years the deadline would not fit the clock: that is no deadline at all.
  constexpr double kLongest = 100.0 * 365 * 24 * 3600;
  const auto deadline =
      durationSeconds && *durationSeconds < kLongest
          ? steady_clock::now() + std::chrono::duration_cast<steady_clock::duration>(
                                      std::chrono::duration<double>(*durationSeconds))
          : steady_clock::time_point::max();
  constexpr auto kTick = std::chrono::seconds(1);
  auto nextTick = steady_clock::now() + kTick;
  for (;;) {
    auto now = steady_clock::now();
    if (now >= deadline) return "duration";
    if (now >= nextTick) {
      if (tick) tick();
      nextTick = std::max(nextTick + kTick, now);
    }
    auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(std::min(nextTick, deadline) - now).count();
    if (left < 0) left = 0;
    const timespec timeout{static_cast<time_t>(left / 1'000'000'000), static_cast<long>(left % 1'000'000'000)};
    switch (sigtimedwait(&set, nullptr, &timeout)) {
      case SIGINT: return "SIGINT";
      case SIGHUP: return "SIGHUP";
      case SIGTERM: return "SIGTERM";
      default: break;  // EAGAIN at the next tick or the deadline, or EINTR
    }
  }
}

CLI::Validator secondsValidator() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        char* end = nullptr;
        double seconds = std::strtod(text.c_str(), &end);
        if (text.empty() || *end != '\0' || !(seconds > 0) || !std::isfinite(seconds)) {
          return "must be a positive number of seconds, not \"" + text + "\"";
        }
        return {};
      },
      "SECONDS");
}

}  // namespace corvane::run
