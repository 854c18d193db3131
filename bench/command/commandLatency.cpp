// Workload: how long a command message takes from its publisher to its data point, on loopback.
// A plain libmosquitto publisher sends {"t": <send time in ns>, "seq": n}, one message at a time,
// each only after the previous one has arrived, so nothing queues.
//   BM_CommandLatency/plugin: a client with one command writing "$.t" into an integer data point;
//     received when the point's change listener runs.
//   BM_CommandLatency/libmosquitto: a plain subscriber (mosquitto_loop_start); received when its
//     message callback runs and has read the send time out of the payload.
// Both report p50 and p99 latency in microseconds as counters.
#include <mosquitto.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <benchmark/benchmark.h>

#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "command/command.hpp"
#include "publish/loopbackBroker.hpp"

namespace corvane::bench {

namespace {

using Clock = std::chrono::steady_clock;
using plugins::mqttClient::Client;
using plugins::mqttClient::Command;

constexpr int kMessages = 5000;
constexpr int kWarmUp = 200;  // first messages, left out of the percentiles
constexpr auto kTimeout = std::chrono::seconds(5);

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "command latency: %s\n", what.c_str());
  std::abort();
}

void check(const char* call, int result) {
  if (result != MOSQ_ERR_SUCCESS) fail(std::string(call) + ": " + mosquitto_strerror(result));
}

// A broker of this workload's own, so that the publish workloads' traffic does not share it.
int commandBrokerPort() {
  static const auto broker = std::make_unique<LoopbackBroker>();
  return broker->port();
}

std::int64_t sinceEpochNs(Clock::time_point time) {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(time.time_since_epoch()).count();
}

// The receiving side reports each arrival's latency; the benchmark thread waits for the count.
class Arrivals {
 public:
  void add(std::int64_t latencyNs) {
    std::lock_guard lock(mutex_);
    latencies_.push_back(latencyNs);
    changed_.notify_one();
  }
  bool waitFor(std::size_t count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kTimeout, [&] { return latencies_.size() >= count; });
  }
  std::vector<std::int64_t> take() {
    std::lock_guard lock(mutex_);
    return std::move(latencies_);
  }
  void reserve(std::size_t count) {
    std::lock_guard lock(mutex_);
    latencies_.reserve(count);
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::int64_t> latencies_;
};

