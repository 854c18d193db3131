#pragma once
// Workload: publications of a 200-byte payload to one broker on loopback, by the plug-in's client
// and by a plain libmosquitto client on its own connection (mosquitto_loop_start), in the same run.
//   BM_PublishQoS0/<contender>: QoS 0 messages per second, batches of kBatch, each batch waited for
//     until the publish callback has reported every message sent (so nothing piles up unsent).
//   BM_PublishQoS1Confirmed/<contender>: one QoS 1 message, then wait for the broker's PUBACK as the
//     publish callback reports it (the plug-in: the topic's "published" event).
//   BM_PublishQoS0Memory/plugin: resident set size over 10^6 QoS 0 publications.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>

#include <benchmark/benchmark.h>

namespace corvane::bench {

inline constexpr std::size_t kPayloadSize = 200;
inline constexpr int kBatch = 1000;

// The broker every contender publishes to, started on first use.
int publishBrokerPort();
// kPayloadSize bytes of printable text.
const std::string& publishPayload();
// Resident set size of this process in KiB (/proc/self/statm).
std::int64_t residentKiB();

// Confirmations counted by the publish callback's thread; the benchmark thread waits for a total.
class Confirmations {
 public:
  void add() {
    std::lock_guard lock(mutex_);
    if (++count_ >= target_) changed_.notify_one();
  }
  // False when the total is not reached within the time-out (the run is then aborted).
  bool waitFor(std::uint64_t total, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    std::unique_lock lock(mutex_);
    target_ = total;
    return changed_.wait_for(lock, timeout, [&] { return count_ >= total; });
  }
  std::uint64_t count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::uint64_t count_ = 0;
  std::uint64_t target_ = 0;
};

}  // namespace corvane::bench
