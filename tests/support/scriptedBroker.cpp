#include "scriptedBroker.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "loopbackPort.hpp"

namespace corvane::testing {

ScriptedBroker::ScriptedBroker(std::string reply) : reply_(std::move(reply)) {
  listener_ = listenOnLoopback(1, port_);
  thread_ = std::thread([this] { serve(); });
}

ScriptedBroker::~ScriptedBroker() {
  stopping_ = true;
  if (thread_.joinable()) thread_.join();
  ::close(listener_);
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
