#pragma once
// corvane-run as a child process of a test: its output lines as they arrive, its exit status, and
// small helpers for JSON lines and model texts.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "childProcess.hpp"

namespace corvane::run {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

inline constexpr const char* kRunner = CORVANE_RUN;
// The size of the pseudo-terminal a runner gets with `onTerminal`.
inline constexpr unsigned short kTerminalRows = 50, kTerminalColumns = 160;

// A JSON line that holds every one of these members (compact text, as the runner writes it).
inline std::function<bool(const std::string&)> holds(std::initializer_list<std::string_view> members) {
  return [wanted = std::vector<std::string>(members.begin(), members.end())](const std::string& line) {
    return std::ranges::all_of(wanted, [&](const auto& m) { return line.find(m) != std::string::npos; });
  };
}

// A running corvane-run with its standard input, output and error on pipes (its output on a
// pseudo-terminal when `onTerminal`). Killed (SIGKILL) and reaped when the handle goes away, so a
// failing test leaves nothing behind.
class Runner {
 public:
  explicit Runner(const std::vector<std::string>& arguments, std::string_view input = {}, bool onTerminal = false) {
    int in[2], out[2], err[2];
    winsize size{kTerminalRows, kTerminalColumns, 0, 0};
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 ||
        (onTerminal ? ::openpty(&out[0], &out[1], nullptr, nullptr, &size) : ::pipe2(out, O_CLOEXEC)) != 0) {
      throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> args{kRunner};
    args.insert(args.end(), arguments.begin(), arguments.end());
    process_ = testing::ChildProcess::start(args, in[0], out[1], err[1]);
    pid_ = process_.pid();
    for (int end : {in[0], out[1], err[1]}) ::close(end);
    out_ = out[0], err_ = err[0];
    // Small documents only: they fit the pipe, so writing cannot block.
    if (!input.empty() && ::write(in[1], input.data(), input.size()) != static_cast<ssize_t>(input.size())) {
      throw std::runtime_error("writing the runner's input failed");
    }
    ::close(in[1]);
  }
  ~Runner() { for (int fd : {out_, err_}) if (fd >= 0) ::close(fd); }
  // Not copied: the child process handle is move-only, and the destructor keeps moves away.

  // The first complete output line, from the start, that satisfies `accept`; nothing when none
  // has arrived in time.
  std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& accept,
                                         std::chrono::milliseconds timeout = 5s) {
    auto deadline = Clock::now() + timeout;
    for (std::size_t checked = 0;; ) {
      for (; checked < lines_.size(); ++checked) if (accept(lines_[checked])) return lines_[checked];
      if (!pump(deadline)) return std::nullopt;
    }
  }
  // Reads what the runner writes until `done` holds; false when it does not in time.
  bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout = 5s) {
    const auto deadline = Clock::now() + timeout;
    for (; !done(); pump(std::min(deadline, Clock::now() + 20ms))) if (Clock::now() >= deadline) return false;
    return true;
  }
  // The output lines that hold every one of `members`, in order.
  std::vector<std::string> linesHolding(std::initializer_list<std::string_view> members) const {
    std::vector<std::string> found;
    std::ranges::copy_if(lines_, std::back_inserter(found), holds(members));
    return found;
  }

  // The exit code once the runner has ended (its output read to the end); nothing on timeout or
  // when a signal ended it.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = 20s) {
    auto deadline = Clock::now() + timeout;
    while ((out_ >= 0 || err_ >= 0) && pump(deadline)) continue;
    return waitForExitUnread(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
  }

  // The exit code once the runner has ended, its output left unread (a reader that stalls);
  // nothing on timeout or when a signal ended it.
  std::optional<int> waitForExitUnread(std::chrono::milliseconds timeout) {
    if (!status_) status_ = process_.waitFor(timeout);
    return status_ && WIFEXITED(*status_) ? std::optional(WEXITSTATUS(*status_)) : std::nullopt;
  }

  // Bytes the runner wrote to its standard output that the test has not read yet.
  int unread() const { int bytes = 0; return ::ioctl(out_, FIONREAD, &bytes) == 0 ? bytes : -1; }
  void signal(int number) const { ::kill(pid_, number); }
  void closeOutput() { out_ = (::close(out_), -1); }  // the reader of the runner's output goes away
  pid_t pid() const noexcept { return pid_; }
  // Once a model with a client is prepared: a thread besides the main one (the client's network
  // thread, started after the stop signals are blocked; they end the process until then).
  bool modelReady() const {
    std::error_code gone;  // the runner has ended: no model to be ready
    auto tasks = std::filesystem::directory_iterator("/proc/" + std::to_string(pid_) + "/task", gone);
    return std::distance(tasks, std::filesystem::directory_iterator()) > 1;
  }
  // The signal that ended the runner, once waitForExit has seen it end; nothing otherwise.
  std::optional<int> endingSignal() const {
    return status_ && WIFSIGNALED(*status_) ? std::optional(WTERMSIG(*status_)) : std::nullopt;
  }
  const std::vector<std::string>& lines() const noexcept { return lines_; }
  std::string output() const {
    std::string text;
    for (const auto& line : lines_) text += line + "\n";
    return text + partial_;
  }
  const std::string& errors() const noexcept { return errors_; }

 private:
  // Reads what is there (waiting until the deadline for something); false when nothing more
  // can come in time.
  bool pump(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if ((out_ < 0 && err_ < 0) || left <= 0) return false;
    pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
    if (::poll(fds, 2, static_cast<int>(left)) <= 0) return false;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      int& fd = i == 0 ? out_ : err_;
      if (n <= 0) fd = (::close(fd), -1);
      else (i == 1 ? errors_ : partial_).append(buffer, static_cast<std::size_t>(n));
      for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
        lines_.push_back(partial_.substr(0, end));
        partial_.erase(0, end + 1);
      }
    }
    return true;
  }

  testing::ChildProcess process_;  // killed (SIGKILL) and reaped when the handle goes away
  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::optional<int> status_;
  std::vector<std::string> lines_;
  std::string partial_, errors_;
};

struct Outcome {
  int exitCode = -1;
  std::string output, errors;
};

inline Outcome runToEnd(const std::vector<std::string>& arguments, std::string_view input = {}) {
  Runner runner(arguments, input);
  return {runner.waitForExit().value_or(-1), runner.output(), runner.errors()};
}


inline std::string replaced(std::string text, std::string_view from, std::string_view to) {
  for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

}  // namespace corvane::run
