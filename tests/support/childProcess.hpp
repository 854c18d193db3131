#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace corvane::testing {

// Owning handle of a child process: killed (SIGKILL) and reaped when the handle goes away, so a
// failing test leaves neither a stray broker nor a zombie behind. The child also gets SIGKILL when
// the thread that started it ends, which covers a test binary that crashes.
class ChildProcess {
 public:
  // Runs args[0] (looked up in PATH unless it contains a slash) with stdin from /dev/null and both
  // stdout and stderr on outputFd. No other descriptor of ours leaks into the child: an inherited
  // client socket would keep a connection open after the test closed it.
  static ChildProcess start(const std::vector<std::string>& args, int outputFd);
  // The same with standard input, output and error on descriptors of the caller's.
  static ChildProcess start(const std::vector<std::string>& args, int inputFd, int outputFd, int errorFd);

  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  ChildProcess& operator=(ChildProcess&& other) noexcept {
    kill();
    pid_ = std::exchange(other.pid_, -1);
    return *this;
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool running() const noexcept { return pid_ > 0; }
  pid_t pid() const noexcept { return pid_; }

  void signal(int number) const;
  // Waits until a stop signal (SIGSTOP) has taken effect.
  void waitUntilStopped() const;
  // The wait status once the process has ended (it is reaped then), nothing while it still runs
  // after `timeout`.
  std::optional<int> waitFor(std::chrono::milliseconds timeout);
  int wait();
  // SIGKILL and reap; nothing when it is not running.
  void kill() noexcept;

 private:
  explicit ChildProcess(pid_t pid) noexcept : pid_(pid) {}
  // waitpid with `options`; the status once the process has ended.
  std::optional<int> reap(int options);

  pid_t pid_ = -1;
};

// "exit code 3", "killed by signal 9 (Killed)".
std::string describeWaitStatus(int status);

struct ProcessResult {
  int exitCode = -1;   // -1 when a signal ended the process
  std::string output;  // stdout and stderr, interleaved as written
};

// Runs a command to completion and collects what it printed.
ProcessResult runProcess(const std::vector<std::string>& args);

}  // namespace corvane::testing
