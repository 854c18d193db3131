#include "command/commandPayload.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <corvane/utils/io.hpp>

#include "command/parsedMessage.hpp"
#include "command/pathTree.hpp"
#include "payload/jsonBuilder.hpp"

namespace corvane::plugins::mqttClient {

namespace decoder = utils::json::decoder;
namespace encoder = utils::json::encoder;

namespace {

// A received message is read whole before anything is written; beyond this many JSON values it is
// refused, so that a message of many tiny values cannot take memory out of proportion to its size.
constexpr std::size_t kMaxMessageValues = 1'000'000;

// Hands an object or array of the message to a write handle, which renders or converts it.
class JsonComposite final : public corvane::data::Composite {
 public:
  explicit JsonComposite(const JsonValue& value) noexcept : value_(value) {}
  void write(encoder::Value target) const override { value_.write(target); }

 private:
  const JsonValue& value_;
};

// A typed write: each JSON kind goes to the write handle as its own type, and the handle
// converts it to the data point's type (or refuses it).
std::error_code writeTyped(const corvane::data::WriteHandle& handle, const JsonValue& value) {
  switch (value.index()) {
    case JsonValue::kObject: return handle.writeObject(JsonComposite(value));
    case JsonValue::kArray: return handle.writeArray(JsonComposite(value));
    case JsonValue::kString: return handle.write(std::string_view(*value.getIf<std::string>()));
    case JsonValue::kSigned: return handle.write(*value.getIf<std::int64_t>());
    case JsonValue::kUnsigned: return handle.write(*value.getIf<std::uint64_t>());
    case JsonValue::kDouble: return handle.write(*value.getIf<double>());
    case JsonValue::kBoolean: return handle.write(*value.getIf<bool>());
    default: return handle.write(encoder::Null{});
  }
}

// Collects the JSON text of a selected value, with room for a typical one from the start.
class JsonTextStream final : public utils::io::OutputStream<char> {
 public:
  JsonTextStream() {
    text_.resize(kInitialRoom);
    setWriteBuffer(text_.data(), text_.data() + text_.size());
  }
  JsonTextStream(const JsonTextStream&) = delete;
  JsonTextStream& operator=(const JsonTextStream&) = delete;
  std::string description() const override { return "in-memory text string"; }

  std::string take() {
    text_.resize(used());
    return std::move(text_);
  }

 protected:
  void bufferExhausted() override {
    const std::size_t offset = used();
    text_.resize(text_.size() * 2);
    setWriteBuffer(text_.data() + offset, text_.data() + text_.size());
  }
  std::size_t writeBlock(const char* data, std::size_t count) override {
    text_.resize(used());
    text_.append(data, count);
    setWriteBuffer(text_.data() + text_.size(), text_.data() + text_.size());
    return count;
  }

 private:
  static constexpr std::size_t kInitialRoom = 128;
  std::size_t used() const noexcept { return static_cast<std::size_t>(writePosition() - text_.data()); }
  std::string text_;
};

// The value's compact JSON text, as JsonValue::toText gives it.
std::string jsonText(const JsonValue& value) {
  JsonTextStream stream;
  encoder::Document document(stream, 1);
  value.write(document.asValue());
  document.close();
  return stream.take();
}

std::string inQuotes(std::string_view text) {
  std::string result;
  result.reserve(text.size() + 2);
  result += '"';
  result += text;
  result += '"';
  return result;
}

using Entries = std::vector<std::unique_ptr<CommandPayload::DataPoint>>;

// What an entry's path selected in a message, or why it selected nothing.
struct Selection {
  const JsonValue* value = nullptr;
  std::string failure;
  bool done = false;
};

[[noreturn, gnu::cold]] void tooLarge(std::size_t length) {
  throw decoder::Exception(decoder::Location{}, "message of " + std::to_string(length) +
                                                    " bytes is larger than the " +
                                                    std::to_string(CommandPayload::kMaxMessageSize) +
                                                    " bytes a command takes");
}

[[noreturn, gnu::cold]] void tooManyValues() {
  throw decoder::Exception(decoder::Location{},
                           "message has too many JSON values (more than " + std::to_string(kMaxMessageValues) + ")");
}

// The member names of one large object, for the duplicate check: views of the document in an
// open-addressing table of 16 bytes a name, up to 7/8 full (a node set takes three times that).
class NameTable {
 public:
  // False when the table holds the name already.
  bool insert(std::string_view name) {
    if (used_ >= slots_.size() / 8 * 7) grow();
    const auto hash = static_cast<std::uint32_t>(std::hash<std::string_view>{}(name));
    return put(Slot{name.data() != nullptr ? name.data() : "", static_cast<std::uint32_t>(name.size()), hash});
  }
  std::size_t capacity() const noexcept { return slots_.size(); }
  void clear() noexcept {
    std::fill(slots_.begin(), slots_.end(), Slot{});
    used_ = 0;
  }

