// Contender "libmosquitto" of BM_Publish100Clients: kClients plain clients, each on its own network
// thread, counting into shared counters.
#include <memory>
#include <string>
#include <vector>

#include "clients/clients.hpp"
#include "publish/rawClient.hpp"

namespace corvane::bench {

namespace {

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
      for (std::size_t client = 0; client < clients.size(); ++client) clients[client]->publish(topics[client].c_str(), payload);
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
