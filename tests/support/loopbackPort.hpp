#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <vector>

namespace corvane::testing {

inline int tcpSocket(int flags = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
  return fd;
}

// Connects fd to 127.0.0.1:port; true when the connection is made (or, non-blocking, under way).
inline bool connectToLoopback(int fd, int port) {
  sockaddr_in address{AF_INET, htons(static_cast<in_port_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

// A TCP socket on 127.0.0.1 listening with `backlog`, on a port the system chose (stored in `port`);
// throws std::system_error.
inline int listenOnLoopback(int backlog, int& port) {
  const int fd = tcpSocket();
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(fd, backlog) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const int error = errno;
    ::close(fd);
    throw std::system_error(error, std::generic_category(), "listen on 127.0.0.1");
  }
  port = ntohs(address.sin_port);
  return fd;
}

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, read back, closed). Another
// process may take it before the caller binds it; the broker retries with a new one in that case.
inline int freeLoopbackPort() {
  int port = 0;
  ::close(listenOnLoopback(1, port));
  return port;
}

// True when a TCP connection to 127.0.0.1:port is accepted; the connection is closed at once.
inline bool acceptsConnections(int port) {
  const int fd = tcpSocket();
  const bool accepted = connectToLoopback(fd, port);
  ::close(fd);
  return accepted;
}

// A listener on 127.0.0.1 that never accepts. The kernel completes handshakes that nobody answers;
// `full`: its queue is taken by connections of its own, so a further connect never completes.
class SilentListener {
 public:
  explicit SilentListener(bool full = false) {
    sockets_.push_back(listenOnLoopback(full ? 0 : 4, port_));
    // A backlog of 0 still queues one connection; the second waits in the handshake meanwhile.
    for (int i = 0; full && i < 2; ++i) connectToLoopback(sockets_.emplace_back(tcpSocket(SOCK_NONBLOCK)), port_);
  }
  ~SilentListener() {
    for (int fd : sockets_) ::close(fd);
  }
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  int port() const noexcept { return port_; }

 private:
  std::vector<int> sockets_;  // the listener first
  int port_ = 0;
};

}  // namespace corvane::testing
