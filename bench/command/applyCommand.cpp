// One received command message of about 1 KiB, applied by a payload of ten entries (every JSON
// kind, nested objects and arrays, one JSON text) to live data points; against simdjson's DOM
// parser only parsing the same bytes, the floor any decoding has to pay.
#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include <corvane/config.hpp>
#include <corvane/runtime.hpp>

#include "command/commandPayload.hpp"

namespace {

using corvane::data::DataType;
using corvane::plugins::mqttClient::CommandPayload;
namespace decoder = corvane::utils::json::decoder;

// A pump's status report, padded by its free-text note to exactly 1024 bytes.
std::string makeMessage() {
  std::string text = R"({"device":{"id":"pump-17","model":"KSB Etanorm 125","location":{"site":"north","hall":"B2","line":3}},)"
                     R"("status":{"running":true,"mode":"auto","faults":[],"since":"2024-05-01T06:00:00Z"},)"
                     R"("measurements":{"speed":1450.5,"temperature":{"value":71.25,"unit":"C"},)"
                     R"("pressure":[2.5,2.7,2.9,3.1],"flow":{"value":118.4,"unit":"m3/h"},)"
                     R"("counters":{"starts":1234,"hours":98765,"trips":2}},)"
                     R"("setpoints":{"speed":1500,"limits":{"min":-40,"max":18446744073709551615,"ramp":2.5}},)"
                     R"("tags":["water","primary","critical"],"note":")";
  const std::string tail = R"("})";
  text.append(1024 - text.size() - tail.size(), 'n');
  return text + tail;
}

constexpr std::string_view kEntries = R"([
  {"@DataPoint": {"dataPoint": "Id", "jsonPath": "$.device.id"}},
  {"@DataPoint": {"dataPoint": "Line", "jsonPath": "$.device.location.line"}},
  {"@DataPoint": {"dataPoint": "Running", "jsonPath": "$.status.running"}},
  {"@DataPoint": {"dataPoint": "Mode", "jsonPath": "$['status']['mode']"}},
  {"@DataPoint": {"dataPoint": "Speed", "jsonPath": "$.measurements.speed"}},
  {"@DataPoint": {"dataPoint": "Temperature", "jsonPath": "$.measurements.temperature.value"}},
  {"@DataPoint": {"dataPoint": "Pressure", "jsonPath": "$.measurements.pressure[2]"}},
  {"@DataPoint": {"dataPoint": "Hours", "jsonPath": "$.measurements.counters.hours"}},
  {"@DataPoint": {"dataPoint": "Max", "jsonPath": "$.setpoints.limits.max"}},
  {"@DataPoint": {"dataPoint": "Limits", "jsonPath": "$.setpoints.limits", "asJSONText": true}}
])";

class Points final : public corvane::config::Resolver {
 public:
  Points() {
    add("Id", DataType::kString);
    add("Line", DataType::kInteger);
    add("Running", DataType::kBoolean);
    add("Mode", DataType::kString);
    add("Speed", DataType::kDouble);
    add("Temperature", DataType::kDouble);
    add("Pressure", DataType::kDouble);
    add("Hours", DataType::kUnsigned);
    add("Max", DataType::kUnsigned);
    add("Limits", DataType::kString);
  }
  std::shared_ptr<corvane::model::Element> findElement(std::string_view path) const override {
    auto it = points_.find(path);
    return it == points_.end() ? nullptr : it->second;
  }
  corvane::runtime::DataPoint& operator[](std::string_view name) const { return *points_.find(name)->second; }

 private:
  void add(const std::string& name, DataType type) {
    points_[name] = std::make_shared<corvane::runtime::DataPoint>(name, corvane::utils::core::Uuid{}, type);
  }
  std::map<std::string, std::shared_ptr<corvane::runtime::DataPoint>, std::less<>> points_;
};

[[noreturn]] void fail(const std::string& why) {
  std::cerr << "applyCommand: " << why << '\n';
  std::abort();
}

// The ten entries loaded, resolved and bound, as a command's prepare leaves them.
void preparePayload(CommandPayload& payload, corvane::config::Context& context) {
  {
    decoder::Document document;
    auto value = document.read(kEntries);
    payload.load(value, context);
  }
  context.resolveAll();
  payload.prepare();
}

