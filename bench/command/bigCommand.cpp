// Workload: peak resident memory of applying one 64 MiB command message, by shape of message, with
// two entries that select small values. Each measurement runs in a child process of its own, so
// that neither earlier workloads nor an earlier shape raise its high-water mark. Counters:
//   peak_MiB:  the child's peak resident set while it holds and applies the message, less what it
//              held before making the message (the message itself is included);
//   peak_ratio: peak_MiB over the message's size (the goal: below 3);
//   applied:    1 when the message was applied, 0 when it was refused (the summary goes to stderr).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <string_view>

#include <benchmark/benchmark.h>

#include <corvane/config.hpp>
#include <corvane/runtime.hpp>

#include "command/commandPayload.hpp"

namespace corvane::bench {

namespace {

using corvane::data::DataType;
using plugins::mqttClient::CommandPayload;
namespace decoder = corvane::utils::json::decoder;

constexpr std::size_t kMessageSize = std::size_t{64} << 20;

// A shape is a head, a body made of one unit over and over, and a tail, padded to kMessageSize
// with spaces before the tail.
struct Shape {
  const char* name;
  std::string_view head;
  std::string_view unit;
  std::string_view separator;
  std::string_view tail;
  std::string_view entries;
};

constexpr Shape kShapes[] = {
    {"string", R"({"id": 17, "unit": "degC", "blob": ")", "QUJDREVGR0hJSktMTU5PUA", "", R"("})",
     R"([{"@DataPoint": {"dataPoint": "Id", "jsonPath": "$.id"}},
         {"@DataPoint": {"dataPoint": "Text", "jsonPath": "$.unit"}}])"},
    {"escaped_string", R"({"id": 17, "unit": "degC", "blob": ")", R"(line \"one\"\n\u00e9 )", "", R"("})",
     R"([{"@DataPoint": {"dataPoint": "Id", "jsonPath": "$.id"}},
         {"@DataPoint": {"dataPoint": "Text", "jsonPath": "$.unit"}}])"},
    {"numbers", R"({"id": 17, "unit": "degC", "samples": [)", "-1234.5678", ",", R"(]})",
     R"([{"@DataPoint": {"dataPoint": "Id", "jsonPath": "$.id"}},
         {"@DataPoint": {"dataPoint": "Text", "jsonPath": "$.unit"}}])"},
    // Members of 68 bytes: just below the 1,000,000 values a message may hold.
    {"members", R"({"id": 17, "unit": "degC", )",
     R"("m": "0123456789012345678901234567890123456789012345678901234567890")", ",", R"(})",
     R"([{"@DataPoint": {"dataPoint": "Id", "jsonPath": "$.id"}},
         {"@DataPoint": {"dataPoint": "Text", "jsonPath": "$.unit"}}])"},
    {"tiny_values", "[", "0", ",", "]",
     R"([{"@DataPoint": {"dataPoint": "Id", "jsonPath": "$[0]"}},
         {"@DataPoint": {"dataPoint": "Text", "jsonPath": "$[1]"}}])"},
};

// Member names must differ: each unit's name gets a number of its own in place of its "m".
std::string makeMessage(const Shape& shape) {
  std::string text;
  text.reserve(kMessageSize);
  text += shape.head;
  const bool members = shape.unit.starts_with("\"m\"");
  for (std::size_t i = 0;; ++i) {
    std::string unit;
    if (members) {
      unit += "\"m";
      unit += std::to_string(i);
      unit += shape.unit.substr(2);
    } else {
      unit += shape.unit;
    }
    const std::size_t separator = i == 0 ? 0 : shape.separator.size();
    if (text.size() + separator + unit.size() + shape.tail.size() > kMessageSize) break;
    if (i != 0) text += shape.separator;
    text += unit;
  }
  text.append(kMessageSize - text.size() - shape.tail.size(), ' ');
  text += shape.tail;
  return text;
}

// From /proc/self/status, in KiB.
long statusKiB(const char* field) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with(field)) return std::strtol(line.c_str() + std::strlen(field) + 1, nullptr, 10);
  }
  return -1;
}

// Resets the peak resident set (VmHWM) to the current one.
void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

class Points final : public corvane::config::Resolver {
 public:
  std::shared_ptr<corvane::model::Element> findElement(std::string_view path) const override {
    if (path == "Id") return id_;
    if (path == "Text") return text_;
    return nullptr;
  }

 private:
  std::shared_ptr<corvane::runtime::DataPoint> id_ =
      std::make_shared<corvane::runtime::DataPoint>("Id", corvane::utils::core::Uuid{}, DataType::kInteger);
  std::shared_ptr<corvane::runtime::DataPoint> text_ =
      std::make_shared<corvane::runtime::DataPoint>("Text", corvane::utils::core::Uuid{}, DataType::kString);
};

struct Outcome {
  long peakKiB = 0;
  bool applied = false;
  char summary[160] = {};
};

// In the child: the payload prepared first, then the message made, then applied.
Outcome measure(const Shape& shape) {
  Points points;
  corvane::config::Context context(".", points);
  CommandPayload payload;
  {
    decoder::Document document;
    auto value = document.read(shape.entries);
    payload.load(value, context);
  }
  context.resolveAll();
  payload.prepare();

  resetPeak();
  const long before = statusKiB("VmRSS:");
  const std::string message = makeMessage(shape);
  std::string summary;
  try {
    summary = payload.apply(message.data(), message.size());
  } catch (const std::exception& e) {
    summary = e.what();
  }
  Outcome outcome;
  outcome.peakKiB = statusKiB("VmHWM:") - before;
  outcome.applied = summary.empty();
  std::snprintf(outcome.summary, sizeof outcome.summary, "%s", summary.c_str());
  return outcome;
}

void peakMemory(benchmark::State& state, const Shape& shape) {
  Outcome outcome;
  for (auto _ : state) {
    int channel[2];
    if (pipe(channel) != 0) {
      state.SkipWithError("pipe failed");
      return;
    }
    const pid_t child = fork();
    if (child == 0) {
      close(channel[0]);
      const Outcome measured = measure(shape);
      const bool written = write(channel[1], &measured, sizeof measured) == static_cast<ssize_t>(sizeof measured);
      _exit(written ? 0 : 1);
    }
    close(channel[1]);
    const bool read = child > 0 && ::read(channel[0], &outcome, sizeof outcome) == static_cast<ssize_t>(sizeof outcome);
    close(channel[0]);
    int status = 0;
    if (child > 0) waitpid(child, &status, 0);
    if (!read || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      state.SkipWithError("the measuring child failed");
      return;
    }
  }
  const double mib = static_cast<double>(outcome.peakKiB) / 1024.0;
  state.counters["peak_MiB"] = mib;
  state.counters["peak_ratio"] = mib / static_cast<double>(kMessageSize >> 20);
  state.counters["applied"] = outcome.applied ? 1 : 0;
  if (!outcome.applied) std::fprintf(stderr, "BM_BigCommand/%s: %s\n", shape.name, outcome.summary);
}

struct Registration {
  Registration() {
    for (const Shape& shape : kShapes) {
      benchmark::RegisterBenchmark((std::string("BM_BigCommand/") + shape.name).c_str(),
                                   [&shape](benchmark::State& state) { peakMemory(state, shape); })
          ->Iterations(1)
          ->Unit(benchmark::kMillisecond);
    }
  }
} registration;

}  // namespace

}  // namespace corvane::bench
