#include "childProcess.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>

extern char** environ;

namespace corvane::testing {
namespace {

// The child of a multi-threaded parent may only make async-signal-safe calls until exec, so the
// program is looked up before the fork.
std::string findProgram(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string_view directories = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  while (!directories.empty()) {
    auto colon = directories.find(':');
    auto directory = directories.substr(0, colon);
    directories = colon == std::string_view::npos ? std::string_view{} : directories.substr(colon + 1);
    auto candidate = std::filesystem::path(directory.empty() ? "." : directory) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  throw std::runtime_error("program not found in PATH: " + name);
}

void closeDescriptorsFrom(int first, int limit) noexcept {
  if (::close_range(static_cast<unsigned>(first), ~0U, 0) == 0) return;
  for (int fd = first; fd < limit; ++fd) ::close(fd);
}

}  // namespace

ChildProcess ChildProcess::start(const std::vector<std::string>& args, int outputFd) {
  const int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (devNull < 0) throw std::system_error(errno, std::generic_category(), "open /dev/null");
  try {
    auto child = start(args, devNull, outputFd, outputFd);
    ::close(devNull);
    return child;
  } catch (...) {
    ::close(devNull);
    throw;
  }
}

ChildProcess ChildProcess::start(const std::vector<std::string>& args, int inputFd, int outputFd, int errorFd) {
  if (args.empty()) throw std::invalid_argument("ChildProcess::start needs a program");
  const std::string program = findProgram(args.front());
  std::vector<std::string> arguments = args;
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);

  rlimit files{};
  const int descriptorLimit =
      ::getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < 65536 ? static_cast<int>(files.rlim_cur) : 65536;
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
    closeDescriptorsFrom(STDERR_FILENO + 1, descriptorLimit);
    ::execve(program.c_str(), argv.data(), environ);
    ::_exit(127);
  }
  const int forkError = errno;
  if (pid < 0) throw std::system_error(forkError, std::generic_category(), "fork for " + program);
  return ChildProcess(pid);
}

ChildProcess::~ChildProcess() {
  kill();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    kill();
    pid_ = std::exchange(other.pid_, -1);
  }
  return *this;
}

void ChildProcess::signal(int number) const {
  if (pid_ <= 0) throw std::logic_error("signal to a process that is not running");
  if (::kill(pid_, number) != 0) {
    throw std::system_error(errno, std::generic_category(), "kill " + std::to_string(pid_));
  }
}

void ChildProcess::waitUntilStopped() const {
  if (pid_ <= 0) throw std::logic_error("waiting for a process that is not running");
  // WNOWAIT leaves the stop report in place, so a later poll() still sees a consistent state.
  siginfo_t info{};
  while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WSTOPPED | WEXITED | WNOWAIT) != 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitid");
  }
}

std::optional<int> ChildProcess::poll() {
  if (pid_ <= 0) throw std::logic_error("polling a process that is not running");
  int status = 0;
  const pid_t result = ::waitpid(pid_, &status, WNOHANG);
  if (result == 0) return std::nullopt;
  if (result < 0) throw std::system_error(errno, std::generic_category(), "waitpid");
  pid_ = -1;
  return status;
}

std::optional<int> ChildProcess::waitFor(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (auto status = poll()) return status;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int ChildProcess::wait() {
  if (pid_ <= 0) throw std::logic_error("waiting for a process that is not running");
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0) {
    if (errno != EINTR) throw std::system_error(errno, std::generic_category(), "waitpid");
  }
  pid_ = -1;
  return status;
}

void ChildProcess::kill() noexcept {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
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
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe2");
  ChildProcess child;
  try {
    child = ChildProcess::start(args, pipeFds[1]);
  } catch (...) {
    ::close(pipeFds[0]);
    ::close(pipeFds[1]);
    throw;
  }
  ::close(pipeFds[1]);
  ProcessResult result;
  char buffer[4096];
  for (;;) {
    const ssize_t count = ::read(pipeFds[0], buffer, sizeof buffer);
    if (count > 0) {
      result.output.append(buffer, static_cast<std::size_t>(count));
    } else if (count == 0 || errno != EINTR) {
      break;
    }
  }
  ::close(pipeFds[0]);
  const int status = child.wait();
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace corvane::testing
