#include "lint.hpp"

#include <memory>
#include <stdexcept>
#include <system_error>

#include <corvane/runtime.hpp>
#include <corvane/utils/io.hpp>

#include "payload/jsonValue.hpp"

namespace corvane::run {

namespace {

namespace mqtt = plugins::mqttClient;
namespace decoder = utils::json::decoder;

// A selected value as JSON text, cut short (at a character boundary) when it is long.
std::string excerpt(const mqtt::JsonValue& value) {
  constexpr std::size_t kLongest = 60;
  std::string text = value.toText();
  if (text.size() <= kLongest) return text;
  std::size_t cut = kLongest - 3;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut) + "...";
}

}  // namespace

std::string readSample(const std::string& file) {
  std::string text;
  try {
    text = runtime::readRegularFile(file);
  } catch (const std::system_error& e) {
    throw std::runtime_error("cannot open sample file " + inQuotes(file) + ": " + e.code().message());
  }
  // Decoded as a command decodes a received message, so a sample it would refuse is refused here.
  try {
    utils::io::MemoryInputStream input(text.data(), text.data() + text.size());
    decoder::Document document;
    auto root = document.read(input);
    mqtt::JsonValue::load(root);
    document.finish();
  } catch (const decoder::Exception& e) {
    throw std::runtime_error(file + ":" + e.what());
  }
  return text;
}

void lintSample(const mqtt::Command& command, const std::string& path, std::string_view sample,
                const LintSource& source, LintWarnings& warnings) {
  const Place entries = source.config(path).key({"payload"});
  std::size_t index = 0;
  auto check = [&](const mqtt::CommandPayload::DataPoint& entry, const mqtt::JsonValue* selected,
                   const std::string& failure) {
    const Place at = entries.index(index++).key({"@DataPoint"}).key({"jsonPath"});
    auto point = std::dynamic_pointer_cast<runtime::DataPoint>(entry.target());
    if (!point) return;
    const std::string named = "JSON path " + inQuotes(entry.pathText());
    if (selected == nullptr) {
      warnings.push_back({named + " selects nothing in the sample for data point " + inQuotes(point->primaryKey()) +
                              ": " + failure,
                          path, at.location()});
      return;
    }
    // A fresh point of the target's type takes the write: the same conversion, and the model's
    // own point keeps its value.
    auto standIn = std::make_shared<runtime::DataPoint>(point->primaryKey(), point->uuid(), point->type());
    std::string why;
    try {
      if (auto error = entry.writeValue(standIn->attributeWriteHandle(model::Attribute::kValue), *selected)) {
        why = data::describeError(error);
      }
    } catch (const std::exception& e) {
      why = e.what();
    }
    if (why.empty()) return;
    warnings.push_back({named + " selects " + excerpt(*selected) + " in the sample, which data point " +
                            inQuotes(point->primaryKey()) + " (" + std::string(data::dataTypeName(point->type())) +
                            ") cannot take" + (entry.asJsonText() ? " as JSON text" : "") + ": " + why,
                        path, at.location()});
  };
  try {
    command.payload().select(sample.data(), sample.size(), check);
  } catch (const std::exception& e) {
    // The command refuses the whole message, whatever its paths.
    warnings.push_back({"the command refuses the sample: " + std::string(e.what()), path,
                        source.config(path).key({"payload"}).location()});
  }
}

}  // namespace corvane::run
