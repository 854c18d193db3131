#pragma once

#include <netinet/in.h>

#include <vector>

namespace corvane::testing {

// 127.0.0.1:port, for bind and connect.
sockaddr_in loopback(int port);

// A TCP socket on 127.0.0.1 listening with `backlog`, on a port the system chose (stored in `port`);
// throws std::system_error.
int listenOnLoopback(int backlog, int& port);

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, read back, closed). Another
// process may take it before the caller binds it; the broker retries with a new one in that case.
int freeLoopbackPort();

// True when a TCP connection to 127.0.0.1:port is accepted; the connection is closed at once.
bool acceptsConnections(int port);

// A listener on 127.0.0.1 that never accepts. The kernel completes handshakes that nobody answers;
// `full`: its queue is taken by connections of its own, so a further connect never completes.
class SilentListener {
 public:
  explicit SilentListener(bool full = false);
  ~SilentListener();
  SilentListener(const SilentListener&) = delete;
  SilentListener& operator=(const SilentListener&) = delete;
  int port() const noexcept { return port_; }

 private:
  std::vector<int> sockets_;  // the listener first
  int port_ = 0;
};

}  // namespace corvane::testing