 private:
  struct Slot {
    const char* data = nullptr;  // null: free
    std::uint32_t size = 0;
    std::uint32_t hash = 0;
  };
  bool put(const Slot& slot) {
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot.hash & mask;; i = (i + 1) & mask) {
      Slot& here = slots_[i];
      if (here.data == nullptr) {
        here = slot;
        ++used_;
        return true;
      }
      if (here.hash == slot.hash && here.size == slot.size && std::memcmp(here.data, slot.data, slot.size) == 0) {
        return false;
      }
    }
  }
  void grow() {
    std::vector<Slot> old(std::max<std::size_t>(64, slots_.size() * 2));
    old.swap(slots_);  // the larger table in place, the names to move into it in `old`
    used_ = 0;
    for (const Slot& slot : old) {
      if (slot.data != nullptr) put(slot);
    }
  }

  std::vector<Slot> slots_;
  std::size_t used_ = 0;
};

}  // namespace

CommandPayload::PathTree::PathTree(const Entries& entries) {
  // A node per distinct prefix, children in lists, then laid out level by level.
  struct Built {
    Step step;
    std::uint32_t level, firstChild = kNone, lastChild = kNone, nextSibling = kNone;
  };
  std::vector<Built> built{Built{Step{{}, 0, false}, 0}};
  std::vector<std::uint32_t> endsAt(entries.size());
  for (std::uint32_t entry = 0; entry < entries.size(); ++entry) {
    std::uint32_t node = 0;
    for (const jsonPath::Segment& segment : entries[entry]->path()) {
      const auto* name = std::get_if<jsonPath::kName>(&segment);
      const Step step = name != nullptr ? Step{*name, 0, true, tagOf(*name)}
                                        : Step{{}, std::get<jsonPath::kIndex>(segment), false};
      std::uint32_t child = built[node].firstChild;
      while (child != kNone && !(built[child].step == step)) child = built[child].nextSibling;
      if (child == kNone) {
        child = static_cast<std::uint32_t>(built.size());
        built.push_back(Built{step, built[node].level + 1});
        if (built[node].lastChild == kNone) {
          built[node].firstChild = child;
        } else {
          built[built[node].lastChild].nextSibling = child;
        }
        built[node].lastChild = child;
      }
      node = child;
    }
    endsAt[entry] = node;
  }
  std::vector<std::uint32_t> laidOut{0};  // built node at each place
  std::vector<std::uint32_t> place(built.size(), 0);
  for (std::size_t i = 0; i < laidOut.size(); ++i) {
    const std::uint32_t node = laidOut[i];
    nodes.push_back(PathNode{built[node].step, built[node].level});
    nodes.back().children = static_cast<std::uint32_t>(laidOut.size());
    for (std::uint32_t child = built[node].firstChild; child != kNone; child = built[child].nextSibling) {
      place[child] = static_cast<std::uint32_t>(laidOut.size());
      laidOut.push_back(child);
    }
    nodes.back().childrenEnd = static_cast<std::uint32_t>(laidOut.size());
  }
  // The entries ending at each node, in entry order.
  std::vector<std::uint32_t> ending(nodes.size(), kNone), nextEnding(entries.size(), kNone);
  for (std::uint32_t entry = static_cast<std::uint32_t>(entries.size()); entry-- > 0;) {
    const std::uint32_t node = place[endsAt[entry]];
    nodes[node].ends = true;
    nextEnding[entry] = ending[node];
    ending[node] = entry;
  }
  // Tree order, without recursion (paths can be long): 2 * node on the way in, + 1 on the way out.
  std::vector<std::uint32_t> walk{0};
  while (!walk.empty()) {
    const std::uint32_t node = walk.back() / 2;
    const bool leaving = walk.back() % 2 != 0;
    walk.pop_back();
    if (leaving) {
      nodes[node].last = static_cast<std::uint32_t>(order.size());
      continue;
    }
    nodes[node].first = static_cast<std::uint32_t>(order.size());
    for (std::uint32_t entry = ending[node]; entry != kNone; entry = nextEnding[entry]) order.push_back(entry);
    walk.push_back(2 * node + 1);
    // Last child first, so that the first comes out first.
    for (std::uint32_t child = nodes[node].childrenEnd; child-- > nodes[node].children;) walk.push_back(2 * child);
  }
  endOf.resize(entries.size());
  for (std::uint32_t entry = 0; entry < entries.size(); ++entry) endOf[entry] = place[endsAt[entry]];
}

