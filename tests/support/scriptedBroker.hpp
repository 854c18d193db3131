#pragma once
// A stand-in broker on a free port of 127.0.0.1, for answers a real mosquitto does not give on
// demand: fixed bytes (an MQTT 5 DISCONNECT with a reason code) or a close before any answer. (No
// answer at all: SilentListener.)
#include <atomic>
#include <string>
#include <thread>

namespace corvane::testing {

class ScriptedBroker {
 public:
  // The reply goes out once the first bytes of one connection arrive, which is then held until the
  // end. Without a reply each connection is closed there instead, before any answer.
  explicit ScriptedBroker(std::string reply);
  ~ScriptedBroker();
  ScriptedBroker(const ScriptedBroker&) = delete;
  ScriptedBroker& operator=(const ScriptedBroker&) = delete;

  int port() const noexcept { return port_; }

 private:
  void serve();

  std::string reply_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;  // serve(): accepts a client, answers, holds the connection until the end
};

}  // namespace corvane::testing
