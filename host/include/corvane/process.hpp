#pragma once
// Events that elements raise and tasks that the runtime schedules.
#include <chrono>
#include <functional>
#include <mutex>
#include <string_view>
#include <vector>

#include "corvane/time.hpp"
#include "corvane/utils/core.hpp"

namespace corvane::process {

class Event : utils::tools::DisableCopy {
 public:
  struct Role {
    utils::core::Uuid uuid;
    std::string_view name;
    friend bool operator==(const Role& a, const Role& b) noexcept { return a.uuid == b.uuid; }
  };
  static const Role kConnected;
  static const Role kDisconnected;

  using Listener = std::function<void(const Event&, TimeStamp)>;

  Event() = default;
  // Listeners run on the raising thread, in the order they were added.
  void addListener(Listener listener);
  void raise(TimeStamp time) const;
  std::size_t raisedCount() const noexcept;

 private:
  mutable std::mutex mutex_;
  std::vector<Listener> listeners_;
  mutable std::size_t raised_ = 0;
};

class Task : utils::tools::DisableCopy {
 public:
  struct Role {
    utils::core::Uuid uuid;
    std::string_view name;
    friend bool operator==(const Role& a, const Role& b) noexcept { return a.uuid == b.uuid; }
  };
  static const Role kReconnect;

  // Stage bits of stages().
  enum Stage : unsigned {
    kStartup = 1,
    kPreOperational = 2,
    kOperational = 4,
    kPostOperational = 8,
    kShutdown = 16,
  };
  // Answers of the prepare* stages.
  enum Status : int {
    kFailed = 0,
    kSkip = 1,
    kProceed = 2,
  };
  struct Timing {
    std::chrono::nanoseconds cycle{0};  // 0: the runtime's configured cycle
  };
  class ExecutionContext {
   public:
    explicit ExecutionContext(TimeStamp time) noexcept : time_(time) {}
    TimeStamp timeStamp() const noexcept { return time_; }

   private:
    TimeStamp time_;
  };

  virtual ~Task() = default;
  virtual Timing timing() const { return {}; }
  virtual unsigned stages() const { return kOperational; }
  virtual void schedule() {}
  virtual int prepareStartup() { return kProceed; }
  virtual void startup() {}
  virtual void finishStartup() {}
  virtual int preparePreOperational() { return kProceed; }
  virtual void preOperational() {}
  virtual void finishPreOperational() {}
  virtual void operational(const ExecutionContext&) {}
  virtual int preparePostOperational() { return kProceed; }
  virtual void postOperational() {}
  virtual void finishPostOperational() {}
  virtual int prepareShutdown() { return kProceed; }
  virtual void shutdown() {}
  virtual void finishShutdown() {}
};

}  // namespace corvane::process
