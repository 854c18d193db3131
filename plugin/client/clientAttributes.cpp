// What the runtime sees of a client: attributes, events and the reconnect task.
#include "client/client.hpp"
#include "skill/attributes.hpp"

namespace corvane::plugins::mqttClient {

using corvane::data::ReadHandle;
using corvane::memory::fieldReadHandle;
using corvane::model::Attribute;

bool Client::forEachSharedAttribute(const corvane::model::ForEachAttributeFunction& function) {
  return function(attributes::kBrokerAddress) || function(attributes::kPortNumber) || function(attributes::kClientId);
}

std::optional<ReadHandle> Client::makeSharedReadHandle(const Attribute& attribute) {
  if (attribute == attributes::kBrokerAddress) {
    return ReadHandle::fromShared(std::shared_ptr<const std::string>(sharedFromThis(), &brokerHost_));
  }
  if (attribute == attributes::kPortNumber) {
    return ReadHandle::fromShared(std::shared_ptr<const std::uint16_t>(sharedFromThis(), &brokerPort_));
  }
  if (attribute == attributes::kClientId) {
    return ReadHandle::fromShared(std::shared_ptr<const std::string>(sharedFromThis(), &clientId_));
  }
  return std::nullopt;
}

bool Client::forEachAttribute(const corvane::model::ForEachAttributeFunction& function) {
  if (forEachSharedAttribute(function)) return true;
  if (function(Attribute::kDeviceState) || function(attributes::kConnectionTime) || function(attributes::kError)) {
    return true;
  }
  return birthMessage_ && function(attributes::kBirthMessageTime);
}

bool Client::forEachEvent(const corvane::model::ForEachEventFunction& function) {
  if (function(corvane::process::Event::kConnected, sharedMember(connectedEvent_))) return true;
  if (function(corvane::process::Event::kDisconnected, sharedMember(disconnectedEvent_))) return true;
  return birthMessage_ && function(attributes::kBirthEvent, sharedMember(birthEvent_));
}

bool Client::forEachTask(const corvane::model::ForEachTaskFunction& function) {
  return function(corvane::process::Task::kReconnect, sharedMember<corvane::process::Task>(reconnectTask_));
}

std::optional<ReadHandle> Client::makeReadHandle(const Attribute& attribute) {
  if (auto shared = makeSharedReadHandle(attribute)) return shared;
  if (!dataBlock_.exists()) return std::nullopt;
  if (attribute == Attribute::kDeviceState) return fieldReadHandle(dataBlock_, &Data::deviceState);
  if (attribute == attributes::kConnectionTime) return fieldReadHandle(dataBlock_, &Data::connectionTime);
  if (attribute == attributes::kError) return fieldReadHandle(dataBlock_, &Data::error);
  if (birthMessage_ && attribute == attributes::kBirthMessageTime) {
    return fieldReadHandle(dataBlock_, &Data::birthMessageTime);
  }
  return std::nullopt;
}

}  // namespace corvane::plugins::mqttClient
