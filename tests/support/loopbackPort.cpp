#include "loopbackPort.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corvane::testing {
namespace {

class Socket {
 public:
  Socket() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    if (fd_ < 0) throw std::system_error(errno, std::generic_category(), "socket");
  }
  ~Socket() { ::close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const noexcept { return fd_; }

 private:
  int fd_;
};

}  // namespace

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<in_port_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int freeLoopbackPort() {
  Socket socket;
  auto address = loopback(0);
  if (::bind(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::system_error(errno, std::generic_category(), "bind 127.0.0.1:0");
  }
  socklen_t length = sizeof address;
  if (::getsockname(socket.fd(), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::system_error(errno, std::generic_category(), "getsockname");
  }
  return ntohs(address.sin_port);
}

bool acceptsConnections(int port) {
  Socket socket;
  auto address = loopback(port);
  return ::connect(socket.fd(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
}

SilentListener::SilentListener(bool full) {
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockets_.push_back(listener);
  auto address = loopback(0);
  socklen_t length = sizeof address;
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(listener, full ? 0 : 4) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::system_error(errno, std::generic_category(), "silent listener");
  }
  port_ = ntohs(address.sin_port);
  // A backlog of 0 still queues one connection; the second waits in the handshake meanwhile.
  for (int i = 0; full && i < 2; ++i) {
    sockets_.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    ::connect(sockets_.back(), reinterpret_cast<const sockaddr*>(&address), length);
  }
}

SilentListener::~SilentListener() {
  for (int fd : sockets_) ::close(fd);
}

}  // namespace corvane::testing
