// Contender "libmosquitto" of the publication workloads: one plain client (publish/rawClient.hpp).
#include <cstdio>
#include <cstdlib>

#include "publish/rawClient.hpp"

namespace corvane::bench {

namespace {

// One client on the publication broker, connected.
struct RawPublisher {
  explicit RawPublisher(const char* clientId) : client(clientId, publishBrokerPort(), connected, confirmed) {
    if (!connected.waitFor(1)) {
      std::fprintf(stderr, "libmosquitto contender: no CONNACK\n");
      std::abort();
    }
  }
  Confirmations connected, confirmed;
  RawClient client;
};

void BM_PublishQoS0(benchmark::State& state) {
  RawPublisher publisher("bench-raw-qos0");
  const auto& payload = publishPayload();
  std::uint64_t sent = 0;
  for (auto _ : state) {
    for (int i = 0; i < kBatch; ++i) publisher.client.publish("bench/raw/qos0", payload, 0);
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
    publisher.client.publish("bench/raw/qos1", payload, 1);
    if (!publisher.confirmed.waitFor(++sent)) state.SkipWithError("no PUBACK");
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(sent));
}

}  // namespace

BENCHMARK(BM_PublishQoS0)->Name("BM_PublishQoS0/libmosquitto")->UseRealTime();
BENCHMARK(BM_PublishQoS1Confirmed)->Name("BM_PublishQoS1Confirmed/libmosquitto")->UseRealTime();

}  // namespace corvane::bench
