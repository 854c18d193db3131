#pragma once

namespace corvane::testing {

// A TCP port on 127.0.0.1 that was free a moment ago (bound to port 0, read back, closed). Another
// process may take it before the caller binds it; the broker retries with a new one in that case.
int freeLoopbackPort();

// True when a TCP connection to 127.0.0.1:port is accepted; the connection is closed at once.
bool acceptsConnections(int port);

}  // namespace corvane::testing
