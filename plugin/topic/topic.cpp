#include "topic/topic.hpp"

#include "client/client.hpp"
#include "errors/mosquittoErrors.hpp"
#include "skill/attributes.hpp"
#include "skill/jsonReading.hpp"
#include "topic/topicName.hpp"

namespace corvane::plugins::mqttClient {

namespace decoder = utils::json::decoder;
using corvane::data::ReadHandle;
using corvane::memory::fieldReadHandle;
using corvane::memory::WriteSentinel;
using corvane::model::Attribute;

namespace {
constexpr std::string_view kKind = "MQTT topic";

[[noreturn]] void fail(decoder::Location location, const char* message) {
  throw decoder::Exception(location, std::runtime_error(message));
}
}  // namespace

Topic::Topic(Client& client) : client_(client) {}

Topic::~Topic() = default;

void Topic::load(decoder::Object object, corvane::config::Context& context) {
  bool haveTopic = false, havePayload = false, lowerCaseQos = false;
  std::optional<bool> requireForBirth;
  for (auto member : object) {
    const auto& name = member.name;
    if (name == "topic" || name == "name") {
      auto location = member.value.location();
      topicName_ = member.value.asString();
      validateTopicName(location, topicName_, kKind);
      haveTopic = true;
    } else if (name == "QoS" || name == "qos") {
      lowerCaseQos = name == "qos";
      auto location = member.value.location();
      int qos = readInt32(member.value);
      if (qos < 0 || qos > 2) fail(location, "QoS value for MQTT topic must be 0, 1, or 2");
      qos_ = qos;
    } else if (name == "retained") {
      retained_ = member.value.asBoolean();
    } else if (name == "requireForBirth") {
      requireForBirth = member.value.asBoolean();
    } else if (name == "payload") {
      Payload::load(payload_, member.value, context, {kKind, true, true});
      havePayload = true;
    } else if (name == "extraAttributes") {
      attributeNames_ = loadExtraAttributes(member.value, context, {kKind, true, true});
    } else {
      corvane::config::throwUnknownParameterError(name);
    }
  }
  if (lowerCaseQos && !havePayload) {
    // The old configuration form published an empty JSON object by default.
    payload_ = Payload(std::string("{}"));
    havePayload = true;
  }
  requireForBirth_ = requireForBirth.value_or(retained_);
  if (!haveTopic) fail(object.location(), "missing topic name in MQTT topic");
  if (!havePayload) fail(object.location(), "missing payload in MQTT topic");
}

const Attribute* Topic::resolveAttributeByName(std::string_view name) {
  if (name == "topicName") name = "topic";
  if (name == "qos") name = "QoS";
  return corvane::skill::Element::resolveAttributeByName(name);
}

bool Topic::forEachAttribute(const corvane::model::ForEachAttributeFunction& function) {
  if (function(attributes::kTopic) || function(attributes::kQoS) || function(attributes::kRetained) ||
      function(attributes::kTopicState) || function(attributes::kPublishTime) || function(attributes::kError)) {
    return true;
  }
  return client_.forEachSharedAttribute(function);
}

bool Topic::forEachEvent(const corvane::model::ForEachEventFunction& function) {
  return function(attributes::kPublishedEvent, sharedMember(published_));
}

bool Topic::forEachTask(const corvane::model::ForEachTaskFunction& function) {
  return function(attributes::kPublishTask, sharedMember<corvane::process::Task>(publishTask_));
}

std::optional<ReadHandle> Topic::makeReadHandle(const Attribute& attribute) {
  if (attribute == attributes::kTopic) {
    return ReadHandle::fromShared(std::shared_ptr<const std::string>(sharedFromThis(), &topicName_));
  }
  if (attribute == attributes::kQoS) return ReadHandle::fromShared(std::shared_ptr<const int>(sharedFromThis(), &qos_));
  if (attribute == attributes::kRetained) {
    return ReadHandle::fromShared(std::shared_ptr<const bool>(sharedFromThis(), &retained_));
  }
  if (dataBlock_.exists()) {
    if (attribute == attributes::kTopicState) return fieldReadHandle(dataBlock_, &Data::state);
    if (attribute == attributes::kPublishTime) return fieldReadHandle(dataBlock_, &Data::publishTime);
    if (attribute == attributes::kError) return fieldReadHandle(dataBlock_, &Data::error);
  }
  return client_.makeSharedReadHandle(attribute);
}

void Topic::realize() {
  dataBlock_.open(corvane::memory::memoryResources::data(), corvane::memory::Object<Data>::defaultHandler());
}

void Topic::prepare() { payload_.prepare({kKind, *this, attributeNames_}); }

void Topic::publish(TimeStamp time) {
  if (client_.connectionState() != ConnectionState::Connected) return;
  std::string text = payload_.render(attributeNames_);
  auto result = client_.publish(time, *this, text.data(), text.size(), qos_, retained_, nullptr);
  if (result) return;
  WriteSentinel<Data> sentinel(dataBlock_, WriteSentinel<Data>::CopyOld{});
  auto& next = sentinel.placement();
  next.state = false;
  next.error = result.error();
  next.publishTime = sentinel.oldData().publishTime;
  sentinel.commit(time);
}

void Topic::handlePublished(TimeStamp time, int reasonCode, const mosquitto_property*) {
  WriteSentinel<Data> sentinel(dataBlock_, WriteSentinel<Data>::CopyOld{});
  auto& next = sentinel.placement();
  if (reasonCode >= 128) {
    next.state = false;
    next.error = makeReasonCodeError(reasonCode);
    next.publishTime = sentinel.oldData().publishTime;
    sentinel.commit(time);
    return;
  }
  next.state = true;
  next.error = std::error_code(0, std::system_category());
  next.publishTime = time;
  sentinel.commit(time, {&published_});
}

void Topic::handleClientState(TimeStamp time, const utils::Expected<void>& state) {
  WriteSentinel<Data> sentinel(dataBlock_, WriteSentinel<Data>::CopyOld{});
  auto& next = sentinel.placement();
  next.state = false;
  next.error = state ? make_error_code(CustomError::NotPublishedYet) : state.error();
  next.publishTime = sentinel.oldData().publishTime;
  sentinel.commit(time);
}

Topic::PublishTask::PublishTask(Topic& topic) : ClientUserTask(topic.client()), topic_(topic) {}
void Topic::PublishTask::operational(const ExecutionContext& context) { topic_.publish(context.timeStamp()); }

}  // namespace corvane::plugins::mqttClient
