// A topic's configuration, its attributes by name and in order, and the handles the runtime reads.
#include "topic/topic.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "errors/customError.hpp"
#include "skill/attributes.hpp"

namespace corvane::plugins::mqttClient {
namespace {

namespace decoder = utils::json::decoder;
using corvane::data::Value;

// "LINE:COLUMN" of the first occurrence of `part` in `text`.
std::string locationOf(std::string_view text, std::string_view part) {
  auto position = text.find(part);
  if (position == std::string_view::npos) return std::string("(").append(part).append(" not in the text)");
  auto before = text.substr(0, position);
  auto line = 1 + std::count(before.begin(), before.end(), '\n');
  auto lineStart = before.rfind('\n');
  auto column = lineStart == std::string_view::npos ? position + 1 : position - lineStart;
  return std::to_string(line) + ":" + std::to_string(column);
}

class TopicConfig : public ::testing::Test {
 protected:
  std::shared_ptr<Topic> load(std::string_view json) {
    auto topic = std::make_shared<Topic>(*client);
    decoder::Document document;
    auto value = document.read(json);
    topic->load(value.asObject(), context);
    return topic;
  }

  corvane::runtime::Model points;  // resolves nothing: these payloads name no data points
  corvane::config::Context context{".", points};
  std::shared_ptr<Client> client = std::make_shared<Client>();
};

struct Settings {
  std::string topicName;
  int qos = 0;
  bool retained = false;
  bool requireForBirth = false;
  std::string payload;  // rendered
};

struct LoadCase {
  const char* fault;
  std::string json;
  Settings expected;
};

TEST_F(TopicConfig, LoadAppliesKeysAliasesAndDefaults) {
  const LoadCase kCases[] = {
      {"defaults with only topic and payload", R"({"topic": "a/b", "payload": "x"})", {"a/b", 0, false, false, "x"}},
      {"name is the topic's alias", R"({"name": "a/c", "payload": "x"})", {"a/c", 0, false, false, "x"}},
      {"a later topic replaces an earlier one", R"({"topic": "a/b", "payload": "x", "name": "c/d"})",
       {"c/d", 0, false, false, "x"}},
      {"QoS 2", R"({"topic": "t", "QoS": 2, "payload": "x"})", {"t", 2, false, false, "x"}},
      {"old qos spelling without payload publishes an empty object", R"({"topic": "t", "qos": 1})",
       {"t", 1, false, false, "{}"}},
      {"old qos spelling keeps a given payload", R"({"payload": "y", "qos": 0, "topic": "t"})",
       {"t", 0, false, false, "y"}},
      {"retained implies requireForBirth", R"({"topic": "t", "retained": true, "payload": "x"})",
       {"t", 0, true, true, "x"}},
      {"requireForBirth false given before retained wins", R"({"requireForBirth": false, "topic": "t",
        "retained": true, "payload": "x"})",
       {"t", 0, true, false, "x"}},
      {"requireForBirth without retained", R"({"topic": "t", "requireForBirth": true, "payload": "x"})",
       {"t", 0, false, true, "x"}},
      {"retained false leaves requireForBirth false", R"({"topic": "t", "retained": false, "payload": "x"})",
       {"t", 0, false, false, "x"}},
      {"template payload", R"({"topic": "t", "payload": {"@JSON": {"a": [1, "é"]}}})",
       {"t", 0, false, false, R"({"a":[1,"é"]})"}},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.fault);
    auto topic = load(c.json);
    EXPECT_EQ(topic->topicName(), c.expected.topicName);
    EXPECT_EQ(topic->qos(), c.expected.qos);
    EXPECT_EQ(topic->retained(), c.expected.retained);
    EXPECT_EQ(topic->requireForBirth(), c.expected.requireForBirth);
    EXPECT_EQ(topic->payload().render(topic->attributeNames()), c.expected.payload);
  }
}

TEST_F(TopicConfig, ExtraAttributesFollowValueAndQualityInByteOrder) {
  EXPECT_EQ(load(R"({"topic": "t", "payload": "x"})")->attributeNames(),
            (std::vector<std::string>{"value", "quality"}));
  EXPECT_EQ(load(R"({"topic": "t", "payload": "x", "extraAttributes": ["unit", "Zone", "location"]})")->attributeNames(),
            (std::vector<std::string>{"value", "quality", "Zone", "location", "unit"}));
}

struct LoadErrorCase {
  const char* fault;
  std::string json;
  const char* at;  // the error's place: the first occurrence of this text
  const char* message;
};

