// The runtime core drives a whole model: load, resolve, realize, prepare, run, shut down.
#include <gtest/gtest.h>

#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "topic/topic.hpp"

namespace corvane::runtime {
namespace {

constexpr std::string_view kModel = R"({
  "dataPoints": [
    {"name": "plant/temperature", "type": "double", "value": 21.5, "quality": 192, "attributes": {"unit": "C"}},
    {"name": "plant/setpoint", "type": "integer", "value": 7}
  ],
  "elements": [
    {"skill": "MQTT", "class": "Client", "name": "broker",
     "config": {"brokerAddress": "127.0.0.1:1", "clientID": "model-test"},
     "tasks": {"reconnect": "50ms"},
     "children": [
       {"class": "Topic", "name": "temperature",
        "config": {"topic": "plant/temperature", "payload": {"@DataPoint": "plant/temperature"}}},
       {"class": "Command", "name": "setpoint",
        "config": {"topic": "plant/setpoint/set",
                   "payload": [{"@DataPoint": {"dataPoint": "plant/setpoint", "jsonPath": "$.value"}}]}}
     ]}
  ]
})";

TEST(Model, LoadsRunsAndShutsDownAModel) {
  Model model;
  model.loadText(kModel, ".");
  ASSERT_EQ(model.elements().size(), 3u);
  EXPECT_EQ(model.elements()[1].path, "broker/temperature");
  model.realizeAndPrepare();
  ASSERT_EQ(model.tasks().size(), 2u);

  auto topic = std::dynamic_pointer_cast<plugins::mqttClient::Topic>(model.skillElement("broker/temperature"));
  ASSERT_NE(topic, nullptr);
  EXPECT_EQ(topic->payload().render(topic->attributeNames()), R"({"value":21.5,"quality":192})");

  auto clientId = model.findElement("broker")->attributeReadHandle("clientID").readString();
  ASSERT_TRUE(clientId);
  EXPECT_EQ(*clientId, "model-test");

  model.start(2);
  model.stop();
  model.shutdown();
  EXPECT_TRUE(model.elements().empty());
}

}  // namespace
}  // namespace corvane::runtime
