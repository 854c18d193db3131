// Contender "libmosquitto": a plain client, MQTT 5, its own network thread (mosquitto_loop_start),
// publishing with mosquitto_publish_v5 and counting the publish callbacks.
#include <mosquitto.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "publish/publish.hpp"

namespace corvane::bench {

namespace {

class RawPublisher {
 public:
  explicit RawPublisher(const char* clientId) {
    static const int initialised = mosquitto_lib_init();
    (void)initialised;
    client_ = mosquitto_new(clientId, true, this);
    if (!client_) fail("mosquitto_new", MOSQ_ERR_NOMEM);
    mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    mosquitto_connect_v5_callback_set(client_, &RawPublisher::onConnect);
    mosquitto_publish_v5_callback_set(client_, &RawPublisher::onPublish);
    check("mosquitto_connect_bind_v5",
          mosquitto_connect_bind_v5(client_, "127.0.0.1", publishBrokerPort(), 60, nullptr, nullptr));
    check("mosquitto_loop_start", mosquitto_loop_start(client_));
    if (!connected_.waitFor(1)) fail("CONNACK", MOSQ_ERR_CONN_LOST);
  }
  ~RawPublisher() {
    mosquitto_disconnect_v5(client_, 0, nullptr);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
  }
  RawPublisher(const RawPublisher&) = delete;
  RawPublisher& operator=(const RawPublisher&) = delete;

  void publish(const char* topic, const std::string& payload, int qos) {
    check("mosquitto_publish_v5", mosquitto_publish_v5(client_, nullptr, topic, static_cast<int>(payload.size()),
                                                       payload.data(), qos, false, nullptr));
  }
  Confirmations confirmed;

 private:
  static void onConnect(mosquitto*, void* self, int reasonCode, int, const mosquitto_property*) {
    if (reasonCode == 0) static_cast<RawPublisher*>(self)->connected_.add();
  }
  static void onPublish(mosquitto*, void* self, int, int reasonCode, const mosquitto_property*) {
    if (reasonCode < 128) static_cast<RawPublisher*>(self)->confirmed.add();
  }
  static void check(const char* call, int result) {
    if (result != MOSQ_ERR_SUCCESS) fail(call, result);
  }
  [[noreturn]] static void fail(const char* call, int result) {
    std::fprintf(stderr, "libmosquitto contender: %s: %s\n", call, mosquitto_strerror(result));
    std::abort();
  }

  mosquitto* client_ = nullptr;
  Confirmations connected_;
};

void BM_PublishQoS0(benchmark::State& state) {
  RawPublisher publisher("bench-raw-qos0");
  const auto& payload = publishPayload();
  std::uint64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) publisher.publish("bench/raw/qos0", payload, 0);
    sent += kBatch;
    if (!publisher.confirmed.waitFor(sent)) state.SkipWithError("messages were not sent");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
  state.SetBytesProcessed(static_cast<std::int64_t>(sent * payload.size()));
}

void BM_PublishQoS1Confirmed(benchmark::State& state) {
  RawPublisher publisher("bench-raw-qos1");
  const auto& payload = publishPayload();
  std::uint64_t sent = 0;
  for (auto _ : state) {
    publisher.publish("bench/raw/qos1", payload, 1);
    if (!publisher.confirmed.waitFor(++sent)) state.SkipWithError("no PUBACK");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}

}  // namespace

BENCHMARK(BM_PublishQoS0)->Name("BM_PublishQoS0/libmosquitto")->UseRealTime();
BENCHMARK(BM_PublishQoS1Confirmed)->Name("BM_PublishQoS1Confirmed/libmosquitto")->UseRealTime();

}  // namespace corvane::bench
