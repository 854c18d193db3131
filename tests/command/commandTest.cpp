#include "command/command.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <mosquitto.h>

#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "errors/customError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "skill/attributes.hpp"
#include "testModel.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;
using corvane::data::DataType;
using corvane::data::Value;

constexpr TimeStamp kT1{Ticks{1'000}};
constexpr TimeStamp kT2{Ticks{2'000}};
constexpr TimeStamp kT3{Ticks{3'000}};

// A received message as libmosquitto hands it over.
struct Message {
  std::string topic = "a/b";
  std::string payload;
  int qos = 0;
  bool retain = false;
  mosquitto_message get() {
    return {1, topic.data(), payload.data(), static_cast<int>(payload.size()), qos, retain};
  }
};

class CommandTest : public ::testing::Test {
 protected:
  // Loads `json` as the command's configuration and builds its records.
  void load(std::string_view json) {
    decoder::Document document;
    auto value = document.read(json);
    command->load(value.asObject(), context);
    context.resolveAll();
    command->realize();
    command->prepare();
  }
  Value read(const corvane::model::Attribute& attribute) {
    auto handle = command->makeReadHandle(attribute);
    if (!handle) return {};
    auto value = handle->read();
    return value ? *value : Value();
  }
  // The event as the host gets it; `roles` collects every role listed.
  std::shared_ptr<corvane::process::Event> receivedEvent(std::vector<corvane::process::Event::Role>* roles = nullptr) {
    std::shared_ptr<corvane::process::Event> result;
    command->forEachEvent([&](const corvane::process::Event::Role& role, const auto& event) {
      if (roles) roles->push_back(role);
      result = event;
      return false;
    });
    return result;
  }
  void receive(TimeStamp time, Message message) {
    auto m = message.get();
    command->handleMessage(time, &m, nullptr);
  }

  testing::TestModel model;
  corvane::config::Context context{".", model};
  std::shared_ptr<Client> client = std::make_shared<Client>();
  std::shared_ptr<Command> command = std::make_shared<Command>(*client);
};

struct LoadErrorCase {
  const char* fault;
  std::string json;
  const char* at;  // the error's place: the first occurrence of this text
  const char* message;
};

TEST_F(CommandTest, LoadRefusesIncompleteConfiguration) {
  const LoadErrorCase kCases[] = {
      {"empty object", "{}", "{", "missing topic name in MQTT topic"},
      {"payload only", R"({"payload": []})", "{", "missing topic name in MQTT topic"},
      {"topic only", R"({"topic": "a/b"})", "{", "missing payload in MQTT topic"},
      {"extra key", R"({"topic": "a/b", "payload": [], "qos": 0})", R"("qos")", "unknown parameter \"qos\""},
      {"empty topic", R"({"payload": [], "topic": ""})", R"("")", "empty topic name in MQTT command"},
      {"wildcard topic", R"({"topic": "a/+", "payload": []})", R"("a/+")",
       "topic name for MQTT command must not contain the characters \"+\" or \"#\""},
      {"null inside the topic", R"({"topic": "a\u0000b", "payload": []})", R"("a\u)",
       "topic name for MQTT command must not contain any embedded null characters (unicode code point 0)"},
      {"payload entry error", R"({"topic": "a/b", "payload": [{"@DataPoint": {"jsonPath": "$"}}]})",
       R"({"jsonPath")", "missing data point name in MQTT data point"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.fault);
    auto fresh = std::make_shared<Command>(*client);
    try {
      decoder::Document document;
      auto value = document.read(c.json);
      fresh->load(value.asObject(), context);
      ADD_FAILURE() << "accepted";
    } catch (const decoder::Exception& e) {
      EXPECT_EQ(e.message(), c.message);
      EXPECT_EQ(e.location().toString(), "1:" + std::to_string(c.json.find(c.at) + 1));
    }
  }
}

TEST_F(CommandTest, LoadTakesTheLastTopicAndAllPayloadEntries) {
  model.addPoint("A", DataType::kInteger);
  load(R"({"topic": "x/y", "payload": [{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.a"}}],
           "topic": "a/b", "payload": [{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.b"}}]})");
  EXPECT_EQ(command->topicName(), "a/b");
  ASSERT_EQ(command->payload().entries().size(), 2u);
  EXPECT_EQ(command->payload().entries()[1]->pathText(), "$.b");
}

TEST_F(CommandTest, RecordsStartNotConnected) {
  load(R"({"topic": "a/b", "payload": []})");
  EXPECT_EQ(read(attributes::kTopic), Value(std::string("a/b")));
  EXPECT_EQ(read(attributes::kSubscribeTime), Value(kNever));
  EXPECT_EQ(read(attributes::kSubscribeState), Value(false));
  EXPECT_EQ(read(attributes::kSubscribeError), Value(make_error_code(CustomError::NotConnected)));
  EXPECT_EQ(read(attributes::kReceiveTime), Value(kNever));
  EXPECT_EQ(read(attributes::kQoS), Value(std::int64_t{0}));
  EXPECT_EQ(read(attributes::kRetained), Value(false));
  EXPECT_EQ(read(attributes::kReceiveErrorSummary), Value(std::string("Not connected")));
}

TEST_F(CommandTest, ListsItsAttributesThenTheClients) {
  std::vector<std::string_view> names;
  EXPECT_FALSE(command->forEachAttribute([&](const corvane::model::Attribute& a) {
    names.push_back(a.name);
    return false;
  }));
  EXPECT_EQ(names, (std::vector<std::string_view>{"topic", "subscribeTime", "state", "subscribeError", "receiveTime",
                                                  "QoS", "retained", "receiveErrorSummary", "brokerAddress",
                                                  "portNumber", "clientID"}));
  int calls = 0;
  EXPECT_TRUE(command->forEachAttribute([&](const corvane::model::Attribute&) { return ++calls == 3; }));
  EXPECT_EQ(calls, 3);
  calls = 0;
  EXPECT_TRUE(command->forEachAttribute([&](const corvane::model::Attribute&) { return ++calls == 10; }));
  EXPECT_EQ(calls, 10);
}

TEST_F(CommandTest, HandlesReachOnlyItsOwnAndTheClientsAttributes) {
  load(R"({"topic": "a/b", "payload": []})");
  EXPECT_TRUE(command->makeReadHandle(attributes::kBrokerAddress).has_value());
  // The topic's own "state" is another attribute than the command's.
  EXPECT_FALSE(command->makeReadHandle(attributes::kTopicState).has_value());
  EXPECT_FALSE(command->makeReadHandle(attributes::kPublishTime).has_value());
}

TEST_F(CommandTest, ShowsOneReceivedEventAndHandlesThatKeepTheCommandAlive) {
  load(R"({"topic": "a/b", "payload": []})");
  std::vector<corvane::process::Event::Role> roles;
  auto event = receivedEvent(&roles);
  EXPECT_EQ(roles, std::vector<corvane::process::Event::Role>{attributes::kReceivedEvent});
  EXPECT_EQ(event.get(), &command->receivedEvent());

  std::weak_ptr<Command> weak = command;
  auto topic = *command->makeReadHandle(attributes::kTopic);
  command.reset();
  EXPECT_FALSE(weak.expired());  // the event
  event.reset();
  EXPECT_FALSE(weak.expired());  // the topic handle
  EXPECT_EQ(*topic.read(), Value(std::string("a/b")));
  topic = {};
  EXPECT_TRUE(weak.expired());
}

TEST_F(CommandTest, SubscriptionTimeMovesOnlyWithTheFlag) {
  load(R"({"topic": "a/b", "payload": []})");
  const auto& changed = command->subscriptionChangedEvent();
  const int granted[] = {0};
  command->handleSubscribeResult(kT1, 1, granted);
  EXPECT_EQ(command->subscribeData().time, kT1);
  EXPECT_TRUE(command->subscribeData().subscribed);
  EXPECT_EQ(command->subscribeData().error, std::error_code());
  EXPECT_EQ(changed.raisedCount(), 1u);

  command->handleSubscribeResult(kT2, 1, granted);
  EXPECT_EQ(command->subscribeData().time, kT1);
  EXPECT_EQ(changed.raisedCount(), 1u);

  const int refused[] = {135};
  command->handleSubscribeResult(kT3, 1, refused);
  EXPECT_EQ(command->subscribeData().time, kT3);
  EXPECT_FALSE(command->subscribeData().subscribed);
  EXPECT_EQ(command->subscribeData().error, makeReasonCodeError(135));
  EXPECT_EQ(changed.raisedCount(), 2u);
  EXPECT_EQ(read(attributes::kSubscribeState), Value(false));
  EXPECT_EQ(read(attributes::kSubscribeError), Value(makeReasonCodeError(135)));
  EXPECT_EQ(makeReasonCodeError(135).message(), "Not authorized");

  // Not subscribed before: the error changes, the time does not.
  command->unsubscribe();
  EXPECT_EQ(command->subscribeData().time, kT3);
  EXPECT_EQ(command->subscribeData().error, make_error_code(CustomError::NotConnected));
  EXPECT_EQ(changed.raisedCount(), 2u);
}

TEST_F(CommandTest, SubackEntriesFromOneHundredTwentyEightAreRefusals) {
  struct Case {
    int entry;
    bool subscribed;
  };
  for (const auto& [entry, subscribed] : {Case{0, true}, Case{1, true}, Case{2, true}, Case{128, false},
                                          Case{135, false}, Case{143, false}, Case{162, false}}) {
    SCOPED_TRACE(entry);
    auto fresh = std::make_shared<Command>(*client);
    fresh->realize();
    const int granted[] = {entry, 0};
    fresh->handleSubscribeResult(kT1, 2, granted);
    const auto record = fresh->subscribeData();
    EXPECT_EQ(record.subscribed, subscribed);
    EXPECT_EQ(record.error, subscribed ? std::error_code() : makeReasonCodeError(entry));
    EXPECT_EQ(record.time, subscribed ? kT1 : kNever);
  }
  auto fresh = std::make_shared<Command>(*client);
  fresh->realize();
  fresh->handleSubscribeResult(kT1, 0, nullptr);
  EXPECT_FALSE(fresh->subscribeData().subscribed);
}

TEST_F(CommandTest, LostConnectionUnsubscribesAtTheCurrentTime) {
  load(R"({"topic": "a/b", "payload": []})");
  const int granted[] = {1};
  command->handleSubscribeResult(kT1, 1, granted);
  const TimeStamp before = now();
  command->unsubscribe();
  const TimeStamp after = now();
  const auto record = command->subscribeData();
  EXPECT_FALSE(record.subscribed);
  EXPECT_EQ(record.error, make_error_code(CustomError::NotConnected));
  EXPECT_GE(record.time, before);
  EXPECT_LE(record.time, after);
  EXPECT_EQ(command->subscriptionChangedEvent().raisedCount(), 2u);
}

TEST_F(CommandTest, FailedSubscribeRequestIsRecorded) {
  load(R"({"topic": "a/b", "payload": []})");
  // The client has no broker connection: the request fails at once.
  command->subscribe();
  const auto record = command->subscribeData();
  EXPECT_FALSE(record.subscribed);
  EXPECT_TRUE(record.error) << record.error.message();
  EXPECT_EQ(record.time, kNever);
  EXPECT_EQ(command->subscriptionChangedEvent().raisedCount(), 0u);
}

TEST_F(CommandTest, MessageRecordsItsOutcomeAndRaisesReceived) {
  auto speed = model.addPoint("Speed", DataType::kDouble);
  load(R"({"topic": "a/b", "payload": [{"@DataPoint": {"dataPoint": "Speed", "jsonPath": "$.speed"}}]})");
  std::vector<TimeStamp> raised;
  receivedEvent()->addListener([&](const auto&, TimeStamp t) { raised.push_back(t); });

  receive(kT1, {.payload = R"({"speed": 12.5})", .qos = 1, .retain = true});
  auto record = command->receiveData();
  EXPECT_EQ(record.time, kT1);
  EXPECT_EQ(record.qos, 1);
  EXPECT_TRUE(record.retained);
  EXPECT_EQ(record.errorSummary, "");
  EXPECT_EQ(speed->value(), Value(12.5));

  receive(kT2, {.payload = R"({"speed": "fast"})", .qos = 2});
  record = command->receiveData();
  EXPECT_EQ(record.errorSummary, "\nSpeed: the value is not a number");
  EXPECT_EQ(record.qos, 2);
  EXPECT_FALSE(record.retained);

  receive(kT3, {.payload = "not json", .qos = 0, .retain = true});
  record = command->receiveData();
  EXPECT_EQ(record.time, kT3);
  EXPECT_EQ(record.qos, 0);
  EXPECT_TRUE(record.retained);
  EXPECT_FALSE(record.errorSummary.empty());
  EXPECT_EQ(record.errorSummary.rfind("1:", 0), 0u) << record.errorSummary;  // the decoder's located text
  EXPECT_EQ(read(attributes::kReceiveErrorSummary), Value(record.errorSummary));
  EXPECT_EQ(speed->changeCount(), 1u);

  EXPECT_EQ(raised, (std::vector<TimeStamp>{kT1, kT2, kT3}));
}

TEST_F(CommandTest, EmptyPayloadListHandlesEveryMessage) {
  load(R"({"topic": "a/b", "payload": []})");
  receive(kT1, {.payload = R"({"topic": "a/b", "anything": [1, 2]})"});
  EXPECT_EQ(command->receiveData().errorSummary, "");
  EXPECT_EQ(command->receiveData().time, kT1);
  EXPECT_EQ(command->receivedEvent().raisedCount(), 1u);
}

TEST_F(CommandTest, NullMessageIsIgnored) {
  load(R"({"topic": "a/b", "payload": []})");
  command->handleMessage(kT1, nullptr, nullptr);
  EXPECT_EQ(command->receiveData().errorSummary, "Not connected");
  EXPECT_EQ(command->receivedEvent().raisedCount(), 0u);
}

TEST_F(CommandTest, HostileMessagesAreSummarisedNotThrown) {
  auto a = model.addPoint("A", DataType::kInteger);
  load(R"({"topic": "a/b", "payload": [{"@DataPoint": {"dataPoint": "A", "jsonPath": "$.a"}}]})");
  const std::string kHostile[] = {
      std::string(100000, '['),
      "{\"a\": \"\xFF\xFE\"}",
      R"({"a": 1, "a": 2})",
      R"({"a": 1e99999})",
      std::string("\0\0\0", 3),
  };
  for (const auto& payload : kHostile) {
    SCOPED_TRACE(payload.substr(0, 16));
    EXPECT_NO_THROW(receive(kT1, {.payload = payload}));
    EXPECT_FALSE(command->receiveData().errorSummary.empty());
  }
  EXPECT_EQ(command->receivedEvent().raisedCount(), std::size(kHostile));
  EXPECT_EQ(a->changeCount(), 0u);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