namespace {

// Reads a message once and follows every entry's path on the way: only the values that paths
// select are built; everything else is checked (syntax, duplicate member names) and counted but
// not kept. An entry's outcome is the one its path would give on the whole message decoded.
class Selector final : public decoder::Handler {
 public:
  Selector(const Entries& entries, const CommandPayload::PathTree& paths)
      : parts_(*scratch_), entries_(&entries), nodes_(paths.nodes.data()), order_(paths.order.data()) {
    parts_.selections.resize(entries.size());
    parts_.reached.assign(paths.nodes.size(), 0);
    // At most one value is kept per entry, so pointers to them stay valid.
    parts_.kept.reserve(entries.size());
    reached_ = parts_.reached.data();
  }

  void select(decoder::Value& message) { message.walk(*this); }
  const Selection& selection(std::size_t entry) const { return parts_.selections[entry]; }

  void beginObject() override {
    parts_.objects.push_back(OpenObject{static_cast<std::uint32_t>(parts_.names.size()), kNone});
    begin(true);
  }
  void memberName(const decoder::Name& name) override {
    const std::string_view text = name.view();
    const std::uint32_t tag = tagOf(text);
    checkUnique(name, text, tag);
    if (capturing_ != 0) {
      builder_->memberName(text);
      return;
    }
    if (skipping_ != 0) return;
    Frame& frame = *frame_;
    pending_ = kNone;
    for (std::uint32_t child = frame.children; child < frame.childrenEnd; ++child) {
      const Step& step = nodes_[child].step;
      if (step.byName && step.tag == tag && jsonBuilder::sameText(step.name, text)) {
        pending_ = child;
        // Members often come in the order of the paths: the children found first are passed over.
        if (child == frame.children) ++frame.children;
        break;
      }
    }
  }
  void endObject() override {
    const OpenObject object = parts_.objects.back();
    parts_.objects.pop_back();
    parts_.names.resize(object.names);
    if (object.set != kNone) {
      parts_.sets[object.set]->clear();
      --parts_.setsInUse;
    }
    end(true);
  }
  void beginArray() override { begin(false); }
  void endArray() override { end(false); }
  void string(std::string_view text) override {
    scalar([text] { return JsonValue(std::string(text)); });
  }
  void signedNumber(std::int64_t value) override {
    scalar([value] { return JsonValue(value); });
  }
  void unsignedNumber(std::uint64_t value) override {
    scalar([value] { return JsonValue(value); });
  }
  void doubleNumber(double value) override {
    scalar([value] { return JsonValue(value); });
  }
  void boolean(bool value) override {
    scalar([value] { return JsonValue(value); });
  }
  void null() override {
    scalar([] { return JsonValue(); });
  }

