#include "command/command.hpp"

#include <exception>
#include <initializer_list>

#include <corvane/config.hpp>

#include "client/client.hpp"
#include "errors/mosquittoErrors.hpp"
#include "skill/attributes.hpp"
#include "topic/topicName.hpp"

namespace corvane::plugins::mqttClient {

namespace decoder = utils::json::decoder;
using corvane::memory::WriteSentinel;

namespace {
constexpr std::string_view kElementKind = "MQTT command";
// SUBACK entries from here up are refusals: 0x80 is MQTT 3.1.1's failure return code, and MQTT 5
// reason codes from 0x80 up are errors.
constexpr int kFirstRefusal = 0x80;
}  // namespace

Command::Command(Client& client) : client_(client) {}

Command::~Command() = default;

bool Command::forEachAttribute(const corvane::model::ForEachAttributeFunction& function) {
  for (const auto* attribute :
       {&attributes::kTopic, &attributes::kSubscribeTime, &attributes::kSubscribeState, &attributes::kSubscribeError,
        &attributes::kReceiveTime, &attributes::kQoS, &attributes::kRetained, &attributes::kReceiveErrorSummary}) {
    if (function(*attribute)) return true;
  }
  return client_.forEachSharedAttribute(function);
}

bool Command::forEachEvent(const corvane::model::ForEachEventFunction& function) {
  return function(attributes::kReceivedEvent, sharedMember(received_));
}

std::optional<corvane::data::ReadHandle> Command::makeReadHandle(const corvane::model::Attribute& attribute) {
  using corvane::memory::fieldReadHandle;
  if (attribute == attributes::kTopic) return corvane::data::ReadHandle::fromShared<std::string>(sharedMember(topic_));
  // The record attributes exist once realize has created the blocks.
  if (subscribeBlock_.exists() && receiveBlock_.exists()) {
    if (attribute == attributes::kSubscribeTime) return fieldReadHandle(subscribeBlock_, &SubscribeData::time);
    if (attribute == attributes::kSubscribeState) return fieldReadHandle(subscribeBlock_, &SubscribeData::subscribed);
    if (attribute == attributes::kSubscribeError) return fieldReadHandle(subscribeBlock_, &SubscribeData::error);
    if (attribute == attributes::kReceiveTime) return fieldReadHandle(receiveBlock_, &ReceiveData::time);
    if (attribute == attributes::kQoS) return fieldReadHandle(receiveBlock_, &ReceiveData::qos);
    if (attribute == attributes::kRetained) return fieldReadHandle(receiveBlock_, &ReceiveData::retained);
    if (attribute == attributes::kReceiveErrorSummary) return fieldReadHandle(receiveBlock_, &ReceiveData::errorSummary);
  }
  return client_.makeSharedReadHandle(attribute);
}

void Command::load(decoder::Object object, corvane::config::Context& context) {
  const auto location = object.location();
  bool hasTopic = false;
  bool hasPayload = false;
  for (auto member : object) {
    if (member.name == "topic") {
      const auto topicLocation = member.value.location();
      std::string topic(member.value.asString());
      validateTopicName(topicLocation, topic, kElementKind);
      topic_ = std::move(topic);
      hasTopic = true;
    } else if (member.name == "payload") {
      payload_.load(member.value, context);
      hasPayload = true;
    } else {
      corvane::config::throwUnknownParameterError(member.name);
    }
  }
  // An empty object ends up here too: it has no topic.
  if (!hasTopic) throw decoder::Exception(location, "missing topic name in MQTT topic");
  if (!hasPayload) throw decoder::Exception(location, "missing payload in MQTT topic");
}

void Command::realize() {
  auto& resource = corvane::memory::memoryResources::data();
  subscribeBlock_.open(resource, corvane::memory::Object<SubscribeData>::defaultHandler());
  receiveBlock_.open(resource, corvane::memory::Object<ReceiveData>::defaultHandler());
}

void Command::prepare() { payload_.prepare(); }

void Command::subscribe() {
  const std::error_code result = client_.subscribe(*this);
  // Success means the SUBACK decides, later.
  if (!result) return;
  writeSubscription(now(), false, result);
}

void Command::handleSubscribeResult(TimeStamp time, int qosCount, const int* grantedQos) {
  // One topic per request: the first entry is the outcome. A SUBACK without entries grants nothing.
  const int reasonCode = qosCount > 0 && grantedQos != nullptr ? grantedQos[0] : kFirstRefusal;
  if (reasonCode >= kFirstRefusal) {
    writeSubscription(time, false, makeReasonCodeError(reasonCode));
  } else {
    writeSubscription(time, true, std::error_code());
  }
}

void Command::unsubscribe() {
  client_.unsubscribe(*this);
  writeSubscription(now(), false, make_error_code(CustomError::NotConnected));
}

void Command::handleMessage(TimeStamp time, const mosquitto_message* message, const mosquitto_property*) {
  if (message == nullptr) return;
  if (messageObserver_) messageObserver_(time, *message);
  std::string summary;
  try {
    const auto length = message->payloadlen > 0 ? static_cast<std::size_t>(message->payloadlen) : 0;
    summary = payload_.apply(static_cast<const char*>(message->payload), length);
  } catch (const std::exception& e) {
    summary = e.what();
  }
  WriteSentinel<ReceiveData> sentinel(receiveBlock_, WriteSentinel<ReceiveData>::Plain{});
  auto& record = sentinel.placement();
  record.time = time;
  record.qos = message->qos;
  record.retained = message->retain;
  record.errorSummary = std::move(summary);
  // Raised for every message, applied or not: the summary tells which.
  sentinel.commit(time, {&received_});
}

// The time records when the subscribed flag last changed, so it moves only with the flag.
void Command::writeSubscription(TimeStamp time, bool subscribed, std::error_code error) {
  WriteSentinel<SubscribeData> sentinel(subscribeBlock_);
  auto& record = sentinel.placement();
  const bool changed = sentinel.oldData().subscribed != subscribed;
  record.subscribed = subscribed;
  record.error = error;
  if (changed) {
    record.time = time;
    sentinel.commit(time, {&subscriptionChanged_});
  } else {
    sentinel.commit(time);
  }
}

}  // namespace corvane::plugins::mqttClient
