// Applies the input as a received command message to a payload with entries of every data point
// type, reaching into nested objects and arrays. A message that cannot be decoded throws a standard
// exception by design; anything else escaping, or a crash, is a finding. So is a message that the
// whole parse (small messages) and the streaming reader read differently: each entry must get the
// same value or failure, and a refusal the same words.
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/config.hpp>
#include <corvane/runtime.hpp>

#include "command/commandPayload.hpp"

namespace {

using corvane::data::DataType;
using corvane::plugins::mqttClient::CommandPayload;
namespace decoder = corvane::utils::json::decoder;

class Points final : public corvane::config::Resolver {
 public:
  Points() {
    add("Int", DataType::kInteger);
    add("UInt", DataType::kUnsigned);
    add("Real", DataType::kDouble);
    add("Flag", DataType::kBoolean);
    add("Text", DataType::kString);
    add("Json", DataType::kString);
    add("Stamp", DataType::kTimeStamp);
  }
  std::shared_ptr<corvane::model::Element> findElement(std::string_view path) const override {
    auto it = points_.find(path);
    return it == points_.end() ? nullptr : it->second;
  }

 private:
  void add(const std::string& name, DataType type) {
    points_[name] = std::make_shared<corvane::runtime::DataPoint>(name, corvane::utils::core::Uuid{}, type);
  }
  std::map<std::string, std::shared_ptr<corvane::runtime::DataPoint>, std::less<>> points_;
};

constexpr std::string_view kEntries = R"([
  {"@DataPoint": {"dataPoint": "Int", "jsonPath": "$.a"}},
  {"@DataPoint": {"dataPoint": "UInt", "jsonPath": "$.a.b[0]"}},
  {"@DataPoint": {"dataPoint": "Real", "jsonPath": "$['a']['b'][1].c"}},
  {"@DataPoint": {"dataPoint": "Flag", "jsonPath": "$[0]"}},
  {"@DataPoint": {"dataPoint": "Text", "jsonPath": "$.s"}},
  {"@DataPoint": {"dataPoint": "Json", "jsonPath": "$", "asJSONText": true}},
  {"@DataPoint": {"dataPoint": "Stamp", "jsonPath": "$.t"}},
  {"@DataPoint": {"dataPoint": "Text", "jsonPath": "$.o"}}
])";

// Built once: loading, resolving and binding are configuration work, not what is fuzzed.
const CommandPayload& payload() {
  static Points points;
  static const CommandPayload instance = [] {
    corvane::config::Context context(".", points);
    CommandPayload loaded;
    decoder::Document document;
    auto value = document.read(kEntries);
    loaded.load(value, context);
    context.resolveAll();
    loaded.prepare();
    return loaded;
  }();
  return instance;
}

// What a reader made of the message: each entry's value or failure, or the refusal.
std::string outcome(const std::vector<char>& message, bool streaming) {
  std::string text;
  const CommandPayload::SelectionVisitor visit = [&text](const CommandPayload::DataPoint& entry,
                                                         const corvane::plugins::mqttClient::JsonValue* value,
                                                         const std::string& failure) {
    text.append(entry.pathText());
    if (value != nullptr) {
      text.append(" = ").append(value->toText());
    } else {
      text.append(" failed: ").append(failure);
    }
    text += '\n';
  };
  try {
    if (streaming) {
      payload().selectStreaming(message.data(), message.size(), visit);
    } else {
      payload().select(message.data(), message.size(), visit);
    }
  } catch (const std::exception& e) {
    text.append("refused: ").append(e.what());
  }
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // A copy of exactly the input's size, so a read past the end is caught.
  const std::vector<char> message(data, data + size);
  try {
    const std::string summary = payload().apply(message.data(), message.size());
    // Every line the summary has belongs to one entry.
    if (!summary.empty() && summary.front() != '\n') std::terminate();
  } catch (const std::exception&) {
  }
  if (outcome(message, false) != outcome(message, true)) std::terminate();
  return 0;
}