 private:
  using Node = PathNode;

  // A container whose node is on some paths but not the end of any.
  struct Frame {
    bool object;
    std::uint32_t node;
    std::uint32_t children, childrenEnd;  // of the node, less an object's first ones found already
    std::uint64_t next;                   // an array's next element index
  };
  // A member name of an open object, for the duplicate check.
  struct SeenName {
    std::string_view text;
    std::uint32_t tag;
  };
  struct OpenObject {
    std::uint32_t names;  // its first name in `names`
    std::uint32_t set;    // its entry in `sets` once it is large, else kNone
  };
  struct Parts {
    std::vector<std::uint8_t> reached;  // per node: the message has a value there
    std::vector<Frame> frames;
    std::vector<Selection> selections;  // per entry
    std::vector<JsonValue> kept;        // the values that paths selected
    std::vector<SeenName> names;        // of the open objects' members, views of the document
    std::vector<OpenObject> objects;
    std::vector<std::unique_ptr<NameTable>> sets;  // the first `setsInUse` belong to open objects
    std::size_t setsInUse = 0;
    bool inUse = false;
    void release() noexcept {
      jsonBuilder::clearScratch(reached);
      jsonBuilder::clearScratch(frames);
      jsonBuilder::clearScratch(selections);
      jsonBuilder::clearScratch(kept);
      jsonBuilder::clearScratch(names);
      jsonBuilder::clearScratch(objects);
      // A read that failed inside large objects leaves their sets filled; a huge one is given back.
      for (auto& set : sets) {
        if (set->capacity() > jsonBuilder::kRetainedEntries) {
          set = std::make_unique<NameTable>();
        } else {
          set->clear();
        }
      }
      setsInUse = 0;
    }
  };

  // Objects of a few members compare a name with the names before it; larger ones keep a hash set.
  static constexpr std::size_t kLinearCheck = 16;

  // Refuses a member name that occurs twice in one object, at the second one, before its value is
  // read: errors come in document order.
  void checkUnique(const decoder::Name& name, std::string_view text, std::uint32_t tag) {
    const OpenObject& object = parts_.objects.back();
    const std::size_t count = parts_.names.size() - object.names;
    if (count >= kLinearCheck) {
      checkUniqueInLarge(name, text);
      return;
    }
    for (const SeenName* seen = parts_.names.data() + object.names, *last = seen + count; seen != last; ++seen) {
      if (seen->tag == tag && jsonBuilder::sameText(seen->text, text)) duplicateMember(name);
    }
    parts_.names.push_back(SeenName{text, tag});
  }
  [[gnu::noinline]] void checkUniqueInLarge(const decoder::Name& name, std::string_view text) {
    OpenObject& object = parts_.objects.back();
    if (object.set == kNone) {
      if (parts_.setsInUse == parts_.sets.size()) parts_.sets.push_back(std::make_unique<NameTable>());
      object.set = static_cast<std::uint32_t>(parts_.setsInUse++);
      NameTable& set = *parts_.sets[object.set];
      for (std::size_t i = object.names; i < parts_.names.size(); ++i) set.insert(parts_.names[i].text);
    }
    if (!parts_.sets[object.set]->insert(text)) duplicateMember(name);
  }
  [[noreturn, gnu::cold]] static void duplicateMember(const decoder::Name& name) {
    throw decoder::Exception(name.location(), "duplicate member \"" + std::string(name.view()) + "\" in JSON object");
  }

  void count() {
    if (++values_ > kMaxMessageValues) tooManyValues();
  }

  // A value starts: the node it stands at, or kNone when no path reaches it. A member's was found
  // with its name.
  std::uint32_t arrive() {
    if (frame_ == nullptr) {
      if (rootSeen_) return kNone;
      rootSeen_ = true;
      return 0;
    }
    if (frame_->object) return pending_;
    std::uint32_t found = kNone;
    for (std::uint32_t child = frame_->children; child < frame_->childrenEnd; ++child) {
      const Step& step = nodes_[child].step;
      if (!step.byName && step.index == frame_->next) {
        found = child;
        break;
      }
    }
    ++frame_->next;
    return found;
  }

