#pragma once
// A stand-in broker on a free port of 127.0.0.1, for answers a real mosquitto does not give on
// demand: fixed bytes (an MQTT 5 DISCONNECT with a reason code) or a close before any answer. (No
// answer at all: SilentListener.)
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "loopbackPort.hpp"

namespace corvane::testing {

class ScriptedBroker {
 public:
  // The reply goes out once the first bytes of one connection arrive, which is then held until the
  // end. Without a reply each connection is closed there instead, before any answer.
  // `delay`: how long the reply waits once the first bytes are there (a broker across a network).
  explicit ScriptedBroker(std::string reply, std::chrono::milliseconds delay = {})
      : reply_(std::move(reply)), delay_(delay), listener_(listenOnLoopback(1, port_)), thread_([this] { serve(); }) {}
  ~ScriptedBroker() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
  }
  ScriptedBroker(const ScriptedBroker&) = delete;
  ScriptedBroker& operator=(const ScriptedBroker&) = delete;

  int port() const noexcept { return port_; }

 private:
  // Stand-in broker thread: every wait is a short poll, so the destructor is never kept waiting.
  // Without a reply every connection is closed after its first bytes, for as many as come.
  void serve() {
    auto wait = [this](int fd) {
      for (pollfd p{fd, POLLIN, 0}; !stopping_;) {
        if (::poll(&p, 1, 20) > 0) return true;
      }
      return false;
    };
    char buffer[512];
    do {
      const int connection = wait(listener_) ? ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
      if (connection < 0) return;
      if (wait(connection) && ::read(connection, buffer, sizeof buffer) > 0 && !reply_.empty()) {
        std::this_thread::sleep_for(delay_);
        [[maybe_unused]] auto written = ::write(connection, reply_.data(), reply_.size());
        while (wait(connection) && ::read(connection, buffer, sizeof buffer) > 0) {
        }
      }
      ::close(connection);
    } while (reply_.empty());
  }

  std::string reply_;
  std::chrono::milliseconds delay_;
  int port_ = 0;
  int listener_;
  std::atomic<bool> stopping_{false};
  std::thread thread_;  // serve(): accepts a client, answers, holds the connection until the end
};

}  // namespace corvane::testing
