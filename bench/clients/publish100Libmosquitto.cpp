// Contender "libmosquitto" of BM_Publish100Clients: kClients plain clients, MQTT 5, each on its own
// network thread (mosquitto_loop_start), publishing with mosquitto_publish_v5 and counting the
// publish callbacks.
#include <mosquitto.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "clients/clients.hpp"
#include "publish/publish.hpp"

namespace corvane::bench {

namespace {

class RawClient {
 public:
  RawClient(const std::string& clientId, int port, Confirmations& connected, Confirmations& confirmed)
      : connected_(connected), confirmed_(confirmed) {
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    client_ = mosquitto_new(clientId.c_str(), true, this);
    if (!client_) fail("mosquitto_new", MOSQ_ERR_NOMEM);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client_, &RawClient::onConnect);
    mosquitto_publish_v5_callback_set(client_, &RawClient::onPublish);
    check("mosquitto_connect_bind_v5", mosquitto_connect_bind_v5(client_, "127.0.0.1", port, 60, nullptr, nullptr));
    check("mosquitto_loop_start", mosquitto_loop_start(client_));
  }
  ~RawClient() {
    mosquitto_disconnect_v5(client_, 0, nullptr);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void publish(const std::string& topic, const std::string& payload) {
    check("mosquitto_publish_v5", mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                                       payload.data(), 0, false, nullptr));
  }

 private:
  static void onConnect(mosquitto*, void* self, int reasonCode, int, const mosquitto_property*) {
    if (reasonCode == 0) static_cast<RawClient*>(self)->connected_.add();
  }
  static void onPublish(mosquitto*, void* self, int, int reasonCode, const mosquitto_property*) {
    if (reasonCode < 128) static_cast<RawClient*>(self)->confirmed_.add();
  }
  static void check(const char* call, int result) {
    if (result != MOSQ_ERR_SUCCESS) fail(call, result);
  }
  [[noreturn]] static void fail(const char* call, int result) {
    std::fprintf(stderr, "libmosquitto contender: %s: %s\n", call, mosquitto_strerror(result));
    std::abort();
  }

  mosquitto* client_ = nullptr;
  Confirmations& connected_;
  Confirmations& confirmed_;
};

void BM_Publish100Clients(benchmark::State& state) {
  const auto broker = manyClientsBroker();
  Confirmations connected, confirmed;
  std::vector<std::unique_ptr<RawClient>> clients;
  std::vector<std::string> topics;
  for (int i = 0; i < kClients; ++i) {
    const auto n = std::to_string(i);
    clients.push_back(std::make_unique<RawClient>("bench-many-raw-" + n, broker->port(), connected, confirmed));
    topics.push_back("bench/many/raw/" + n);
  }
  if (!connected.waitFor(kClients, std::chrono::seconds(60))) {
    state.SkipWithError("clients did not connect");
    return;
  }
  const auto& payload = publishPayload();
  std::uint64_t sent = 0;
  for (auto _ : state) {
    for (int round = 0; round < kPerClient; ++round) {
      for (std::size_t client = 0; client < clients.size(); ++client) clients[client]->publish(topics[client], payload);
    }
    sent += kPerClient * kClients;
    if (!confirmed.waitFor(sent)) state.SkipWithError("messages were not sent");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
  state.SetBytesProcessed(static_cast<std::int64_t>(sent * payload.size()));
}

}  // namespace

BENCHMARK(BM_Publish100Clients)->Name("BM_Publish100Clients/libmosquitto")->UseRealTime();

}  // namespace corvane::bench
