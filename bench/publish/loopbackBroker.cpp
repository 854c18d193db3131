#include "publish/loopbackBroker.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>

namespace corvane::bench {

namespace {

constexpr const char* kMosquitto = "/usr/sbin/mosquitto";

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A port nobody listens on right now.
int freePort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
  auto address = loopback(0);
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    int error = errno;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), "bind to a loopback port");
  }
  ::close(fd);
  return ntohs(address.sin_port);
}

bool acceptsConnections(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  auto address = loopback(port);
  bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return connected;
}

}  // namespace

LoopbackBroker::LoopbackBroker() {
  char pattern[] = "/tmp/corvane-bench-broker-XXXXXX";
  if (!::mkdtemp(pattern)) throw std::system_error(errno, std::generic_category(), "mkdtemp");
  directory_ = pattern;
  port_ = freePort();
  const passwd* user = ::getpwuid(::geteuid());
  const auto config = directory_ / "mosquitto.conf";
  {
    std::ofstream out(config);
    // Started as root, mosquitto would switch to its own user; it reads nothing after that anyway.
    out << "user " << (user ? user->pw_name : "root") << "\n"
        << "persistence false\n"
        << "log_dest none\n"
        << "allow_anonymous true\n"
        << "max_queued_messages 0\n"
        << "listener " << port_ << " 127.0.0.1\n";
  }
  const std::string configPath = config.string();
  pid_ = ::fork();
  if (pid_ < 0) throw std::system_error(errno, std::generic_category(), "fork");
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Its complaints (running as root, for one) would interleave with the benchmark's table.
    int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDOUT_FILENO);
      ::dup2(null, STDERR_FILENO);
    }
    ::execl(kMosquitto, "mosquitto", "-c", configPath.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!acceptsConnections(port_)) {
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      end();
      throw std::runtime_error("mosquitto ended before it accepted connections");
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      end();
      throw std::runtime_error("mosquitto accepted no connection within 10 s");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

LoopbackBroker::~LoopbackBroker() { end(); }

void LoopbackBroker::end() noexcept {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    int status = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (::waitpid(pid_, &status, WNOHANG) != pid_) {
      if (std::chrono::steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

}  // namespace corvane::bench
