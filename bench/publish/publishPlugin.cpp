// Contender "plugin": a client and a topic built from a model, connected through the client's own
// network thread; messages go through Client::publish and are confirmed by the topic's
// "published" event.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "publish/publish.hpp"
#include "topic/topic.hpp"

namespace corvane::bench {

namespace {

using plugins::mqttClient::Client;
using plugins::mqttClient::Topic;

class PluginPublisher {
 public:
  PluginPublisher(const char* clientId, int qos) : qos_(qos) {
    model_.loadText(R"({"elements": [{"skill": "MQTT", "class": "Client", "name": "bench",
      "config": {"brokerAddress": "127.0.0.1:)" + std::to_string(publishBrokerPort()) +
                        R"(", "clientID": ")" + clientId + R"("},
      "children": [{"class": "Topic", "name": "t",
        "config": {"topic": "bench/plugin/qos)" + std::to_string(qos) + R"(", "QoS": )" +
                        std::to_string(qos) + R"(, "payload": "unused"}}]}]})",
                    ".");
    model_.realizeAndPrepare();
    client_ = std::dynamic_pointer_cast<Client>(model_.skillElement("bench"));
    topic_ = std::dynamic_pointer_cast<Topic>(model_.skillElement("bench/t"));
    topic_->forEachEvent([&](const auto&, const std::shared_ptr<process::Event>& event) {
      event->addListener([this](const process::Event&, TimeStamp) { confirmed.add(); });
      return true;
    });
    client_->activate();
    for (int i = 0; i < 1000 && !client_->data().deviceState; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!client_->data().deviceState) fail("not connected: " + client_->data().error.message());
  }
  ~PluginPublisher() {
    client_->deactivate();
    topic_.reset();
    client_.reset();
    model_.shutdown();
  }
  PluginPublisher(const PluginPublisher&) = delete;
  PluginPublisher& operator=(const PluginPublisher&) = delete;

  void publish(const std::string& payload) {
    auto result = client_->publish(now(), *topic_, payload.data(), payload.size(), qos_, false, nullptr);
    if (!result) fail("Client::publish: " + result.error().message());
  }
  Confirmations confirmed;

 private:
  [[noreturn]] static void fail(const std::string& what) {
    std::fprintf(stderr, "plugin contender: %s\n", what.c_str());
    std::abort();
  }

  int qos_;
  runtime::Model model_;
  std::shared_ptr<Client> client_;
  std::shared_ptr<Topic> topic_;
};

void BM_PublishQoS0(benchmark::State& state) {
  PluginPublisher publisher("bench-plugin-qos0", 0);
  const auto& payload = publishPayload();
  std::uint64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) publisher.publish(payload);
    sent += kBatch;
    if (!publisher.confirmed.waitFor(sent)) state.SkipWithError("messages were not sent");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
  state.SetBytesProcessed(static_cast<std::int64_t>(sent * payload.size()));
}

void BM_PublishQoS1Confirmed(benchmark::State& state) {
  PluginPublisher publisher("bench-plugin-qos1", 1);
  const auto& payload = publishPayload();
  std::uint64_t sent = 0;
  for (auto _ : state) {
    publisher.publish(payload);
    if (!publisher.confirmed.waitFor(++sent)) state.SkipWithError("no PUBACK");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}

// 10^6 QoS 0 publications, the resident set sampled every 10^5; after the first 10^5 (warm-up)
// it must not grow.
void BM_PublishQoS0Memory(benchmark::State& state) {
  constexpr std::uint64_t kTotal = 1'000'000;
  constexpr std::uint64_t kSampleEvery = 100'000;
  PluginPublisher publisher("bench-plugin-memory", 0);
  const auto& payload = publishPayload();
  std::vector<std::int64_t> samples;
  for (auto _ : state) {
    samples.assign(1, residentKiB());
    for (std::uint64_t sent = 0; sent < kTotal;) {
      for (int i = 0; i < kBatch; ++i) publisher.publish(payload);
      sent += kBatch;
      if (!publisher.confirmed.waitFor(sent)) {
        state.SkipWithError("messages were not sent");
        return;
      }
      if (sent % kSampleEvery == 0) samples.push_back(residentKiB());
    }
  }
  std::int64_t afterWarmUp = samples.size() > 1 ? samples[1] : samples[0];
  std::int64_t highest = afterWarmUp;
  for (std::size_t i = 1; i < samples.size(); ++i) highest = std::max(highest, samples[i]);
  state.counters["rss_start_KiB"] = static_cast<double>(samples.front());
  state.counters["rss_1e5_KiB"] = static_cast<double>(afterWarmUp);
  state.counters["rss_1e6_KiB"] = static_cast<double>(samples.back());
  state.counters["growth_after_warmup_KiB"] = static_cast<double>(highest - afterWarmUp);
  std::string line = "RSS KiB every 1e5 QoS 0 publications:";
  for (auto kib : samples) {
    line += ' ';
    line += std::to_string(kib);
  }
  std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace

BENCHMARK(BM_PublishQoS0)->Name("BM_PublishQoS0/plugin")->UseRealTime();
BENCHMARK(BM_PublishQoS1Confirmed)->Name("BM_PublishQoS1Confirmed/plugin")->UseRealTime();
BENCHMARK(BM_PublishQoS0Memory)->Name("BM_PublishQoS0Memory/plugin")->Iterations(1)->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace corvane::bench
