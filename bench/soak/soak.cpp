// corvane-soak: 10^6 publications and 10^6 received commands through one client against a local
// mosquitto, the resident set sampled every 10^5 of each. After the first 10^5 (warm-up: pools,
// caches and the broker connection's buffers reach their size) the resident set must not grow by
// more than the allowed share.
//
//   corvane-soak [MESSAGES] [ALLOWED_GROWTH_PERCENT]      defaults: 1000000 10
//
// Prints one line per sample and exits 1 when the resident set grew too much or a message did not
// arrive.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <corvane/runtime.hpp>
#include <corvane/time.hpp>

#include "broker.hpp"
#include "client/client.hpp"
#include "command/command.hpp"
#include "testPeer.hpp"
#include "topic/topic.hpp"

namespace {

using corvane::plugins::mqttClient::Client;
using corvane::plugins::mqttClient::Command;
using corvane::plugins::mqttClient::Topic;

constexpr std::uint64_t kBatch = 1000;
constexpr std::uint64_t kSampleEvery = 100'000;
constexpr auto kBatchTimeout = std::chrono::seconds(10);

std::int64_t residentKiB() {
  std::ifstream statm("/proc/self/statm");
  std::int64_t size = 0;
  std::int64_t resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// Polls until count() reaches total; false after kBatchTimeout.
template <typename Count>
bool waitFor(Count count, std::uint64_t total) {
  const auto deadline = std::chrono::steady_clock::now() + kBatchTimeout;
  while (count() < total) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

std::string modelText(int port) {
  return R"({"dataPoints": [
      {"name": "plant/counter", "type": "integer"},
      {"name": "plant/setpoint", "type": "integer", "value": -1}],
    "elements": [{"skill": "MQTT", "class": "Client", "name": "soak",
      "config": {"brokerAddress": "127.0.0.1:)" +
         std::to_string(port) + R"(", "clientID": "corvane-soak"},
      "children": [
        {"class": "Topic", "name": "telemetry",
         "config": {"topic": "soak/telemetry", "QoS": 0,
                    "payload": {"@Object": [{"key": "counter", "value": {"@DataPoint": "plant/counter"}},
                                            {"key": "site", "value": {"@JSON": "north"}}]}}},
        {"class": "Command", "name": "setpoint",
         "config": {"topic": "soak/setpoint/set",
                    "payload": [{"@DataPoint": {"dataPoint": "plant/setpoint", "jsonPath": "$.value"}}]}}]}]})";
}

int run(std::uint64_t total, double allowedGrowthPercent) {
  corvane::testing::BrokerOptions options;
  options.verboseLog = false;  // a log line per packet would be gigabytes here
  options.printLogOnFailure = false;
  options.maxQueuedMessages = 100'000;
  corvane::testing::Broker broker(options);
  broker.start();

  corvane::runtime::Model model;
  model.loadText(modelText(broker.port()), ".", "<soak>");
  model.realizeAndPrepare();
  auto client = std::dynamic_pointer_cast<Client>(model.skillElement("soak"));
  auto topic = std::dynamic_pointer_cast<Topic>(model.skillElement("soak/telemetry"));
  auto command = std::dynamic_pointer_cast<Command>(model.skillElement("soak/setpoint"));
  auto counter = model.dataPoint("plant/counter");
  auto setpoint = model.dataPoint("plant/setpoint");
  client->activate();
  const auto connectDeadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!(client->data().deviceState && command->subscribeData().subscribed)) {
    if (std::chrono::steady_clock::now() > connectDeadline) {
      std::fprintf(stderr, "soak: not connected and subscribed: %s\n", client->data().error.message().c_str());
      return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  corvane::testing::TestPeer peer({.port = broker.port()});
  if (!peer.connect().accepted()) {
    std::fprintf(stderr, "soak: the peer could not connect\n");
    return 1;
  }

  const auto published = [&] { return static_cast<std::uint64_t>(topic->publishedEvent().raisedCount()); };
  const auto applied = [&] { return setpoint->changeCount(); };
  const std::uint64_t appliedAtStart = applied();

  std::printf("%12s %12s %10s %12s\n", "publications", "commands", "RSS KiB", "each per s");
  std::vector<std::int64_t> samples{residentKiB()};
  std::printf("%12d %12d %10lld %12s\n", 0, 0, static_cast<long long>(samples.back()), "-");
  std::fflush(stdout);
  auto sampleStart = std::chrono::steady_clock::now();
  for (std::uint64_t done = 0; done < total;) {
    for (std::uint64_t i = 0; i < kBatch; ++i) {
      const auto n = static_cast<std::int64_t>(done + i + 1);
      peer.publish("soak/setpoint/set", R"({"value": )" + std::to_string(n) + "}", 0);
      counter->setValue(corvane::data::Value(n));
      topic->publish(corvane::now());
    }
    done += kBatch;
    if (!waitFor(published, done)) {
      std::fprintf(stderr, "soak: %llu of %llu publications sent; client error: %s\n",
                   static_cast<unsigned long long>(published()), static_cast<unsigned long long>(done),
                   client->data().error.message().c_str());
      return 1;
    }
    if (!waitFor([&] { return applied() - appliedAtStart; }, done)) {
      std::fprintf(stderr, "soak: %llu of %llu commands applied; last value %s, receive error: %s\n",
                   static_cast<unsigned long long>(applied() - appliedAtStart),
                   static_cast<unsigned long long>(done), corvane::data::toText(setpoint->value()).c_str(),
                   command->receiveData().errorSummary.c_str());
      return 1;
    }
    if (done % kSampleEvery == 0) {
      const auto end = std::chrono::steady_clock::now();
      const double seconds = std::chrono::duration<double>(end - sampleStart).count();
      sampleStart = end;
      samples.push_back(residentKiB());
      std::printf("%12llu %12llu %10lld %12.0f\n", static_cast<unsigned long long>(done),
                  static_cast<unsigned long long>(done), static_cast<long long>(samples.back()),
                  static_cast<double>(kSampleEvery) / seconds);
      std::fflush(stdout);
    }
  }

  peer.disconnect();
  client->deactivate();
  topic.reset();
  command.reset();
  client.reset();
  model.shutdown();

  if (samples.size() < 3) {
    std::printf("too few samples to judge growth\n");
    return 0;
  }
  const std::int64_t warm = samples[1];
  const std::int64_t highest = *std::max_element(samples.begin() + 1, samples.end());
  const double growth = 100.0 * static_cast<double>(highest - warm) / static_cast<double>(warm);
  std::printf("RSS after warm-up %lld KiB, highest %lld KiB, last %lld KiB: growth %.1f %% (allowed %.1f %%)\n",
              static_cast<long long>(warm), static_cast<long long>(highest), static_cast<long long>(samples.back()),
              growth, allowedGrowthPercent);
  if (growth > allowedGrowthPercent) {
    std::printf("FAILED: the resident set grew after warm-up\n");
    return 1;
  }
  std::printf("passed\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    const std::uint64_t total = argc > 1 ? std::stoull(argv[1]) : 1'000'000;
    const double allowed = argc > 2 ? std::stod(argv[2]) : 10.0;
    if (total % kSampleEvery != 0 && total >= kSampleEvery) {
      std::fprintf(stderr, "soak: MESSAGES must be a multiple of %llu\n", static_cast<unsigned long long>(kSampleEvery));
      return 64;
    }
    return run(total, allowed);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "soak: %s\n", error.what());
    return 1;
  }
}
