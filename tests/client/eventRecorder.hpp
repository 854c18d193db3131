#pragma once
// Records the events an element lists, by role name, as the runtime's listeners would see them.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/process.hpp>
#include <corvane/skill.hpp>

namespace corvane::plugins::mqttClient::testing {

class EventRecorder {
 public:
  struct Entry {
    std::string role;
    TimeStamp time;
    std::chrono::steady_clock::time_point seenAt;
  };

  // Listens to every event the element lists. The listeners share the record with the recorder, so
  // events raised after the recorder is gone (the element's shut-down) harm nothing.
  explicit EventRecorder(corvane::skill::Element& element) {
    element.forEachEvent([this](const corvane::process::Event::Role& role,
                                const std::shared_ptr<corvane::process::Event>& event) {
      event->addListener([shared = shared_, name = std::string(role.name)](const corvane::process::Event&,
                                                                            TimeStamp time) {
        std::lock_guard lock(shared->mutex);
        shared->entries.push_back({name, time, std::chrono::steady_clock::now()});
        shared->changed.notify_all();
      });
      return false;
    });
  }

  std::size_t count(std::string_view role) const {
    std::lock_guard lock(shared_->mutex);
    std::size_t n = 0;
    for (const auto& e : shared_->entries) n += e.role == role ? 1 : 0;
    return n;
  }
  // True once `role` has been raised at least `count` times.
  bool waitFor(std::string_view role, std::size_t count = 1,
               std::chrono::milliseconds timeout = std::chrono::seconds(5)) const {
    std::unique_lock lock(shared_->mutex);
    return shared_->changed.wait_for(lock, timeout, [&] {
      std::size_t n = 0;
      for (const auto& e : shared_->entries) n += e.role == role ? 1 : 0;
      return n >= count;
    });
  }
  // Role names in the order they were raised.
  std::vector<std::string> roles() const {
    std::lock_guard lock(shared_->mutex);
    std::vector<std::string> names;
    for (const auto& e : shared_->entries) names.push_back(e.role);
    return names;
  }
  std::vector<Entry> entries() const {
    std::lock_guard lock(shared_->mutex);
    return shared_->entries;
  }

 private:
  struct Shared {
    mutable std::mutex mutex;
    std::condition_variable changed;
    std::vector<Entry> entries;
  };
  std::shared_ptr<Shared> shared_ = std::make_shared<Shared>();
};

}  // namespace corvane::plugins::mqttClient::testing