  void begin(bool object) {
    count();
    if (capturing_ != 0) {
      ++capturing_;
      object ? builder_->beginObject() : builder_->beginArray();
      return;
    }
    if (skipping_ != 0) {
      ++skipping_;
      return;
    }
    const std::uint32_t node = arrive();
    if (node == kNone) {
      skipping_ = 1;
      return;
    }
    const Node& here = nodes_[node];
    reached_[node] = 1;
    if (here.ends) {
      // Selected: built whole, and the paths that go on inside are followed in it.
      capture_ = node;
      capturing_ = 1;
      if (!builder_) builder_.emplace();
      object ? builder_->beginObject() : builder_->beginArray();
      return;
    }
    // Paths that need the other kind of container end here.
    for (std::uint32_t child = here.children; child < here.childrenEnd; ++child) {
      if (nodes_[child].step.byName != object) failAll(child, here.level, object);
    }
    parts_.frames.push_back(Frame{object, node, here.children, here.childrenEnd, 0});
    frame_ = &parts_.frames.back();
  }

  void end(bool object) {
    if (capturing_ != 0) {
      object ? builder_->endObject() : builder_->endArray();
      if (--capturing_ == 0) {
        parts_.kept.push_back(builder_->take());
        resolve(capture_, parts_.kept.back());
      }
      return;
    }
    if (skipping_ != 0) {
      --skipping_;
      return;
    }
    // Paths that name a member or an element the container does not have end here.
    const Node& here = nodes_[frame_->node];
    for (std::uint32_t child = here.children; child < here.childrenEnd; ++child) {
      if (reached_[child] == 0 && nodes_[child].step.byName == object) failAll(child, here.level, object);
    }
    parts_.frames.pop_back();
    frame_ = parts_.frames.empty() ? nullptr : &parts_.frames.back();
  }

  template <class MakeValue>
  void scalar(MakeValue make) {
    count();
    if (capturing_ != 0) {
      builder_->add(make());
      return;
    }
    if (skipping_ != 0) return;
    const std::uint32_t node = arrive();
    if (node == kNone) return;
    const Node& here = nodes_[node];
    reached_[node] = 1;
    if (here.ends) {
      parts_.kept.push_back(make());
      resolve(node, parts_.kept.back());
    } else {
      for (std::uint32_t child = here.children; child < here.childrenEnd; ++child) {
        failAll(child, here.level, JsonValue());
      }
    }
  }

  // The entries whose paths reach `value` at `node`: each selects it or a value inside it, or
  // nothing.
  void resolve(std::uint32_t node, const JsonValue& value) {
    const Node& here = nodes_[node];
    for (std::uint32_t i = here.first; i < here.last; ++i) {
      const std::uint32_t entry = order_[i];
      Selection& selection = parts_.selections[entry];
      selection.done = true;
      const jsonPath::Path& path = (*entries_)[entry]->path();
      if (path.size() == here.level) {
        selection.value = &value;
        continue;
      }
      selection.value = jsonPath::find(value, std::span(path).subspan(here.level), selection.failure);
    }
  }
  // The paths through `node` cannot take their step at `level` from a value of the kind `stand`
  // has (the member or element they name is missing, or the value is of another kind): the path's
  // own message says why.
  [[gnu::noinline]] void failAll(std::uint32_t node, std::uint32_t level, const JsonValue& stand) {
    const Node& here = nodes_[node];
    for (std::uint32_t i = here.first; i < here.last; ++i) {
      const std::uint32_t entry = order_[i];
      Selection& selection = parts_.selections[entry];
      selection.done = true;
      if (jsonPath::find(stand, std::span((*entries_)[entry]->path()).subspan(level, 1), selection.failure)) {
        throw std::logic_error("internal error: JSON path selected a value that is not there");
      }
    }
  }
  [[gnu::noinline]] void failAll(std::uint32_t node, std::uint32_t level, bool object) {
    failAll(node, level, object ? JsonValue(JsonValue::Object{}) : JsonValue(JsonValue::Array{}));
  }

