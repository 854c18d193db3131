#pragma once
// Workload: a topic payload of an "@Object" with 100 "@DataPoint" entries (value, quality and two
// extra attributes), rendered from live data points. Every contender produces the same text.
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include <corvane/data.hpp>
#include <corvane/runtime.hpp>

namespace corvane::bench {

struct Render100 {
  static constexpr std::size_t kPoints = 100;

  // What a hand-written serializer reads: the same points through the same kind of handles.
  struct PointHandles {
    std::string key;  // "point000", ...
    data::ReadHandle value, quality, scale, unit;
  };

  std::vector<std::shared_ptr<runtime::DataPoint>> points;
  std::vector<std::string> attributeNames;  // "value", "quality", "scale", "unit"
  std::vector<PointHandles> handles;
  std::string templateJson;  // the "@Object" template naming every point
};

// Built once: the points, their handles and the template.
const Render100& render100();

using Render100Function = std::string (*)(const Render100&);
// The plugin's text is the reference: a contender that differs aborts the run before any timing.
void BM_Render100(benchmark::State& state, const char* contender, Render100Function render);

std::string render100Plugin(const Render100& workload);

}  // namespace corvane::bench