TEST_F(TopicConfig, LoadRejectsWithMessageAndPlace) {
  const LoadErrorCase kCases[] = {
      {"QoS above 2", "{\"topic\": \"t\",\n \"QoS\": 3, \"payload\": \"x\"}", "3,",
       "QoS value for MQTT topic must be 0, 1, or 2"},
      {"negative QoS", "{\"topic\": \"t\", \"payload\": \"x\",\n\n   \"QoS\": -1}", "-1",
       "QoS value for MQTT topic must be 0, 1, or 2"},
      {"old spelling checked alike", R"({"topic": "t", "qos": 7})", "7", "QoS value for MQTT topic must be 0, 1, or 2"},
      {"keys are case-sensitive", "{\"topic\": \"t\", \"payload\": \"x\",\n  \"Topic\": \"u\"}", "\"Topic\"",
       "unknown parameter \"Topic\""},
      {"only two spellings of QoS", R"({"topic": "t", "payload": "x", "Qos": 1})", "\"Qos\"",
       "unknown parameter \"Qos\""},
      {"new QoS spelling gets no default payload", "{\n  \"topic\": \"t\", \"QoS\": 1}", "{",
       "missing payload in MQTT topic"},
      {"payload only", "\n  {\"payload\": \"x\"}", "{", "missing topic name in MQTT topic"},
      {"neither topic nor payload: the topic is missed first", "{}", "{", "missing topic name in MQTT topic"},
      {"old qos without topic", R"({"qos": 1})", "{", "missing topic name in MQTT topic"},
      {"topic only", R"({"retained": true, "topic": "t"})", "{", "missing payload in MQTT topic"},
      {"empty topic", R"({"payload": "x", "topic": ""})", "\"\"", "empty topic name in MQTT topic"},
      {"wildcard in the alias", R"({"payload": "x", "name": "a/#"})", "\"a/#\"",
       "topic name for MQTT topic must not contain the characters \"+\" or \"#\""},
      {"a number is no payload", R"({"topic": "t", "payload": 5})", "5", "expected JSON object or JSON string"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.fault);
    try {
      load(c.json);
      ADD_FAILURE() << "accepted";
    } catch (const decoder::Exception& e) {
      EXPECT_EQ(e.message(), c.message);
      EXPECT_EQ(e.location().toString(), locationOf(c.json, c.at));
    }
  }
}

TEST(TopicModel, ConfigurationErrorNamesFileLineColumnAndElement) {
  corvane::runtime::Model model;
  try {
    model.loadText(R"({"elements": [{"skill": "MQTT", "class": "Client", "name": "b",
  "config": {"brokerAddress": "127.0.0.1", "clientID": "c"},
  "children": [{"class": "Topic", "name": "t",
                "config": {"topic": "a", "QoS": -1, "payload": "x"}}]}]})",
                   ".", "m.json");
    ADD_FAILURE() << "loaded";
  } catch (const corvane::runtime::ModelError& e) {
    EXPECT_STREQ(e.what(), "m.json:4:49: QoS value for MQTT topic must be 0, 1, or 2 (element \"b/t\")");
  }
}

// A client with one topic, loaded (and realized) the way the runtime does it.
constexpr std::string_view kModel = R"({
  "elements": [
    {"skill": "MQTT", "class": "Client", "name": "broker",
     "config": {"brokerAddress": "broker.example:1884", "clientID": "topic-config"},
     "children": [
       {"class": "Topic", "name": "t",
        "config": {"topic": "plant/t", "QoS": 2, "retained": true, "payload": "x"}}
     ]}
  ]
})";

class TopicElement : public ::testing::Test {
 protected:
  void SetUp() override {
    model.loadText(kModel, ".");
    topic = std::dynamic_pointer_cast<Topic>(model.skillElement("broker/t"));
    ASSERT_NE(topic, nullptr);
  }
  Value read(const corvane::model::Attribute& attribute) {
    auto handle = topic->makeReadHandle(attribute);
    if (!handle) return std::string("(no handle)");
    auto value = handle->read();
    return value ? *value : Value();
  }

  corvane::runtime::Model model;
  std::shared_ptr<Topic> topic;
};

TEST_F(TopicElement, ListsItsSixAttributesThenTheClientsThree) {
  std::vector<std::string> listed;
  EXPECT_FALSE(topic->forEachAttribute([&](const corvane::model::Attribute& a) {
    listed.push_back(std::string(a.name) + " " + std::string(corvane::data::dataTypeName(a.type)));
    return false;
  }));
  std::vector<std::string> expected{"topic", "QoS", "retained", "state", "publishTime", "error",
                                    "brokerAddress", "portNumber", "clientID"};
  const corvane::data::DataType types[] = {
      corvane::data::DataType::kString,  corvane::data::DataType::kInteger,   corvane::data::DataType::kBoolean,
      corvane::data::DataType::kBoolean, corvane::data::DataType::kTimeStamp, corvane::data::DataType::kErrorCode,
      corvane::data::DataType::kString,  corvane::data::DataType::kInteger,   corvane::data::DataType::kString};
  for (std::size_t i = 0; i < expected.size(); ++i) {
    expected[i].append(" ").append(corvane::data::dataTypeName(types[i]));
  }
  EXPECT_EQ(listed, expected);

  // The runtime finds attributes by these UUIDs in stored models.
  EXPECT_EQ(attributes::kTopic.uuid, *utils::core::Uuid::parse("afdf1d9f-8d6f-419e-8d80-3b4be3fb3044"));
  EXPECT_EQ(attributes::kQoS.uuid, *utils::core::Uuid::parse("7005c427-0cb4-485b-802e-12fa6d3372e9"));
  EXPECT_EQ(attributes::kRetained.uuid, *utils::core::Uuid::parse("9197f157-91a2-405d-baff-76c18b8709ff"));
  EXPECT_EQ(attributes::kTopicState.uuid, *utils::core::Uuid::parse("5683d471-435a-4ea3-869d-96728cb46f22"));
  EXPECT_EQ(attributes::kPublishTime.uuid, *utils::core::Uuid::parse("fb768a49-6852-4795-9d55-142461410599"));
  EXPECT_EQ(attributes::kError.uuid, corvane::model::Attribute::kError.uuid);

  for (int stopAt : {3, 6, 8}) {
    SCOPED_TRACE(stopAt);
    int calls = 0;
    EXPECT_TRUE(topic->forEachAttribute([&](const corvane::model::Attribute&) { return ++calls == stopAt; }));
    EXPECT_EQ(calls, stopAt);
  }
}