  jsonBuilder::Scratch<Parts> scratch_;
  Parts& parts_;
  std::optional<jsonBuilder::Builder> builder_;  // once a container is selected
  const Entries* entries_;
  const Node* nodes_;
  const std::uint32_t* order_;
  std::uint8_t* reached_ = nullptr;
  Frame* frame_ = nullptr;         // the innermost frame
  std::uint32_t pending_ = kNone;  // the node of the member whose name was read last
  std::uint32_t capture_ = kNone;  // the node of the selected value being built
  bool rootSeen_ = false;
  std::size_t values_ = 0;     // read so far
  std::size_t skipping_ = 0;   // containers open inside a value no path reaches
  std::size_t capturing_ = 0;  // containers open inside a selected value, itself included
};

// Reads the message once for all entries, and whole before any entry is visited: a message that
// is not one JSON document writes nothing.
template <class Visit>
void selectStreaming(const Entries& entries, const CommandPayload::PathTree* paths, const char* payload,
                     std::size_t length, Visit&& visit) {
  if (length > CommandPayload::kMaxMessageSize) tooLarge(length);
  utils::io::MemoryInputStream input(payload, payload + length);
  decoder::Document document;
  auto root = document.read(input);
  // Without entries loaded, no path is followed, but the message is still read whole.
  static const CommandPayload::PathTree kNoPaths{Entries{}};
  Selector selector(entries, paths != nullptr ? *paths : kNoPaths);
  selector.select(root);
  document.finish();

  for (std::size_t i = 0; i < entries.size(); ++i) {
    const Selection& selection = selector.selection(i);
    if (!selection.done) throw std::logic_error("internal error: JSON path not followed to its end");
    visit(*entries[i], selection.value, selection.failure);
  }
}

// The same, for a small message by parsing it whole first; what that parse does not take is read
// again by the streaming reader, which also says why a message is refused.
template <class Visit>
void selectAll(const Entries& entries, const CommandPayload::PathTree* paths, const char* payload,
               std::size_t length, Visit&& visit) {
  if (length <= ParsedMessage::kMaxSize && paths != nullptr) {
    ParsedMessage message;
    if (message.read(payload, length, *paths)) {
      JsonValue selected;
      std::string failure;
      for (std::size_t i = 0; i < entries.size(); ++i) {
        failure.clear();
        const bool found = message.select(entries[i]->path(), paths->endOf[i], selected, failure);
        visit(*entries[i], found ? &selected : nullptr, failure);
      }
      return;
    }
  }
  selectStreaming(entries, paths, payload, length, std::forward<Visit>(visit));
}

}  // namespace

void CommandPayload::DataPoint::loadDataPoint(decoder::Value& value, config::Context& context) {
  const auto location = value.location();
  bool hasPath = false;
  bool hasDataPoint = false;
  for (auto member : value.asObject()) {
    if (member.name == "jsonPath") {
      const auto pathLocation = member.value.location();
      std::string text(member.value.asString());
      try {
        path_ = jsonPath::parse(text);
      } catch (const std::exception& e) {
        throw decoder::Exception(pathLocation, e);
      }
      pathText_ = std::move(text);
      hasPath = true;
    } else if (member.name == "dataPoint") {
      context.registerReference(config::Context::ReferenceKey::read(member.value),
                                [this](const std::shared_ptr<model::Element>& element) {
                                  if (element->category() != model::ElementCategory::kDataPoint) {
                                    throw std::runtime_error("element " + inQuotes(element->primaryKey()) +
                                                             " is not a data point");
                                  }
                                  dataPoint_ = element;
                                });
      hasDataPoint = true;
    } else if (member.name == "asJSONText") {
      asJsonText_ = member.value.asBoolean();
    } else {
      throw decoder::Exception(location, "unknown member " + inQuotes(member.name.view()) + " for data point element");
    }
  }
  if (!hasPath) throw decoder::Exception(location, "missing JSON path in MQTT data point");
  if (!hasDataPoint) throw decoder::Exception(location, "missing data point name in MQTT data point");
}

