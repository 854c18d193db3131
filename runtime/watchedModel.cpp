#include "watchedModel.hpp"

namespace corvane::run {

std::optional<RecordCopy> WatchedElement::read() const {
  RecordCopy copy;
  switch (kind) {
    case Kind::kClient:
      if (auto c = client.lock()) {
        copy.client = c->data();
        return copy;
      }
      return std::nullopt;
    case Kind::kTopic:
      if (auto t = topic.lock()) {
        copy.topic = t->data();
        return copy;
      }
      return std::nullopt;
    case Kind::kCommand:
      if (auto c = command.lock()) {
        copy.subscription = c->subscribeData();
        copy.receive = c->receiveData();
        return copy;
      }
      return std::nullopt;
    case Kind::kOther: break;
  }
  if (element.expired()) return std::nullopt;
  return copy;
}

std::optional<JsonLine> WatchedElement::recordLine(const RecordCopy& records, TimeStamp time) const {
  JsonLine line;
  if (records.client) {
    const auto& d = *records.client;
    line.add("type", "client").addTime("time", time).add("element", path);
    line.add("deviceState", d.deviceState).addTime("connectionTime", d.connectionTime).addError("error", d.error);
    if (auto c = client.lock(); c && c->birthMessage()) line.addTime("birthMessageTime", d.birthMessageTime);
    return line;
  }
  if (records.topic) {
    const auto& d = *records.topic;
    line.add("type", "topic").addTime("time", time).add("element", path);
    line.add("state", d.state).addTime("publishTime", d.publishTime).addError("error", d.error);
    return line;
  }
  if (records.subscription && records.receive) {
    const auto& s = *records.subscription;
    const auto& r = *records.receive;
    line.add("type", "command").addTime("time", time).add("element", path);
    line.add("state", s.subscribed).addTime("subscribeTime", s.time).addError("subscribeError", s.error);
    line.addTime("receiveTime", r.time).add("QoS", static_cast<std::int64_t>(r.qos)).add("retained", r.retained);
    line.add("receiveErrorSummary", r.errorSummary);
    return line;
  }
  return std::nullopt;
}

WatchedModel::WatchedModel(const runtime::Model& model) : fileName_(model.fileName()) {
  for (const auto& entry : model.elements()) {
    WatchedElement e;
    e.path = entry.path;
    e.skillName = entry.skillName;
    e.className = entry.className;
    e.parent = entry.parent;
    e.element = entry.element;
    // Elements of a skill library loaded with --library have their own classes: they stay
    // "other" even when their class names match.
    const std::size_t index = elements_.size();
    if (auto c = std::dynamic_pointer_cast<mqtt::Client>(entry.element)) {
      e.kind = WatchedElement::Kind::kClient;
      e.client = c;
      byRecord_.emplace(c->recordIdentity(), index);
    } else if (auto t = std::dynamic_pointer_cast<mqtt::Topic>(entry.element)) {
      e.kind = WatchedElement::Kind::kTopic;
      e.topic = t;
      byRecord_.emplace(t->recordIdentity(), index);
    } else if (auto m = std::dynamic_pointer_cast<mqtt::Command>(entry.element)) {
      e.kind = WatchedElement::Kind::kCommand;
      e.command = m;
      byRecord_.emplace(m->subscribeRecordIdentity(), index);
      byRecord_.emplace(m->receiveRecordIdentity(), index);
    }
    elements_.push_back(std::move(e));
  }
  dataPoints_ = model.dataPoints();
}

std::optional<std::size_t> WatchedModel::elementOf(const void* record) const {
  auto found = byRecord_.find(record);
  if (found == byRecord_.end()) return std::nullopt;
  return found->second;
}

JsonLine dataPointLine(const runtime::DataPoint& point, TimeStamp time) {
  JsonLine line;
  line.add("type", "dataPoint").addTime("time", time).add("name", point.primaryKey());
  if (point.readable()) {
    line.addValue("value", point.value());
  } else {
    line.addNull("value");
  }
  line.add("quality", point.quality()).addTime("changeTime", point.changeTime());
  return line;
}

}  // namespace corvane::run
