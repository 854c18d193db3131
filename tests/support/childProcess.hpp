#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "waiting.hpp"

namespace corvane::testing {

[[noreturn]] inline void failWithErrno(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// Owning handle of a child process: killed (SIGKILL) and reaped when the handle goes away, so a
// failing test leaves neither a stray broker nor a zombie behind. The child also gets SIGKILL when
// the thread that started it ends, which covers a test binary that crashes.
class ChildProcess {
 public:
  // Runs args[0] (looked up in PATH unless it contains a slash) with stdin from /dev/null and both
  // stdout and stderr on outputFd. No other descriptor of ours leaks into the child: an inherited
  // client socket would keep a connection open after the test closed it.
  static ChildProcess start(const std::vector<std::string>& args, int outputFd) {
    const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (devNull < 0) failWithErrno("open /dev/null");
    ChildProcess child = start(args, devNull, outputFd, outputFd);
    ::close(devNull);
    return child;
  }
  // The same with standard input, output and error on descriptors of the caller's.
  static ChildProcess start(const std::vector<std::string>& args, int inputFd, int outputFd, int errorFd) {
    // The child of a multi-threaded parent may only make async-signal-safe calls until exec, so the
    // program is looked up and the arguments laid out before the fork.
    std::string program = args.front();
    std::istringstream directories(std::getenv("PATH") != nullptr ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string directory; program.find('/') == std::string::npos && std::getline(directories, directory, ':');) {
      const auto candidate = std::filesystem::path(directory.empty() ? "." : directory) / args.front();
      if (::access(candidate.c_str(), X_OK) == 0) program = candidate.string();
    }
    if (program.find('/') == std::string::npos) throw std::runtime_error("program not found in PATH: " + program);
    std::vector<char*> argv;
    for (const auto& argument : args) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    sigset_t noSignals;
    sigemptyset(&noSignals);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent) ::_exit(127);  // the parent ended before the line above took effect
      ::sigprocmask(SIG_SETMASK, &noSignals, nullptr);
      ::dup2(inputFd, STDIN_FILENO);
      ::dup2(outputFd, STDOUT_FILENO);
      ::dup2(errorFd, STDERR_FILENO);
      ::close_range(STDERR_FILENO + 1, ~0U, 0);
      ::execve(program.c_str(), argv.data(), environ);
      ::_exit(127);
    }
    if (pid < 0) failWithErrno("fork for " + program);
    return ChildProcess(pid);
  }

  ChildProcess() = default;
  ~ChildProcess() { kill(); }
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

  void signal(int number) const {
    if (::kill(pid_, number) != 0) failWithErrno("kill " + std::to_string(pid_));
  }
  // Waits until a stop signal (SIGSTOP) has taken effect. WNOWAIT leaves the stop report in place,
  // so a later waitFor() still sees a consistent state.
  void waitUntilStopped() const {
    siginfo_t info{};
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED | WEXITED | WNOWAIT) != 0) {
      if (errno != EINTR) failWithErrno("waitid");
    }
  }
  // The wait status once the process has ended (it is reaped then), nothing while it still runs
  // after `timeout`.
  std::optional<int> waitFor(std::chrono::milliseconds timeout) {
    std::optional<int> status;
    eventually([&] { return (status = reap(WNOHANG)).has_value(); }, timeout, std::chrono::milliseconds(5));
    return status;
  }
  int wait() { return *reap(0); }
  // SIGKILL and reap; nothing when it is not running.
  void kill() noexcept {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }

 private:
  explicit ChildProcess(pid_t pid) noexcept : pid_(pid) {}
  // waitpid with `options`; the status once the process has ended.
  std::optional<int> reap(int options) {
    if (pid_ <= 0) throw std::logic_error("waiting for a process that is not running");
    int status = 0;
    pid_t result;
    while ((result = ::waitpid(pid_, &status, options)) < 0 && errno == EINTR) {
    }
    if (result < 0) failWithErrno("waitpid");
    if (result == 0) return std::nullopt;
    pid_ = -1;
    return status;
  }

  pid_t pid_ = -1;
};

// "exit code 3", "killed by signal 9 (Killed)".
inline std::string describeWaitStatus(int status) {
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (!WIFSIGNALED(status)) return "wait status " + std::to_string(status);
  return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")";
}

struct ProcessResult {
  int exitCode = -1;   // -1 when a signal ended the process
  std::string output;  // stdout and stderr, interleaved as written
};

// Runs a command to completion and collects what it printed.
inline ProcessResult runProcess(const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) failWithErrno("pipe2");
  ChildProcess child;
  try {
    child = ChildProcess::start(args, fds[1]);
  } catch (...) {
    ::close(fds[0]), ::close(fds[1]);
    throw;
  }
  ::close(fds[1]);
  ProcessResult result;
  char buffer[4096];
  for (ssize_t count; (count = ::read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (count > 0) result.output.append(buffer, static_cast<std::size_t>(count));
    if (count < 0 && errno != EINTR) break;
  }
  ::close(fds[0]);
  const int status = child.wait();
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace corvane::testing
