#pragma once
// A stand-in broker on a free port of 127.0.0.1, for answers a real mosquitto does not give on
// demand: fixed bytes (an MQTT 5 DISCONNECT with a reason code), a close before any answer, or no
// answer at all.
#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace corvane::testing {

class ScriptedBroker {
 public:
  // The reply goes out once the first bytes of one connection arrive, which is then held until the
  // end. Without a reply each connection is closed there instead, before any answer.
  explicit ScriptedBroker(std::string reply);
  // Accepts nothing: its one-place accept queue is already full, so the kernel drops every further
  // SYN and a connect waits (for minutes) until close().
  struct Deaf {};
  explicit ScriptedBroker(Deaf);
  ~ScriptedBroker();
  ScriptedBroker(const ScriptedBroker&) = delete;
  ScriptedBroker& operator=(const ScriptedBroker&) = delete;

  int port() const noexcept { return port_; }
  // A waiting connect then fails at its next SYN retransmission (within about 3 s).
  void close();

 private:
  void listen(int backlog);
  void serve();

  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> queued_;  // Deaf: the connections that fill the accept queue
  std::atomic<bool> stopping_{false};
  std::thread thread_;  // serve(): accepts a client, answers, holds the connection until the end
};

}  // namespace corvane::testing
