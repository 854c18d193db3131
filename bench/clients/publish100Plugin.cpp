// Contender "plugin" of BM_Publish100Clients: kClients clients of one model, each with one topic,
// connected through the plug-in's connection engine; messages go through Client::publish and are
// confirmed by the topics' "published" events.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "clients/clients.hpp"
#include "publish/publish.hpp"
#include "topic/topic.hpp"

namespace corvane::bench {

namespace {

using plugins::mqttClient::Client;
using plugins::mqttClient::Topic;

class PluginClients {
 public:
  explicit PluginClients(int port) {
    std::string elements;
    for (int i = 0; i < kClients; ++i) {
      const auto n = std::to_string(i);
      if (i > 0) elements += ",";
      elements += R"({"skill": "MQTT", "class": "Client", "name": "c)" + n +
                  R"(", "config": {"brokerAddress": "127.0.0.1:)" + std::to_string(port) +
                  R"(", "clientID": "bench-many-plugin-)" + n + R"("}, "children": [{"class": "Topic", "name": "t",
                  "config": {"topic": "bench/many/plugin/)" + n + R"(", "QoS": 0, "payload": "unused"}}]})";
    }
    model_.loadText(R"({"elements": [)" + elements + "]}", ".");
    model_.realizeAndPrepare();
    for (int i = 0; i < kClients; ++i) {
      const auto name = std::string("c").append(std::to_string(i));
      pairs_.push_back({std::dynamic_pointer_cast<Client>(model_.skillElement(name)),
                        std::dynamic_pointer_cast<Topic>(model_.skillElement(name + "/t"))});
      pairs_.back().topic->forEachEvent([&](const auto&, const std::shared_ptr<process::Event>& event) {
        event->addListener([this](const process::Event&, TimeStamp) { confirmed.add(); });
        return true;
      });
      pairs_.back().client->activate();
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (const auto& pair : pairs_) {
      while (!pair.client->data().deviceState && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (!pair.client->data().deviceState) fail("not connected: " + pair.client->data().error.message());
    }
  }
  ~PluginClients() {
    for (auto& pair : pairs_) pair.client->deactivate();
    pairs_.clear();
    model_.shutdown();
  }
  PluginClients(const PluginClients&) = delete;
  PluginClients& operator=(const PluginClients&) = delete;

  void publish(int client, const std::string& payload) {
    auto& pair = pairs_[static_cast<std::size_t>(client)];
    auto result = pair.client->publish(now(), *pair.topic, payload.data(), payload.size(), 0, false, nullptr);
    if (!result) fail("Client::publish: " + result.error().message());
  }
  Confirmations confirmed;

 private:
  struct Pair {
    std::shared_ptr<Client> client;
    std::shared_ptr<Topic> topic;
  };
  [[noreturn]] static void fail(const std::string& what) {
    std::fprintf(stderr, "plugin contender: %s\n", what.c_str());
    std::abort();
  }

  runtime::Model model_;
  std::vector<Pair> pairs_;
};

void BM_Publish100Clients(benchmark::State& state) {
  const auto broker = manyClientsBroker();
  PluginClients clients(broker->port());
  const auto& payload = publishPayload();
  std::uint64_t sent = 0;
  for (auto _ : state) {
    for (int round = 0; round < kPerClient; ++round) {
      for (int client = 0; client < kClients; ++client) clients.publish(client, payload);
    }
    sent += kPerClient * kClients;
    if (!clients.confirmed.waitFor(sent)) state.SkipWithError("messages were not sent");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
  state.SetBytesProcessed(static_cast<std::int64_t>(sent * payload.size()));
}

}  // namespace

BENCHMARK(BM_Publish100Clients)->Name("BM_Publish100Clients/plugin")->UseRealTime();

}  // namespace corvane::bench
