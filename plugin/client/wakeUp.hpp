#pragma once
// A descriptor that wakes a client's network thread out of its poll: a publication to write, a
// state change to act on, a stop.
#include <atomic>

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
  // Signals given before the network thread has cleared the last one cost nothing.
  void signal() noexcept;
  // The network thread, after its poll saw the descriptor readable and before it looks at what
  // the signals were for.
  void clear() noexcept;

 private:
  int descriptor_;
  std::atomic<bool> pending_{false};  // signalled and not cleared yet
};

}  // namespace corvane::plugins::mqttClient