TEST_F(TopicElement, ResolvesNamesWithTheTwoOldSpellings) {
  struct Case {
    std::string_view name;
    const corvane::model::Attribute* expected;
  };
  const Case kCases[] = {
      {"topic", &attributes::kTopic},
      {"topicName", &attributes::kTopic},
      {"QoS", &attributes::kQoS},
      {"qos", &attributes::kQoS},
      {"Qos", nullptr},
      {"QOS", nullptr},
      {"name", nullptr},
      {"retained", &attributes::kRetained},
      {"state", &attributes::kTopicState},
      {"publishTime", &attributes::kPublishTime},
      {"error", &attributes::kError},
      {"brokerAddress", &attributes::kBrokerAddress},
      {"clientID", &attributes::kClientId},
      {"connectionTime", nullptr},
      {"value", nullptr},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(topic->resolveAttributeByName(c.name), c.expected);
  }
}

TEST_F(TopicElement, OffersThePublishedEventAndThePublishTask) {
  std::vector<std::string_view> events;
  topic->forEachEvent([&](const corvane::process::Event::Role& role, const auto& event) {
    events.push_back(role.name);
    EXPECT_EQ(role.uuid, *utils::core::Uuid::parse("1b05a9f8-e0f3-405e-9a83-7ff743fb3d55"));
    EXPECT_EQ(event.get(), &topic->publishedEvent());
    return false;
  });
  EXPECT_EQ(events, std::vector<std::string_view>{"published"});
  std::vector<std::string_view> tasks;
  topic->forEachTask([&](const corvane::process::Task::Role& role, const auto&) {
    tasks.push_back(role.name);
    EXPECT_EQ(role.uuid, *utils::core::Uuid::parse("4423e6c8-fea9-4219-b4cd-9178770f597a"));
    return false;
  });
  EXPECT_EQ(tasks, std::vector<std::string_view>{"publish"});
}

TEST_F(TopicElement, ReadHandlesGiveSettingsRecordAndTheClientsAttributes) {
  model.realizeAndPrepare();
  EXPECT_EQ(read(attributes::kTopic), Value(std::string("plant/t")));
  EXPECT_EQ(read(attributes::kQoS), Value(std::int64_t{2}));
  EXPECT_EQ(read(attributes::kRetained), Value(true));
  // Before the first connection.
  EXPECT_EQ(read(attributes::kTopicState), Value(false));
  EXPECT_EQ(read(attributes::kPublishTime), Value(kNever));
  EXPECT_EQ(read(attributes::kError), Value(make_error_code(CustomError::NotConnected)));
  // The client's configuration, through the topic.
  EXPECT_EQ(read(attributes::kBrokerAddress), Value(std::string("broker.example")));
  EXPECT_EQ(read(attributes::kPortNumber), Value(std::uint64_t{1884}));
  EXPECT_EQ(read(attributes::kClientId), Value(std::string("topic-config")));
  // Nothing else: not the client's live state, not a command's attributes.
  EXPECT_FALSE(topic->makeReadHandle(attributes::kConnectionTime));
  EXPECT_FALSE(topic->makeReadHandle(corvane::model::Attribute::kDeviceState));
  EXPECT_FALSE(topic->makeReadHandle(attributes::kReceiveTime));
  EXPECT_FALSE(topic->makeReadHandle(corvane::model::Attribute::kValue));
  // Every topic attribute is read-only.
  EXPECT_FALSE(topic->makeWriteHandle(attributes::kTopic));
  EXPECT_FALSE(topic->makeWriteHandle(attributes::kTopicState));
}

TEST_F(TopicElement, ReadHandlesKeepTheTopicAlive) {
  model.realizeAndPrepare();
  auto name = topic->makeReadHandle(attributes::kTopic);
  auto error = topic->makeReadHandle(attributes::kError);
  ASSERT_TRUE(name && error);
  std::weak_ptr<Topic> weak = topic;
  topic.reset();
  model.shutdown();
  EXPECT_FALSE(weak.expired());
  auto text = name->readString();
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "plant/t");
  auto value = error->read();
  ASSERT_TRUE(value);
  EXPECT_EQ(*value, Value(make_error_code(CustomError::NotConnected)));
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
