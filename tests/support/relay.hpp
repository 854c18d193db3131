#pragma once
// A TCP relay on 127.0.0.1 in front of a broker that behaves as a network does, not as loopback: a
// TCP handshake that takes time (its listen queue held full, so the kernel drops the client's SYN
// and the client sends it again a second later), bytes that wait (a delay per chunk each way), and
// a link that falls silent without a reset. (A server that accepts and never answers:
// SilentListener.)
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "loopbackPort.hpp"

namespace corvane::testing {

class Relay {
 public:
  using Clock = std::chrono::steady_clock;
  struct Options {
    std::chrono::milliseconds holdQueue{0};  // how long the listen queue stays full
    std::chrono::milliseconds delay{0};      // how long each chunk waits, in each direction
  };

  Relay(int target, Options options) : target_(target), options_(options), listener_(listenOnLoopback(0, port_)) {
    if (options_.holdQueue.count() > 0) {
      // A backlog of 0 still queues one connection: this one fills it.
      filler_ = tcpSocket(SOCK_NONBLOCK);
      connectToLoopback(filler_, port_);
    }
    thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
  }
  ~Relay() {
    thread_.request_stop();
    thread_.join();
    for (auto& link : links_) link.close();
    if (filler_ >= 0) ::close(filler_);
    ::close(listener_);
  }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  int port() const noexcept { return port_; }
  // Nothing moves either way, and nothing is closed, until resume().
  void silence() { silent_ = true; }
  void resume() { silent_ = false; }
  // When the relay took its first connection from a client.
  std::optional<Clock::time_point> firstAccepted() const {
    std::lock_guard lock(mutex_);
    return firstAccepted_;
  }

 private:
  struct Chunk {
    Clock::time_point due;
    std::string bytes;
  };
  struct Direction {
    int from = -1;
    int to = -1;
    std::deque<Chunk> chunks;
  };
  struct Link {
    Direction up, down;
    bool open = true;
    void close() {
      if (!open) return;
      open = false;
      ::close(up.from);
      ::close(up.to);
    }
  };

  // Relay thread: every wait is a short poll, so the destructor is never kept waiting.
  void serve(const std::stop_token& stop) {
    const auto opened = Clock::now() + options_.holdQueue;
    while (!stop.stop_requested()) {
      std::vector<pollfd> watched;
      const bool accepting = Clock::now() >= opened;
      watched.push_back({listener_, static_cast<short>(accepting ? POLLIN : 0), 0});
      for (auto& link : links_) {
        for (Direction* d : {&link.up, &link.down}) {
          short events = 0;
          if (link.open && !silent_) {
            events = POLLIN;
            if (!d->chunks.empty() && d->chunks.front().due <= Clock::now()) events |= POLLOUT;
          }
          watched.push_back({d->from, static_cast<short>(events & POLLIN), 0});
          watched.push_back({d->to, static_cast<short>(events & POLLOUT), 0});
        }
      }
      ::poll(watched.data(), watched.size(), 5);
      std::size_t at = 1;
      for (auto& link : links_) {
        for (Direction* d : {&link.up, &link.down}) {
          const short readable = watched[at++].revents;
          const short writable = watched[at++].revents;
          if (link.open && !move(*d, readable, writable)) link.close();
        }
      }
      if ((watched[0].revents & POLLIN) != 0) accept();
    }
  }

  void accept() {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (client < 0) return;
    if (filler_ >= 0) {  // first in the queue, which dropped every other SYN meanwhile
      ::close(client);
      ::close(filler_);
      filler_ = -1;
      return;
    }
    const int broker = tcpSocket();
    if (!connectToLoopback(broker, target_)) {
      ::close(client);
      ::close(broker);
      return;
    }
    {
      std::lock_guard lock(mutex_);
      if (!firstAccepted_) firstAccepted_ = Clock::now();
    }
    auto& link = links_.emplace_back();
    link.up = {client, broker, {}};
    link.down = {broker, client, {}};
  }

  // False once either side has ended.
  bool move(Direction& d, short readable, short writable) {
    if ((readable & (POLLIN | POLLHUP | POLLERR)) != 0) {
      char buffer[16384];
      const auto got = ::recv(d.from, buffer, sizeof buffer, MSG_DONTWAIT);
      if (got <= 0) return got < 0 && errno == EAGAIN;
      d.chunks.push_back({Clock::now() + options_.delay, std::string(buffer, static_cast<std::size_t>(got))});
    }
    if ((writable & POLLOUT) != 0 && !d.chunks.empty()) {
      auto& chunk = d.chunks.front();
      const auto sent = ::send(d.to, chunk.bytes.data(), chunk.bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent < 0) return errno == EAGAIN;
      chunk.bytes.erase(0, static_cast<std::size_t>(sent));
      if (chunk.bytes.empty()) d.chunks.pop_front();
    }
    return (writable & (POLLHUP | POLLERR)) == 0;
  }

  int target_;
  Options options_;
  int port_ = 0;
  int listener_;
  int filler_ = -1;
  std::atomic<bool> silent_{false};
  mutable std::mutex mutex_;
  std::optional<Clock::time_point> firstAccepted_;
  std::list<Link> links_;  // relay thread only
  std::jthread thread_;    // serve()
};

}  // namespace corvane::testing
