#include "loopbackPort.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace corvane::testing {
namespace {

int tcpSocket(int flags = 0) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0);
  if (fd < 0) throw std::system_error(errno, std::generic_category(), "socket");
  return fd;
}

}  // namespace

sockaddr_in loopback(int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<in_port_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int listenOnLoopback(int backlog, int& port) {
  const int fd = tcpSocket();
  auto address = loopback(0);
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

int freeLoopbackPort() {
  int port = 0;
  ::close(listenOnLoopback(1, port));
  return port;
}

bool acceptsConnections(int port) {
  const int fd = tcpSocket();
  const auto address = loopback(port);
  const bool accepted = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return accepted;
}

SilentListener::SilentListener(bool full) {
  sockets_.push_back(listenOnLoopback(full ? 0 : 4, port_));
  // A backlog of 0 still queues one connection; the second waits in the handshake meanwhile.
  const auto address = loopback(port_);
  for (int i = 0; full && i < 2; ++i) {
    sockets_.push_back(tcpSocket(SOCK_NONBLOCK));
    ::connect(sockets_.back(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
  }
}

SilentListener::~SilentListener() {
  for (int fd : sockets_) ::close(fd);
}

}  // namespace corvane::testing
