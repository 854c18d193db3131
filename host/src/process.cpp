#include "corvane/process.hpp"

namespace corvane::process {

using utils::core::Uuid;

const Event::Role Event::kConnected{Uuid::literal("7c0d5e3a-1b2f-4c6d-8e9f-0a1b2c3d4e01"), "connected"};
const Event::Role Event::kDisconnected{Uuid::literal("7c0d5e3a-1b2f-4c6d-8e9f-0a1b2c3d4e02"), "disconnected"};
const Task::Role Task::kReconnect{Uuid::literal("7c0d5e3a-1b2f-4c6d-8e9f-0a1b2c3d4e11"), "reconnect"};

void Event::addListener(Listener listener) {
  std::lock_guard lock(mutex_);
  listeners_.push_back(std::move(listener));
}

void Event::raise(TimeStamp time) const {
  std::vector<Listener> listeners;
  {
    std::lock_guard lock(mutex_);
    ++raised_;
    listeners = listeners_;
  }
  for (const auto& listener : listeners) listener(*this, time);
}

std::size_t Event::raisedCount() const noexcept {
  std::lock_guard lock(mutex_);
  return raised_;
}

}  // namespace corvane::process
