// Contender "nlohmann": build the document from the same handles, then dump it. ordered_json keeps
// the members in insertion order, as the payload does.
#include <nlohmann/json.hpp>

#include "payload/render100.hpp"

namespace corvane::bench {

namespace {

using Json = nlohmann::ordered_json;

template <class T>
Json orNull(const utils::Expected<T>& value) {
  return value ? Json(*value) : Json(nullptr);
}

std::string render100Nlohmann(const Render100& workload) {
  Json document = Json::object();
  for (const auto& point : workload.handles) {
    Json member = Json::object();
    member["value"] = orNull(point.value.readDouble());
    member["quality"] = orNull(point.quality.readInt64());
    member["scale"] = orNull(point.scale.readInt64());
    member["unit"] = orNull(point.unit.readString());
    document[point.key] = std::move(member);
  }
  return document.dump();
}

}  // namespace

BENCHMARK_CAPTURE(BM_Render100, nlohmann, "nlohmann", &render100Nlohmann);

}  // namespace corvane::bench
