// Contender "rapidjson": a hand-written RapidJSON Writer over the same handles.
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "payload/render100.hpp"

namespace corvane::bench {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void writeKey(Writer& writer, std::string_view key) {
  writer.Key(key.data(), static_cast<rapidjson::SizeType>(key.size()));
}

std::string render100RapidJson(const Render100& workload) {
  rapidjson::StringBuffer buffer;
  Writer writer(buffer);
  writer.StartObject();
  for (const auto& point : workload.handles) {
    writeKey(writer, point.key);
    writer.StartObject();
    writeKey(writer, "value");
    if (auto v = point.value.readDouble()) writer.Double(*v); else writer.Null();
    writeKey(writer, "quality");
    if (auto v = point.quality.readInt64()) writer.Int64(*v); else writer.Null();
    writeKey(writer, "scale");
    if (auto v = point.scale.readInt64()) writer.Int64(*v); else writer.Null();
    writeKey(writer, "unit");
    if (auto v = point.unit.readString()) {
      writer.String(v->data(), static_cast<rapidjson::SizeType>(v->size()));
    } else {
      writer.Null();
    }
    writer.EndObject();
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

}  // namespace

BENCHMARK_CAPTURE(BM_Render100, rapidjson, "rapidjson", &render100RapidJson);

}  // namespace corvane::bench
