#include "command/parsedMessage.hpp"

#include <simdjson.h>

#include <bit>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "command/pathTree.hpp"
#include "payload/jsonBuilder.hpp"

namespace corvane::plugins::mqttClient {

namespace dom = simdjson::dom;

namespace {

// Deeper messages go to the streaming reader: the scan and building a selected value recurse once
// per level.
constexpr std::size_t kMaxDepth = 64;
// Objects of up to this many members compare each name with the ones before it; larger ones are
// checked with a hash set.
constexpr std::uint32_t kSmallObject = 16;

// The parsed document is simdjson's tape: one 64-bit word per value (a number takes a second word
// for its bits), the kind in the top byte. A container's opening word holds the index of the word
// after its closing one (low 32 bits) and its number of members or elements (the 24 bits above,
// saturated); a string's word holds where its length (4 bytes) and bytes stand in the string
// buffer.
class Tape {
 public:
  // Where the message's value starts (word 0 marks the document).
  static constexpr std::size_t kRoot = 1;

  explicit Tape(const dom::document& document) noexcept
      : words_(document.tape.get()), strings_(document.string_buf.get()) {}

  char kind(std::size_t at) const noexcept { return static_cast<char>(words_[at] >> 56); }
  std::uint64_t payload(std::size_t at) const noexcept { return words_[at] & kPayload; }
  std::uint64_t bits(std::size_t at) const noexcept { return words_[at + 1]; }
  std::size_t afterContainer(std::size_t at) const noexcept { return static_cast<std::uint32_t>(words_[at]); }
  std::uint32_t count(std::size_t at) const noexcept { return (words_[at] >> 32) & 0xFFFFFF; }
  std::string_view string(std::size_t at) const noexcept {
    const std::uint8_t* place = strings_ + payload(at);
    std::uint32_t length;
    std::memcpy(&length, place, sizeof length);
    return {reinterpret_cast<const char*>(place + sizeof length), length};
  }
  // The word after the value at `at`.
  std::size_t after(std::size_t at) const noexcept {
    switch (kind(at)) {
      case '{':
      case '[': return afterContainer(at);
      case 'l':
      case 'u':
      case 'd': return at + 2;
      default: return at + 1;
    }
  }
  // The value at `at` as the streaming reader builds it; nesting is bounded by kMaxDepth.
  JsonValue value(std::size_t at) const {
    switch (kind(at)) {
      case '{': {
        JsonValue::Object members;
        members.reserve(count(at));
        for (std::size_t member = at + 1; kind(member) != '}'; member = after(member + 1)) {
          members.emplace_back(std::string(string(member)), value(member + 1));
        }
        return JsonValue(std::move(members));
      }
      case '[': {
        JsonValue::Array elements;
        elements.reserve(count(at));
        for (std::size_t element = at + 1; kind(element) != ']'; element = after(element)) {
          elements.push_back(value(element));
        }
        return JsonValue(std::move(elements));
      }
      case '"': return JsonValue(std::string(string(at)));
      case 'l': return JsonValue(std::bit_cast<std::int64_t>(bits(at)));
      case 'u': return JsonValue(bits(at));
      case 'd': return JsonValue(std::bit_cast<double>(bits(at)));
      case 't': return JsonValue(true);
      case 'f': return JsonValue(false);
      default: return JsonValue();
    }
  }

 private:
  static constexpr std::uint64_t kPayload = (std::uint64_t{1} << 56) - 1;
  const std::uint64_t* words_;
  const std::uint8_t* strings_;
};

// A place in the parsed message, for jsonPath::follow.
class TapeCursor {
 public:
  TapeCursor(const Tape& tape, std::size_t at) noexcept : tape_(&tape), at_(at) {}
  bool isObject() const noexcept { return tape_->kind(at_) == '{'; }
  bool isArray() const noexcept { return tape_->kind(at_) == '['; }
  std::optional<TapeCursor> member(const std::string& name) const {
    for (std::size_t member = at_ + 1; tape_->kind(member) != '}'; member = tape_->after(member + 1)) {
      if (tape_->string(member) == name) return TapeCursor(*tape_, member + 1);
    }
    return std::nullopt;
  }
  std::optional<TapeCursor> element(std::uint64_t index) const {
    for (std::size_t element = at_ + 1; tape_->kind(element) != ']'; element = tape_->after(element)) {
      if (index-- == 0) return TapeCursor(*tape_, element);
    }
    return std::nullopt;
  }

 private:
  const Tape* tape_;
  std::size_t at_;
};

}  // namespace

struct ParsedMessage::Parser {
  dom::parser parser{kMaxSize};
  std::unique_ptr<char[]> text;  // the message with the padding the parser reads past its end
  std::size_t room = 0;
  std::vector<std::uint32_t> reached;  // per path node: the tape word of its value, or kNone
  bool inUse = false;

