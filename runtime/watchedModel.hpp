#pragma once
// The elements of a running model as the runner shows them: each skill element with its class
// (Client, Topic, Command or another skill's) and copies of its state records, so that a change
// can be told from the last copy shown.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "command/command.hpp"
#include "jsonLine.hpp"
#include "topic/topic.hpp"

namespace corvane::run {

namespace mqtt = plugins::mqttClient;

// Copies of one element's records. Only the alternative of the element's class is filled.
struct RecordCopy {
  std::optional<mqtt::Client::Data> client;
  std::optional<mqtt::Topic::Data> topic;
  std::optional<mqtt::Command::SubscribeData> subscription;
  std::optional<mqtt::Command::ReceiveData> receive;

  bool operator==(const RecordCopy&) const = default;
};

struct WatchedElement {
  enum class Kind { kClient, kTopic, kCommand, kOther };
  Kind kind = Kind::kOther;
  std::string path;
  std::string skillName;
  std::string className;
  std::size_t parent = SIZE_MAX;
  // Weak: the model owns its elements and destroys them in its own order.
  std::weak_ptr<skill::Element> element;
  std::weak_ptr<mqtt::Client> client;
  std::weak_ptr<mqtt::Topic> topic;
  std::weak_ptr<mqtt::Command> command;

  // The element's records now; nothing once the element is gone.
  std::optional<RecordCopy> read() const;
  // The "client", "topic" or "command" line of a record change; empty for other skills' elements.
  std::optional<JsonLine> recordLine(const RecordCopy& records, TimeStamp time) const;
};

class WatchedModel {
 public:
  // After realizeAndPrepare: the records exist from then on.
  explicit WatchedModel(const runtime::Model& model);

  const std::vector<WatchedElement>& elements() const noexcept { return elements_; }
  const std::vector<std::shared_ptr<runtime::DataPoint>>& dataPoints() const noexcept { return dataPoints_; }
  const std::string& fileName() const noexcept { return fileName_; }
  // The element a committed record belongs to (a commit names its block); nothing for records of
  // other skills' elements. So a change costs the same however large the model.
  std::optional<std::size_t> elementOf(const void* record) const;

 private:
  std::vector<WatchedElement> elements_;
  std::unordered_map<const void*, std::size_t> byRecord_;
  std::vector<std::shared_ptr<runtime::DataPoint>> dataPoints_;
  std::string fileName_;
};

// The data point line: name, value, quality, change time.
JsonLine dataPointLine(const runtime::DataPoint& point, TimeStamp time);

}  // namespace corvane::run
