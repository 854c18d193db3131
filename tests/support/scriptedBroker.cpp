#include "scriptedBroker.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corvane::testing {

void ScriptedBroker::listen() {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 1) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = errno;
    ::close(listener_);
    throw std::system_error(error, std::generic_category(), "listen on 127.0.0.1");
  }
  port_ = ntohs(address.sin_port);
}

ScriptedBroker::ScriptedBroker(std::string reply) : reply_(std::move(reply)) {
  listen();
  thread_ = std::thread([this] { serve(); });
}

ScriptedBroker::~ScriptedBroker() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  if (listener_ >= 0) ::close(listener_);
}

void ScriptedBroker::serve() {
  // Stand-in broker thread: every wait is a short poll, so the destructor is never kept waiting.
  auto wait = [this](int fd) {
    pollfd p{fd, POLLIN, 0};
    while (!stopping_) {
      if (::poll(&p, 1, 20) > 0) return true;
    }
    return false;
  };
  // Without a reply every connection is closed after its first bytes, for as many as come.
  do {
    if (!wait(listener_)) return;
    const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (connection < 0) return;
    char buffer[512];
    if (wait(connection) && ::read(connection, buffer, sizeof buffer) > 0 && !reply_.empty()) {
      [[maybe_unused]] auto written = ::write(connection, reply_.data(), reply_.size());
      while (wait(connection) && ::read(connection, buffer, sizeof buffer) > 0) {
      }
    }
    ::close(connection);
  } while (reply_.empty());
}

}  // namespace corvane::testing