void CommandPayload::DataPoint::prepare() {
  auto element = dataPoint_.lock();
  if (!element) return;
  writeHandle_ = element->attributeWriteHandle(model::Attribute::kValue);
  if (writeHandle_ == corvane::data::WriteHandle::Error::kNoSuchAttribute) {
    throw std::runtime_error("data point " + inQuotes(element->primaryKey()) + " does not have a value attribute");
  }
  if (writeHandle_ == corvane::data::WriteHandle::Error::kReadOnly) {
    throw std::runtime_error("data point " + inQuotes(element->primaryKey()) + " is read-only");
  }
}

std::optional<std::string> CommandPayload::DataPoint::apply(const JsonValue& message) const {
  std::string failure;
  const JsonValue* selected = jsonPath::find(message, path_, failure);
  return write(selected, failure);
}

std::optional<std::string> CommandPayload::DataPoint::write(const JsonValue* selected,
                                                            const std::string& failure) const {
  // Held only for this write, so a data point removed from the model is not kept alive by us.
  auto element = dataPoint_.lock();
  if (!element) {
    return corvane::data::ReadHandle::errorCategory().message(
        static_cast<int>(corvane::data::ReadHandle::Error::kElementGone));
  }
  if (selected == nullptr) return element->primaryKey() + ": " + failure;
  std::error_code result;
  try {
    result = writeValue(writeHandle_, *selected);
  } catch (const std::exception& e) {
    return element->primaryKey() + ": " + e.what();
  }
  if (result) return element->primaryKey() + ": " + result.message();
  return std::nullopt;
}

std::error_code CommandPayload::DataPoint::writeValue(const corvane::data::WriteHandle& handle,
                                                      const JsonValue& selected) const {
  if (asJsonText_) return handle.write(std::string_view(jsonText(selected)));
  return writeTyped(handle, selected);
}

void CommandPayload::load(decoder::Value& value, config::Context& context) {
  try {
    loadEntries(value, context);
  } catch (...) {
    paths_ = std::make_shared<const PathTree>(entries_);
    throw;
  }
  paths_ = std::make_shared<const PathTree>(entries_);
}

void CommandPayload::loadEntries(decoder::Value& value, config::Context& context) {
  for (auto element : value.asArray()) {
    const auto location = element.location();
    auto object = element.asObject();
    auto member = object.begin();
    if (member == object.end()) throw decoder::Exception(location, "missing type specifier in payload element");
    auto [name, body] = *member;
    if (!name.starts_with("@")) throw decoder::Exception(name.location(), "payload element does not start with \"@\"");
    if (name != "@DataPoint") {
      throw decoder::Exception(location, "unknown element type " + inQuotes(name.view()) + " for payload element");
    }
    // Owned by the payload before it registers its reference: the resolution callback fills in
    // this entry even when a later member of the element is refused.
    entries_.push_back(std::make_unique<DataPoint>());
    entries_.back()->loadDataPoint(body, context);
    if (++member != object.end()) throw decoder::Exception(location, "excess members in payload");
  }
}

void CommandPayload::prepare() {
  for (const auto& entry : entries_) entry->prepare();
}

std::string CommandPayload::apply(const char* payload, std::size_t length) const {
  std::string summary;
  selectAll(entries_, paths_.get(), payload, length,
            [&](const DataPoint& entry, const JsonValue* selected, const std::string& failure) {
              if (auto error = entry.write(selected, failure)) {
                summary += '\n';
                summary += *error;
              }
            });
  return summary;
}

void CommandPayload::select(const char* payload, std::size_t length, const SelectionVisitor& visit) const {
  selectAll(entries_, paths_.get(), payload, length, visit);
}

void CommandPayload::selectStreaming(const char* payload, std::size_t length, const SelectionVisitor& visit) const {
  mqttClient::selectStreaming(entries_, paths_.get(), payload, length, visit);
}

}  // namespace corvane::plugins::mqttClient