void applyWithPlugin(benchmark::State& state) {
  const std::string message = makeMessage();
  Points points;
  corvane::config::Context context(".", points);
  CommandPayload payload;
  preparePayload(payload, context);

  // The same outcome as the contender's reading, checked once before timing.
  if (auto summary = payload.apply(message.data(), message.size()); !summary.empty()) fail("summary" + summary);
  if (points["Max"].value() != corvane::data::Value(std::uint64_t{18446744073709551615u})) fail("Max not written");
  if (points["Limits"].value() != corvane::data::Value(std::string(R"({"min":-40,"max":18446744073709551615,"ramp":2.5})"))) {
    fail("Limits not written as JSON text");
  }

  for (auto _ : state) {
    auto summary = payload.apply(message.data(), message.size());
    benchmark::DoNotOptimize(summary);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
  state.SetItemsProcessed(state.iterations());
}

// The plugin's reading alone: the same message decoded and every path followed, nothing written.
// The difference to BM_ApplyCommand/plugin is what the ten writes cost.
void selectWithPlugin(benchmark::State& state) {
  const std::string message = makeMessage();
  Points points;
  corvane::config::Context context(".", points);
  CommandPayload payload;
  preparePayload(payload, context);

  benchmark::IterationCount selected = 0;
  const CommandPayload::SelectionVisitor count = [&selected](const CommandPayload::DataPoint&,
                                                             const corvane::plugins::mqttClient::JsonValue* value,
                                                             const std::string&) { selected += value != nullptr; };
  for (auto _ : state) {
    payload.select(message.data(), message.size(), count);
  }
  if (selected != 10 * state.iterations()) fail("not every path selected a value");
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
  state.SetItemsProcessed(state.iterations());
}

// The ten writes alone, the message's values handed straight to the data points' write handles:
// the host's share of BM_ApplyCommand/plugin, which no reading of the message can save.
void writeWithHost(benchmark::State& state) {
  Points points;
  std::vector<corvane::data::WriteHandle> handles;
  for (const char* name : {"Id", "Line", "Running", "Mode", "Speed", "Temperature", "Pressure", "Hours", "Max", "Limits"}) {
    handles.push_back(points[name].attributeWriteHandle(corvane::model::Attribute::kValue));
  }
  for (auto _ : state) {
    for (const std::error_code result : {
             handles[0].write(std::string_view("pump-17")), handles[1].write(std::int64_t{3}), handles[2].write(true),
             handles[3].write(std::string_view("auto")), handles[4].write(1450.5), handles[5].write(71.25),
             handles[6].write(2.9), handles[7].write(std::int64_t{98765}),
             handles[8].write(std::uint64_t{18446744073709551615u}),
             handles[9].write(std::string_view(R"({"min":-40,"max":18446744073709551615,"ramp":2.5})"))}) {
      if (result) fail(std::string("host write: ").append(result.message()));
    }
  }
  state.SetItemsProcessed(state.iterations());
}

void parseWithSimdjson(benchmark::State& state) {
  const simdjson::padded_string message(makeMessage());
  simdjson::dom::parser parser;
  {
    simdjson::dom::element root;
    if (parser.parse(message).get(root)) fail("simdjson refused the message");
    std::uint64_t max = 0;
    if (root["setpoints"]["limits"]["max"].get(max) || max != 18446744073709551615u) fail("simdjson read max");
  }
  for (auto _ : state) {
    simdjson::dom::element root;
    auto error = parser.parse(message).get(root);
    benchmark::DoNotOptimize(error);
    benchmark::DoNotOptimize(root);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * message.size()));
  state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(applyWithPlugin)->Name("BM_ApplyCommand/plugin");
BENCHMARK(parseWithSimdjson)->Name("BM_ApplyCommand/simdjson_parse");
BENCHMARK(selectWithPlugin)->Name("BM_ApplyCommand/plugin_select_only");
BENCHMARK(writeWithHost)->Name("BM_ApplyCommand/plugin_host_writes_only");
