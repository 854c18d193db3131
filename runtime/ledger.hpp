#pragma once
// What became of every publish run of every topic, and how often each client connected and each
// command received: counted by the runner from the task runs it schedules and the records and
// events the elements show. Every run of a topic's publish task ends in exactly one bucket, so the
// counts add up to the runs; only "pending" and "unconfirmed" ever go down.
#include <chrono>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>

#include <corvane/runtime.hpp>
#include <corvane/time.hpp>

#include "jsonLine.hpp"
#include "watchedModel.hpp"

namespace corvane::run {

// An error code as users see it, kept apart for labels and sorting.
struct ErrorKey {
  std::string category;
  int value = 0;
  std::string message;

  static ErrorKey of(std::error_code error);
  std::string text() const;  // "CATEGORY VALUE: MESSAGE"
  friend auto operator<=>(const ErrorKey& a, const ErrorKey& b) {
    if (auto c = a.category <=> b.category; c != 0) return c;
    return a.value <=> b.value;
  }
  friend bool operator==(const ErrorKey& a, const ErrorKey& b) { return a.category == b.category && a.value == b.value; }
};

struct TopicLedger {
  std::uint64_t runs = 0;          // publish task runs
  std::uint64_t notConnected = 0;  // runs while the client was not connected: nothing sent
  std::uint64_t confirmed = 0;     // "published" events
  std::map<ErrorKey, std::uint64_t> failed;   // the publication failed locally, by error code
  std::map<ErrorKey, std::uint64_t> refused;  // the broker refused it (MQTT 5 reason code)
  std::uint64_t unconfirmed = 0;   // neither confirmed nor failed within the grace time
  std::uint64_t pending = 0;       // sent, still within the grace time
  TimeStamp lastUnconfirmed = kNever;
  TimeStamp lastPublish = kNever;  // the last confirmed publication

  std::uint64_t failedTotal() const;
  std::uint64_t refusedTotal() const;
  // runs == notConnected + confirmed + failed + refused + unconfirmed + pending
  bool addsUp() const;
};

struct ClientLedger {
  std::uint64_t connects = 0;     // "connected" events
  std::uint64_t disconnects = 0;  // "disconnected" events
};

struct CommandLedger {
  std::uint64_t received = 0;    // "received" events
  std::uint64_t withErrors = 0;  // of these, messages with a non-empty error summary
};

// A consistent copy of every count, indexed like WatchedModel::elements(); only the member of the
// element's kind means anything.
struct LedgerSnapshot {
  std::vector<TopicLedger> topics;
  std::vector<ClientLedger> clients;
  std::vector<CommandLedger> commands;
};

class Ledger {
 public:
  // A run is "unconfirmed" when nothing about it arrived within this time.
  static constexpr std::chrono::seconds kGrace{5};

  explicit Ledger(const WatchedModel& model);

  // Hooks: the model's run observer, its events and its record commits (any thread).
  void taskRun(const runtime::TaskEntry& task, TimeStamp time, bool finished);
  void eventRaised(std::size_t element, std::string_view event, TimeStamp time);
  void recordCommitted(std::size_t element, TimeStamp time);

  // Runs older than the grace time that nothing came back for become "unconfirmed".
  void settle(TimeStamp now);
  // At the end of a run: whatever is still pending is unconfirmed.
  void finish(TimeStamp now);

  LedgerSnapshot snapshot() const;
  // One topic's counts (element index), for a view that shows only some.
  TopicLedger topic(std::size_t element) const;
  // The periodic "ledger" line of the event log.
  JsonLine line(TimeStamp time) const;

 private:
  struct TopicState {
    TopicLedger counts;
    std::deque<TimeStamp> pending;  // times of sent runs, oldest first
  };
  // Under mutex_: an answer came for the oldest pending run, or else for a run already counted
  // unconfirmed (a late answer), which then moves. False when there is none.
  bool takePending(TopicState& topic);

  const WatchedModel& model_;
  std::unordered_map<std::string, std::size_t> topicByPath_;    // element path → element index
  mutable std::mutex mutex_;
  std::vector<TopicState> topics_;
  std::vector<ClientLedger> clients_;
  std::vector<CommandLedger> commands_;
};

}  // namespace corvane::run