// A plain MQTT 5 client on its own network thread (mosquitto_loop_start). With `arrivals` it is the
// subscriber that the plug-in is measured against; without, the publisher.
class RawClient {
 public:
  RawClient(const char* clientId, Arrivals* arrivals = nullptr) : arrivals_(arrivals) {
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    client_ = mosquitto_new(clientId, true, this);
    if (!client_) fail("mosquitto_new");
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client_, &RawClient::onConnect);
    mosquitto_subscribe_v5_callback_set(client_, &RawClient::onSubscribe);
    mosquitto_message_v5_callback_set(client_, &RawClient::onMessage);
    check("mosquitto_connect_bind_v5",
          mosquitto_connect_bind_v5(client_, "127.0.0.1", commandBrokerPort(), 60, nullptr, nullptr));
    check("mosquitto_loop_start", mosquitto_loop_start(client_));
    waitUntil(connected_, "no CONNACK");
  }
  ~RawClient() {
    mosquitto_disconnect_v5(client_, 0, nullptr);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void subscribe(const char* topic) {
    check("mosquitto_subscribe_v5", mosquitto_subscribe_v5(client_, nullptr, topic, 0, 0, nullptr));
    waitUntil(subscribed_, "no SUBACK");
  }
  // The send time goes first into the payload, taken as late as possible.
  void publish(const char* topic, int sequence) {
    char payload[64];
    const int length = std::snprintf(payload, sizeof payload, R"({"t":%lld,"seq":%d})",
                                     static_cast<long long>(sinceEpochNs(Clock::now())), sequence);
    check("mosquitto_publish_v5", mosquitto_publish_v5(client_, nullptr, topic, length, payload, 0, false, nullptr));
  }

 private:
  static void waitUntil(const std::atomic<bool>& flag, const char* failure) {
    const auto deadline = Clock::now() + kTimeout;
    while (!flag.load()) {
      if (Clock::now() > deadline) fail(failure);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  static void onConnect(mosquitto*, void* self, int reasonCode, int, const mosquitto_property*) {
    if (reasonCode == 0) static_cast<RawClient*>(self)->connected_.store(true);
  }
  static void onSubscribe(mosquitto*, void* self, int, int count, const int* granted, const mosquitto_property*) {
    if (count > 0 && granted[0] < 128) static_cast<RawClient*>(self)->subscribed_.store(true);
  }
  // What any receiver has to do at least: note the time and read the send time out of the payload.
  static void onMessage(mosquitto*, void* self, const mosquitto_message* message, const mosquitto_property*) {
    const auto received = Clock::now();
    auto* client = static_cast<RawClient*>(self);
    if (client->arrivals_ == nullptr || message->payloadlen < 6) return;
    const auto* text = static_cast<const char*>(message->payload);
    const auto sent = std::strtoll(text + 5, nullptr, 10);  // after {"t":
    client->arrivals_->add(sinceEpochNs(received) - sent);
  }

  Arrivals* arrivals_;
  mosquitto* client_ = nullptr;
  std::atomic<bool> connected_{false};
  std::atomic<bool> subscribed_{false};
};

// The plug-in's receiving side: a client with one command that writes the send time into a data point.
class PluginReceiver {
 public:
  explicit PluginReceiver(Arrivals& arrivals) {
    model_.loadText(R"({"dataPoints": [{"name": "sent", "type": "integer"}],
      "elements": [{"skill": "MQTT", "class": "Client", "name": "bench",
      "config": {"brokerAddress": "127.0.0.1:)" + std::to_string(commandBrokerPort()) +
                        R"(", "clientID": "bench-command-plugin"},
      "children": [{"class": "Command", "name": "c", "config": {"topic": "bench/command/plugin",
        "payload": [{"@DataPoint": {"dataPoint": "sent", "jsonPath": "$.t"}}]}}]}]})",
                    ".");
    model_.realizeAndPrepare();
    client_ = std::dynamic_pointer_cast<Client>(model_.skillElement("bench"));
    command_ = std::dynamic_pointer_cast<Command>(model_.skillElement("bench/c"));
    // Set before the client runs: the listener is not to change while values are written.
    model_.dataPoint("sent")->setChangeListener([&arrivals](const runtime::DataPoint& point) {
      const auto received = Clock::now();
      const auto value = point.value();
      if (const auto* sent = std::get_if<std::int64_t>(&value)) arrivals.add(sinceEpochNs(received) - *sent);
    });
    client_->activate();
    for (int i = 0; i < 1000 && !command_->subscribeData().subscribed; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!command_->subscribeData().subscribed) fail("the command did not subscribe");
  }
  ~PluginReceiver() {
    client_->deactivate();
    command_.reset();
    client_.reset();
    model_.shutdown();
  }
  PluginReceiver(const PluginReceiver&) = delete;
  PluginReceiver& operator=(const PluginReceiver&) = delete;

  const Command& command() const { return *command_; }

 private:
  runtime::Model model_;
  std::shared_ptr<Client> client_;
  std::shared_ptr<Command> command_;
};

double percentileUs(const std::vector<std::int64_t>& sorted, double fraction) {
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
  return static_cast<double>(sorted[index]) / 1000.0;
}

// Publishes kMessages one by one, each after the previous one arrived, and reports the percentiles.
void measure(benchmark::State& state, RawClient& publisher, const char* topic, Arrivals& arrivals) {
  arrivals.reserve(kMessages);
  for (auto _ : state) {
    for (int i = 0; i < kMessages; ++i) {
      publisher.publish(topic, i);
      if (!arrivals.waitFor(static_cast<std::size_t>(i) + 1)) {
        state.SkipWithError(("message " + std::to_string(i) + " did not arrive").c_str());
        return;
      }
    }
  }
  auto latencies = arrivals.take();
  latencies.erase(latencies.begin(), latencies.begin() + kWarmUp);
  std::sort(latencies.begin(), latencies.end());
  state.counters["p50_us"] = percentileUs(latencies, 0.50);
  state.counters["p99_us"] = percentileUs(latencies, 0.99);
  state.counters["max_us"] = percentileUs(latencies, 1.0);
  state.counters["messages"] = static_cast<double>(latencies.size());
  state.SetItemsProcessed(kMessages);
}

void BM_CommandLatencyPlugin(benchmark::State& state) {
  Arrivals arrivals;
  PluginReceiver receiver(arrivals);
  RawClient publisher("bench-command-publisher-plugin");
  measure(state, publisher, "bench/command/plugin", arrivals);
  if (!receiver.command().receiveData().errorSummary.empty()) {
    state.SkipWithError(("the command failed: " + receiver.command().receiveData().errorSummary).c_str());
  }
}

void BM_CommandLatencyLibmosquitto(benchmark::State& state) {
  Arrivals arrivals;
  RawClient subscriber("bench-command-raw", &arrivals);
  subscriber.subscribe("bench/command/raw");
  RawClient publisher("bench-command-publisher-raw");
  measure(state, publisher, "bench/command/raw", arrivals);
}

}  // namespace

BENCHMARK(BM_CommandLatencyPlugin)->Name("BM_CommandLatency/plugin")->Iterations(1)->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CommandLatencyLibmosquitto)->Name("BM_CommandLatency/libmosquitto")->Iterations(1)->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace corvane::bench