  Parser() {
    if (parser.allocate(dom::MINIMAL_DOCUMENT_CAPACITY, kMaxDepth) != simdjson::SUCCESS) throw std::bad_alloc();
  }
  void release() noexcept {
    inUse = false;
    jsonBuilder::clearScratch(reached);
  }
};

ParsedMessage::ParsedMessage() {
  // Messages read one after another on a thread share one parser; one read while another is
  // visited (a write that leads to another command) gets its own.
  thread_local Parser shared;
  if (shared.inUse) {
    own_ = std::make_unique<Parser>();
    parser_ = own_.get();
  } else {
    parser_ = &shared;
  }
  parser_->inUse = true;
}

ParsedMessage::~ParsedMessage() { parser_->release(); }

namespace {

// The member names of a large object, checked with a hash set.
bool hasUniqueNames(const Tape& tape, std::size_t object) {
  jsonBuilder::MemberNameCheck names;
  names.beginObject();
  for (std::size_t member = object + 1; tape.kind(member) != '}'; member = tape.after(member + 1)) {
    if (!names.add(tape.string(member))) return false;
  }
  return true;
}

}  // namespace

// One pass over the message: every object's member names are unique, and the value of each path
// node (`node`, or kNone off the paths) is found on the way. Each step returns the word after the
// value it read, or 0 when the message is left to the streaming reader. The parser's depth limit
// bounds the recursion.
class ParsedMessage::Scan {
 public:
  Scan(Parser& parser, const Tape& tape, const PathNode* nodes) : parser_(parser), tape_(tape), nodes_(nodes) {}

  std::size_t value(std::size_t at, std::uint32_t node) {
    if (node != kNone) parser_.reached[node] = static_cast<std::uint32_t>(at);
    switch (tape_.kind(at)) {
      case '{': return object(at, node);
      case '[': return array(at, node);
      case 'l':
      case 'u':
      case 'd': return at + 2;
      default: return at + 1;
    }
  }

 private:
  std::size_t object(std::size_t at, std::uint32_t node) {
    const bool small = tape_.count(at) <= kSmallObject;
    if (!small && !hasUniqueNames(tape_, at)) return 0;
    const bool followed = node != kNone && nodes_[node].children != nodes_[node].childrenEnd;
    // The names of a small object so far; left uninitialised, only the first `count` are read.
    struct Name {
      const char* data;
      std::size_t size;
    } seen[kSmallObject];
    std::size_t count = 0;
    std::size_t member = at + 1;
    while (tape_.kind(member) != '}') {
      const std::string_view name = tape_.string(member);
      if (small) {
        for (std::size_t i = 0; i < count; ++i) {
          if (jsonBuilder::sameText(std::string_view(seen[i].data, seen[i].size), name)) return 0;
        }
        seen[count++] = Name{name.data(), name.size()};
      }
      std::uint32_t child = kNone;
      if (followed) {
        for (std::uint32_t i = nodes_[node].children; i < nodes_[node].childrenEnd; ++i) {
          const Step& step = nodes_[i].step;
          if (step.byName && jsonBuilder::sameText(step.name, name)) {
            child = i;
            break;
          }
        }
      }
      member = value(member + 1, child);
      if (member == 0) return 0;
    }
    return member + 1;
  }

  std::size_t array(std::size_t at, std::uint32_t node) {
    const bool followed = node != kNone && nodes_[node].children != nodes_[node].childrenEnd;
    std::uint64_t index = 0;
    std::size_t element = at + 1;
    while (tape_.kind(element) != ']') {
      std::uint32_t child = kNone;
      if (followed) {
        for (std::uint32_t i = nodes_[node].children; i < nodes_[node].childrenEnd; ++i) {
          if (!nodes_[i].step.byName && nodes_[i].step.index == index) {
            child = i;
            break;
          }
        }
      }
      element = value(element, child);
      if (element == 0) return 0;
      ++index;
    }
    return element + 1;
  }

  Parser& parser_;
  const Tape& tape_;
  const PathNode* nodes_;
};

bool ParsedMessage::read(const char* payload, std::size_t length, const CommandPayload::PathTree& paths) {
  if (length > kMaxSize) return false;
  Parser& parser = *parser_;
  if (!parser.text || parser.room < length) {
    parser.text = std::make_unique_for_overwrite<char[]>(length + simdjson::SIMDJSON_PADDING);
    parser.room = length;
  }
  if (length != 0) std::memcpy(parser.text.get(), payload, length);
  if (parser.parser.parse(parser.text.get(), length, false).error() != simdjson::SUCCESS) return false;
  parser.reached.assign(paths.nodes.size(), kNone);
  const Tape tape(parser.parser.doc);
  return Scan(parser, tape, paths.nodes.data()).value(Tape::kRoot, 0) != 0;
}

bool ParsedMessage::select(const jsonPath::Path& path, std::uint32_t node, JsonValue& selected,
                           std::string& failure) const {
  const Tape tape(parser_->parser.doc);
  const std::uint32_t at = parser_->reached[node];
  if (at != kNone) {
    selected = tape.value(at);
    return true;
  }
  // Not there: the path's own words say why.
  if (jsonPath::follow(TapeCursor(tape, Tape::kRoot), path, failure)) {
    throw std::logic_error("internal error: JSON path selected a value the message was not found to have");
  }
  return false;
}

}  // namespace corvane::plugins::mqttClient
