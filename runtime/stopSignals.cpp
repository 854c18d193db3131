#include "stopSignals.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
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

StopSignalsEndProcess::StopSignalsEndProcess() {
  sigset_t blocked;
  if (pthread_sigmask(SIG_BLOCK, nullptr, &blocked) != 0) return;
  for (int signal : kStopSignals) {
    if (sigismember(&blocked, signal) != 1) return;
  }
  const sigset_t set = stopSignals();
  signals_ = ::signalfd(-1, &set, SFD_CLOEXEC);
  done_ = ::eventfd(0, EFD_CLOEXEC);
  if (signals_ < 0 || done_ < 0) return;  // then the signal waits for the load, as it always did
  // Role: takes a stop signal while the model loads, and ends the process with it.
  watcher_ = std::thread([signals = signals_, done = done_] {
    pthread_setname_np(pthread_self(), kLoadingThreadName);
    pollfd fds[2] = {{done, POLLIN, 0}, {signals, POLLIN, 0}};
    for (;;) {
      if (::poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        return;  // then a signal waits for the end of the load, as it always did
      }
      // Once the load is over, a signal belongs to waitForStop: leave it pending.
      if (fds[0].revents != 0) return;
      signalfd_siginfo info{};
      if (::read(signals, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return;
      const int signal = static_cast<int>(info.ssi_signo);
      ::signal(signal, SIG_DFL);
      sigset_t one;
      sigemptyset(&one);
      sigaddset(&one, signal);
      pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
      ::raise(signal);
      ::_exit(128 + signal);  // not reached: the default action of a stop signal ends the process
    }
  });
}

StopSignalsEndProcess::~StopSignalsEndProcess() {
  if (watcher_.joinable()) {
    const std::uint64_t one = 1;
    while (::write(done_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    watcher_.join();
  }
  if (signals_ >= 0) ::close(signals_);
  if (done_ >= 0) ::close(done_);
}

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
