#include "command/command.hpp"

#include <gtest/gtest.h>
#include <mosquitto.h>

#include "clientModel.hpp"
#include "errors/mosquittoErrors.hpp"
#include "skill/attributes.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;
using corvane::data::Value;

constexpr TimeStamp kT1{Ticks{1'000}};
constexpr TimeStamp kT2{Ticks{2'000}};
constexpr TimeStamp kT3{Ticks{3'000}};

class CommandTest : public ::testing::Test {
 protected:
  // Loads `json` as the command's configuration and builds its records; "" or the located message.
  std::string load(std::string_view json) {
    try {
      decoder::Document document;
      auto value = document.read(json);
      command->load(value.asObject(), context);
      context.resolveAll();
      command->realize();
      command->prepare();
      return "";
    } catch (const decoder::Exception& e) {
      return e.what();
    }
  }
  Value read(const corvane::model::Attribute& attribute) { return command->makeReadHandle(attribute)->read().value(); }
  // A received message as libmosquitto hands it over.
  void receive(TimeStamp time, std::string payload, int qos = 0, bool retain = false) {
    mosquitto_message message{1, const_cast<char*>("a/b"), payload.data(), static_cast<int>(payload.size()), qos, retain};
    command->handleMessage(time, &message, nullptr);
  }

  corvane::testing::FakeModel model;
  corvane::config::Context context{".", model};
  std::shared_ptr<Client> client = std::make_shared<Client>();
  std::shared_ptr<Command> command = std::make_shared<Command>(*client);
};

TEST_F(CommandTest, LoadRefusesIncompleteConfigurationAndTakesTheLastTopic) {
  const std::pair<const char*, const char*> kCases[] = {
      {"{}", "1:1: missing topic name in MQTT topic"},
      {R"({"topic": "a/b"})", "1:1: missing payload in MQTT topic"},
      {R"({"topic": "a/b", "payload": [], "qos": 0})", "1:33: unknown parameter \"qos\""},
      {R"({"payload": [], "topic": ""})", "1:26: empty topic name in MQTT command"},
      {R"({"topic": "a/+", "payload": []})", "1:11: topic name for MQTT command must not contain the characters \"+\" or \"#\""},
      {R"({"topic": "a\u0000b", "payload": []})",
       "1:11: topic name for MQTT command must not contain any embedded null characters (unicode code point 0)"},
      {R"({"topic": "a/b", "payload": [{"@DataPoint": {"jsonPath": "$"}}]})",
       "1:45: missing data point name in MQTT data point"},
  };
  for (const auto& [json, message] : kCases) {
    command = std::make_shared<Command>(*client);
    EXPECT_EQ(load(json), message) << json;
  }
  command = std::make_shared<Command>(*client);
  model.addPoint("A", corvane::data::DataType::kInteger);
  ASSERT_EQ(load(R"({"topic": "x/y", "payload": [{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.a"}}],
                     "topic": "a/b", "payload": [{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.b"}}]})"),
            "");
  EXPECT_EQ(command->topicName(), "a/b");
  ASSERT_EQ(command->payload().entries().size(), 2u);
}

// A subscription record in one line: "subscribed" or not, its time and its error.
std::string describe(const Command::SubscribeData& record) {
  return std::string(record.subscribed ? "subscribed " : "") + formatTime(record.time) + " " +
         corvane::testing::describe(record.error);
}

TEST_F(CommandTest, SubscriptionRecordFollowsTheSubackAndTheConnection) {
  ASSERT_EQ(load(R"({"topic": "a/b", "payload": []})"), "");
  const auto& changed = command->subscriptionChangedEvent();
  // The client is not prepared: the request fails at once and changes only the error.
  command->subscribe();
  EXPECT_EQ(describe(command->subscribeData()), formatTime(kNever) + " Mosquitto 3: Invalid function arguments provided");
  command->handleSubscribeResult(kT1, 0, nullptr);
  EXPECT_FALSE(command->subscribeData().subscribed);

  // The first SUBACK entry is the command's; the time moves only when the flag does.
  const int granted[] = {2, 135};
  command->handleSubscribeResult(kT1, 2, granted);
  command->handleSubscribeResult(kT2, 1, granted);
  EXPECT_EQ(describe(command->subscribeData()), "subscribed " + formatTime(kT1) + " no error");
  EXPECT_EQ(changed.raisedCount(), 1u);
  const TimeStamp before = now();
  command->unsubscribe();
  EXPECT_FALSE(command->subscribeData().subscribed);
  EXPECT_GE(command->subscribeData().time, before);
  EXPECT_EQ(changed.raisedCount(), 2u);

  // Entries from 128 are refusals.
  command->handleSubscribeResult(kT3, 1, granted + 1);
  EXPECT_EQ(read(attributes::kSubscribeError), Value(makeReasonCodeError(135)));
  // Not subscribed before: the error changes, the time does not.
  const auto refusedAt = command->subscribeData().time;
  command->unsubscribe();
  EXPECT_EQ(describe(command->subscribeData()), formatTime(refusedAt) + " Corvane.MQTTClient 1: not connected");
  EXPECT_EQ(changed.raisedCount(), 2u);
}

TEST_F(CommandTest, MessageRecordsItsOutcomeAndRaisesReceived) {
  auto speed = model.addPoint("Speed", corvane::data::DataType::kDouble);
  ASSERT_EQ(load(R"({"topic": "a/b", "payload": [{"@DataPoint": {"dataPoint": "Speed", "jsonPath": "$.speed"}}]})"), "");
  corvane::testing::EventRecorder events(*command);
  auto received = [&] {
    const auto record = command->receiveData();
    return formatTime(record.time) + " QoS " + std::to_string(record.qos) + (record.retained ? " retained" : "") +
           ":" + record.errorSummary;
  };
  command->handleMessage(kT1, nullptr, nullptr);  // ignored
  EXPECT_EQ(received(), formatTime(kNever) + " QoS 0:Not connected");
  receive(kT1, R"({"speed": 12.5})", 1, true);
  EXPECT_EQ(received(), formatTime(kT1) + " QoS 1 retained:");
  EXPECT_EQ(speed->value(), Value(12.5));
  receive(kT2, R"({"speed": "fast"})", 2);
  EXPECT_EQ(received(), formatTime(kT2) + " QoS 2:\nSpeed: the value is not a number");
  // What the whole message is refused with is the summary; nothing is thrown.
  receive(kT3, std::string(100000, '['), 0, true);
  EXPECT_EQ(received(), formatTime(kT3) + " QoS 0 retained:1:1025: JSON text nested too deeply (more than 1024 levels)");
  EXPECT_EQ(read(attributes::kReceiveErrorSummary), Value(command->receiveData().errorSummary));
  EXPECT_EQ(speed->changeCount(), 1u);
  EXPECT_EQ(events.times("received"), (std::vector<TimeStamp>{kT1, kT2, kT3}));
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
