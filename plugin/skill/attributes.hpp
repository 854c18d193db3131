#pragma once
// Attribute, event and task definitions the skill's elements show to the runtime. Topics and
// commands share "topic", "QoS" and "retained"; all three elements share the error attribute.
#include <corvane/model.hpp>
#include <corvane/process.hpp>

namespace corvane::plugins::mqttClient::attributes {

// Client
extern const corvane::model::Attribute kBrokerAddress;
extern const corvane::model::Attribute kPortNumber;
extern const corvane::model::Attribute kClientId;
extern const corvane::model::Attribute kConnectionTime;
extern const corvane::model::Attribute kBirthMessageTime;
// The host's error role with the error-code data type.
extern const corvane::model::Attribute kError;

// Topic (and, for the first three, Command)
extern const corvane::model::Attribute kTopic;
extern const corvane::model::Attribute kQoS;
extern const corvane::model::Attribute kRetained;
extern const corvane::model::Attribute kTopicState;
extern const corvane::model::Attribute kPublishTime;

// Command
extern const corvane::model::Attribute kSubscribeTime;
extern const corvane::model::Attribute kSubscribeState;
extern const corvane::model::Attribute kSubscribeError;
extern const corvane::model::Attribute kReceiveTime;
extern const corvane::model::Attribute kReceiveErrorSummary;

// Events and tasks of the skill's own roles.
extern const corvane::process::Event::Role kBirthEvent;
extern const corvane::process::Event::Role kPublishedEvent;
extern const corvane::process::Event::Role kReceivedEvent;
extern const corvane::process::Task::Role kPublishTask;

}  // namespace corvane::plugins::mqttClient::attributes
