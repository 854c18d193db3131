#include "payload/render100.hpp"

#include <cstdio>
#include <cstdlib>

namespace corvane::bench {

const Render100& render100() {
  static const Render100 workload = [] {
    Render100 w;
    w.attributeNames = {"value", "quality", "scale", "unit"};
    w.templateJson = R"({"@Object":[)";
    for (std::size_t i = 0; i < Render100::kPoints; ++i) {
      char key[16];
      std::snprintf(key, sizeof key, "point%03zu", i);
      auto point = std::make_shared<runtime::DataPoint>("plant/" + std::string(key), utils::core::Uuid{},
                                                        data::DataType::kDouble);
      // Binary fractions: every contender's shortest double text agrees on them.
      point->setValue(20.125 + 0.25 * static_cast<double>(i));
      point->setQuality(i % 7 == 0 ? 0 : 192);
      point->setExtraAttribute("scale", std::int64_t{10});
      point->setExtraAttribute("unit", std::string(i % 2 ? "degC" : "kPa"));
      w.handles.push_back({key, point->attributeReadHandle("value"), point->attributeReadHandle("quality"),
                           point->attributeReadHandle("scale"), point->attributeReadHandle("unit")});
      if (i != 0) w.templateJson += ',';
      w.templateJson += R"({"key":")" + std::string(key) + R"(","value":{"@DataPoint":")" + point->primaryKey() +
                        R"("}})";
      w.points.push_back(std::move(point));
    }
    w.templateJson += "]}";
    return w;
  }();
  return workload;
}

void BM_Render100(benchmark::State& state, const char* contender, Render100Function render) {
  const Render100& workload = render100();
  const std::string expected = render100Plugin(workload);
  const std::string text = render(workload);
  if (text != expected) {
    std::fprintf(stderr, "%s renders other text than the plugin:\n%s\nexpected:\n%s\n", contender,
                 text.c_str(), expected.c_str());
    std::abort();
  }
  for (auto _ : state) benchmark::DoNotOptimize(render(workload));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * expected.size()));
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * Render100::kPoints));
}

}  // namespace corvane::bench
