#pragma once
// A stand-in broker that answers the first packet of one connection with fixed bytes, for answers a
// real mosquitto does not give on demand (an MQTT 5 DISCONNECT with a reason code).
#include <atomic>
#include <string>
#include <thread>

namespace corvane::plugins::mqttClient::testing {

class ScriptedBroker {
 public:
  // Listens on a free port of 127.0.0.1; the reply goes out once the client's first bytes arrive.
  // Without a reply each connection is closed there instead, before any answer.
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

}  // namespace corvane::plugins::mqttClient::testing
