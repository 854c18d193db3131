#pragma once
// A descriptor that wakes a client's network thread out of its poll: a publication to write, a
// state change to act on, a stop.
namespace corvane::plugins::mqttClient {

class WakeUp {
 public:
  // Throws std::system_error when the system has no descriptor left.
  WakeUp();
  ~WakeUp();
  WakeUp(const WakeUp&) = delete;
  WakeUp& operator=(const WakeUp&) = delete;

  int descriptor() const noexcept { return descriptor_; }
  // Any thread; a signal given while the network thread is not polling is seen at its next poll.
  void signal() const noexcept;
  // The network thread, after its poll saw the descriptor readable.
  void clear() const noexcept;

 private:
  int descriptor_;
};

}  // namespace corvane::plugins::mqttClient
