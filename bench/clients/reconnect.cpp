// Workload BM_ReconnectTask/plugin: how soon one run of a client's reconnect task brings its
// connection back, on loopback. Each iteration: a plain libmosquitto client takes the identifier
// over, so the broker drops ours (not timed); then the reconnect task runs once, and the time is
// taken when the client raises "connected".
#include <mosquitto.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <benchmark/benchmark.h>

#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "publish/loopbackBroker.hpp"

namespace corvane::bench {

namespace {

using namespace std::chrono_literals;
using plugins::mqttClient::Client;
using plugins::mqttClient::ConnectionState;

void BM_ReconnectTask(benchmark::State& state) {
  static const int initialised = mosquitto_lib_init();
  (void)initialised;
  LoopbackBroker broker;
  runtime::Model model;
  model.loadText(R"({"elements": [{"skill": "MQTT", "class": "Client", "name": "bench", "config":
    {"brokerAddress": "127.0.0.1:)" + std::to_string(broker.port()) + R"(", "clientID": "bench-reconnect"}}]})",
                 ".");
  model.realizeAndPrepare();
  auto client = std::dynamic_pointer_cast<Client>(model.skillElement("bench"));
  std::mutex mutex;
  std::condition_variable changed;
  int connections = 0;  // guarded by mutex
  client->forEachEvent([&](const process::Event::Role& role, const std::shared_ptr<process::Event>& event) {
    if (role == process::Event::kConnected) {
      event->addListener([&](const process::Event&, TimeStamp) {
        std::lock_guard lock(mutex);
        ++connections;
        changed.notify_all();
      });
    }
    return false;
  });
  auto connected = [&](int count) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 10s, [&] { return connections >= count; });
  };
  client->activate();
  int expected = 1;
  if (!connected(expected)) state.SkipWithError("not connected within 10 s");
  for (auto _ : state) {
    if (!connected(expected)) break;
    state.PauseTiming();
    mosquitto* thief = mosquitto_new("bench-reconnect", true, nullptr);
    mosquitto_connect(thief, "127.0.0.1", broker.port(), 60);
    for (int i = 0; i < 500 && client->connectionState() != ConnectionState::Idle; ++i) mosquitto_loop(thief, 10, 1);
    mosquitto_disconnect(thief);
    mosquitto_destroy(thief);
    ++expected;
    state.ResumeTiming();
    model.runTaskOnce("bench", "reconnect");
    if (!connected(expected)) state.SkipWithError("the reconnect task did not connect within 10 s");
  }
  client->deactivate();
  client.reset();
  model.shutdown();
}

}  // namespace

BENCHMARK(BM_ReconnectTask)->Name("BM_ReconnectTask/plugin")->Iterations(20)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace corvane::bench
