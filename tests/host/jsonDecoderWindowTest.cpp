// A text longer than the index window is indexed a window at a time: what is read, where, and
// which fault is reported must not depend on where the windows fall.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "corvane/utils/json.hpp"

namespace {

using namespace corvane::utils::json::decoder;

// Every part with its location; members called "raw" as their text.
std::string read(Value value) {
  std::string out = value.location().toString() + " ";
  switch (value.kind()) {
    case Value::Kind::kObject:
      out += "{";
      for (Member member : value.asObject()) {
        out += std::string(member.name.view()) + "@" + member.name.location().toString() + "=";
        out += member.name == "raw" ? std::string(member.value.rawJson()) : read(member.value);
      }
      return out + "}";
    case Value::Kind::kArray:
      out += "[";
      for (Value element : value.asArray()) out += read(element) + ",";
      return out + "]";
    case Value::Kind::kString: return out + "\"" + std::string(value.asString()) + "\"";
    case Value::Kind::kNumber: return out + std::string(value.numberText());
    case Value::Kind::kBoolean: return out + (value.asBoolean() ? "true" : "false");
    case Value::Kind::kNull: value.asNull(); return out + "null";
  }
  return out;
}

// The parts a walk hands out, names with their locations, and the names again after the walk:
// they stay valid while the document lives.
class Recorder final : public Handler {
 public:
  std::string out;
  std::vector<std::string_view> names;
  void beginObject() override { out += "{"; }
  void memberName(const Name& name) override {
    out += std::string(name.view()) + "@" + name.location().toString() + "=";
    names.push_back(name.view());
  }
  void endObject() override { out += "}"; }
  void beginArray() override { out += "["; }
  void endArray() override { out += "]"; }
  void string(std::string_view text) override { out += "\"" + std::string(text) + "\""; }
  void signedNumber(std::int64_t value) override { out += "i" + std::to_string(value); }
  void unsignedNumber(std::uint64_t value) override { out += "u" + std::to_string(value); }
  void doubleNumber(double value) override { out += "d" + std::to_string(value); }
  void boolean(bool value) override { out += value ? "T" : "F"; }
  void null() override { out += "N"; }
};

std::string outcome(const std::string& text, std::size_t window, bool walk) {
  try {
    Document document(window);
    Value root = document.read(text);
    std::string out;
    if (walk) {
      Recorder recorder;
      root.walk(recorder);
      out = recorder.out + "|";
      for (auto name : recorder.names) out += std::string(name) + "|";
    } else {
      out = read(root);
    }
    document.finish();
    return out;
  } catch (const std::exception& e) {
    return std::string("error ") + e.what();
  }
}

TEST(JsonDecoderWindows, EveryWindowReadsAndFailsAsOneIndexDoes) {
  const std::string longText(300, 'x');
  const std::string sample =
      "\xEF\xBB\xBF {\"a\": [1, -2, 18446744073709551615, 2.5e-3, true, false, null],\n"
      "  \"s\": \"tab\\t quote\\\" \\u00e9 \\ud83d\\ude00 \xC3\xA9\", \"long\": \"" + longText +
      "\",\n  \"raw\": {\"x\": [\"\\\\\", {}]}, \"e\\u0073c\": {\"\": []},\n"
      "  \"n\": 123456789012345678901234567890, \"" + longText + "\": \"" + longText + "\\n\"}  ";
  std::vector<std::string> texts = {sample, "[" + std::string(400, ' ') + "7]", "\"" + longText + "\""};
  // Faults at every place: each prefix, and a byte changed here and there into one that breaks
  // the text (a control character, invalid UTF-8, a stray quote or backslash, a letter).
  for (std::size_t length = 0; length < sample.size(); length += 3) texts.push_back(sample.substr(0, length));
  for (const char bad : {'\x01', '\xFF', '"', '\\', 'q'}) {
    for (std::size_t at = 5; at < sample.size(); at += 23) {
      texts.push_back(sample.substr(0, at) + bad + sample.substr(at + 1));
    }
  }
  for (const auto& text : texts) {
    for (const bool walk : {false, true}) {
      const std::string whole = outcome(text, Document::kIndexWindow, walk);
      for (const std::size_t window : {1, 2, 7, 16, 61, 200}) {
        ASSERT_EQ(outcome(text, window, walk), whole) << "window " << window << (walk ? ", walked: " : ": ")
                                                       << text;
      }
    }
  }
}

}  // namespace
