#include "childProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "waiting.hpp"

extern char** environ;

namespace corvane::testing {
namespace {

// The child of a multi-threaded parent may only make async-signal-safe calls until exec, so the
// program is looked up before the fork.
std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::istringstream directories(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin");
  for (std::string directory; std::getline(directories, directory, ':');) {
    auto candidate = std::filesystem::path(directory.empty() ? "." : directory) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  throw std::runtime_error("program not found in PATH: " + name);
}

// A descriptor of ours, closed when it goes out of scope.
struct Descriptor {
  int fd;
  ~Descriptor() {
    if (fd >= 0) ::close(fd);
  }
};

[[noreturn]] void fail(const std::string& what) {
  throw std::system_error(errno, std::generic_category(), what);
}

}  // namespace

ChildProcess ChildProcess::start(const std::vector<std::string>& args, int outputFd) {
  const Descriptor devNull{::open("/dev/null", O_RDONLY | O_CLOEXEC)};
  if (devNull.fd < 0) fail("open /dev/null");
  return start(args, devNull.fd, outputFd, outputFd);
}

ChildProcess ChildProcess::start(const std::vector<std::string>& args, int inputFd, int outputFd, int errorFd) {
  if (args.empty()) throw std::invalid_argument("ChildProcess::start needs a program");
  const std::string program = findProgram(args.front());
  std::vector<std::string> arguments = args;
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
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
    if (::close_range(STDERR_FILENO + 1, ~0U, 0) != 0) {
      for (int fd = STDERR_FILENO + 1; fd < 65536; ++fd) ::close(fd);
    }
    ::execve(program.c_str(), argv.data(), environ);
    ::_exit(127);
  }
  if (pid < 0) fail("fork for " + program);
  return ChildProcess(pid);
}

ChildProcess::~ChildProcess() {
  kill();
}

void ChildProcess::signal(int number) const {
  if (pid_ <= 0) throw std::logic_error("signal to a process that is not running");
  if (::kill(pid_, number) != 0) fail("kill " + std::to_string(pid_));
}

void ChildProcess::waitUntilStopped() const {
  if (pid_ <= 0) throw std::logic_error("waiting for a process that is not running");
  // WNOWAIT leaves the stop report in place, so a later waitFor() still sees a consistent state.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED | WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) fail("waitid");
  }
}

std::optional<int> ChildProcess::reap(int options) {
  if (pid_ <= 0) throw std::logic_error("waiting for a process that is not running");
  int status = 0;
  pid_t result;
  while ((result = ::waitpid(pid_, &status, options)) < 0 && errno == EINTR) {
  }
  if (result < 0) fail("waitpid");
  if (result == 0) return std::nullopt;
  pid_ = -1;
  return status;
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
  std::optional<int> status;
  eventually([&] { return (status = reap(WNOHANG)).has_value(); }, timeout, std::chrono::milliseconds(5));
  return status;
}

int ChildProcess::wait() {
  return *reap(0);
}

void ChildProcess::kill() noexcept {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  try {
    reap(0);
  } catch (...) {
  }
  pid_ = -1;
}

std::string describeWaitStatus(int status) {
  if (WIFEXITED(status)) return "exit code " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) {
    return "killed by signal " + std::to_string(WTERMSIG(status)) + " (" + ::strsignal(WTERMSIG(status)) + ")";
  }
  return "wait status " + std::to_string(status);
}

ProcessResult runProcess(const std::vector<std::string>& args) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe2");
  const Descriptor readEnd{fds[0]};
  ChildProcess child;
  {
    const Descriptor writeEnd{fds[1]};
    child = ChildProcess::start(args, writeEnd.fd);
  }
  ProcessResult result;
  char buffer[4096];
  for (ssize_t count; (count = ::read(readEnd.fd, buffer, sizeof buffer)) != 0;) {
    if (count > 0) {
      result.output.append(buffer, static_cast<std::size_t>(count));
    } else if (errno != EINTR) {
      break;
    }
  }
  const int status = child.wait();
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace corvane::testing
