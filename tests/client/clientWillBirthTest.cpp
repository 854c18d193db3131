// The will on orderly disconnection and the birth message on every connection, as another client
// of the same broker sees them.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <corvane/data.hpp>

#include "broker.hpp"
#include "clientModel.hpp"
#include "testPeer.hpp"
#include "topic/topic.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;
using namespace std::chrono_literals;

std::vector<std::string> topicsOf(const std::vector<ReceivedMessage>& messages) {
  std::vector<std::string> topics;
  for (const auto& m : messages) topics.push_back(m.topic);
  return topics;
}

struct WillCase {
  const char* name;
  const char* version;
  const char* will;  // the "will" or "lastWill" member
  const char* topic;
  bool delivered;
};

TEST(ClientWill, OrderlyDisconnectionDeliversTheWillUnlessItIsForAbnormalOnesOnly) {
  Broker broker;
  broker.start();
  const WillCase cases[] = {
      {"MQTT 5: DISCONNECT with reason 4 lets the broker send it", "5",
       R"("will": {"topic": "will/5", "payload": "bye", "QoS": 1, "retained": true})", "will/5", true},
      {"MQTT 3.1.1: no reason code, so the client publishes it itself", "3.1.1",
       R"("will": {"topic": "will/4", "payload": "bye", "QoS": 1, "retained": true})", "will/4", true},
      {"MQTT 3.1: published by the client too", "3.1",
       R"("will": {"topic": "will/3", "payload": "bye", "QoS": 1, "retained": true})", "will/3", true},
      {"MQTT 5, abnormal disconnections only", "5",
       R"("will": {"topic": "will/5a", "payload": "bye", "abnormalDisconnectOnly": true})", "will/5a", false},
      {"MQTT 3.1.1, abnormal disconnections only", "3.1.1",
       R"("will": {"topic": "will/4a", "payload": "bye", "abnormalDisconnectOnly": true})", "will/4a", false},
      {"old form: always for abnormal disconnections only", "5",
       R"("lastWill": {"topic": "will/old", "payload": "bye", "qos": 1})", "will/old", false},
  };
  int row = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string id = "will-" + std::to_string(++row);
    TestPeer peer({.port = broker.port()});
    ASSERT_TRUE(peer.connect().accepted());
    peer.subscribe(c.topic, 2);
    peer.subscribe("marker/#");
    ClientModel m(clientConfig(broker.port(), id, std::string(R"("MQTTVersion": ")") + c.version + "\", " + c.will));
    m.prepare();
    ASSERT_TRUE(m.connect());

    m.client().deactivate();
    // An orderly disconnection leaves "not connected" as the reason.
    ASSERT_TRUE(eventually([&] { return m.client().data().error == make_error_code(CustomError::NotConnected); }));
    // Once the broker has closed the session, whatever it or the client sent is on its way to the
    // peer ahead of the marker.
    ASSERT_TRUE(broker.waitForLog("Client " + id + " disconnected")) << broker.logReport();
    peer.publish("marker/" + id, "");
    ASSERT_TRUE(peer.waitForTopic("marker/" + id));
    const auto topics = topicsOf(peer.messages());
    const auto wills = std::count_if(topics.begin(), topics.end(), [](const auto& t) { return t.starts_with("will/"); });
    if (!c.delivered) {
      EXPECT_EQ(wills, 0);
      continue;
    }
    ASSERT_EQ(wills, 1);
    const auto will = peer.messages().front();
    EXPECT_EQ(will.payload, "bye");
    EXPECT_EQ(will.qos, 1);
    // Retained: a later subscriber still gets it.
    TestPeer late({.port = broker.port()});
    ASSERT_TRUE(late.connect().accepted());
    late.subscribe(will.topic);
    const auto retained = late.waitForTopic(will.topic);
    ASSERT_TRUE(retained);
    EXPECT_TRUE(retained->retain);
    EXPECT_EQ(retained->payload, "bye");
  }
}

// A peer that connects with the client's identifier makes the broker drop the client.
void takeOver(const Broker& broker, const std::string& clientId) {
  TestPeer thief({.port = broker.port(), .clientId = clientId, .reconnect = false});
  ASSERT_TRUE(thief.connect().accepted());
  thief.disconnect();
}

TEST(ClientBirth, FollowsEveryConnackWhenNoTopicIsDesignated) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  peer.subscribe("birth/#", 1);
  ClientModel m(clientConfig(broker.port(), "birth-plain",
                             R"("birth": {"topic": "birth/plain", "payload": {"@DataPoint": "plant/level"}, "QoS": 1})"),
                {}, R"({"name": "plant/level", "type": "integer", "value": 7})");
  m.prepare();
  EventRecorder events(m.client());
  EXPECT_EQ(m.client().data().birthMessageTime, kNever);
  m.client().activate();
  ASSERT_TRUE(events.waitFor("birth"));
  EXPECT_EQ(events.roles(), (std::vector<std::string>{"connected", "birth"}));
  auto data = m.client().data();
  // The birth carries the moment of the connection it announces.
  EXPECT_EQ(data.birthMessageTime, data.connectionTime);
  auto birth = peer.waitForTopic("birth/plain");
  ASSERT_TRUE(birth);
  EXPECT_EQ(birth->payload, R"({"value":7,"quality":192})");
  EXPECT_EQ(birth->qos, 1);

  // Rendered again for the next connection.
  m.model.dataPoint("plant/level")->setValue(std::int64_t{8});
  peer.clearMessages();
  takeOver(broker, "birth-plain");
  ASSERT_TRUE(events.waitFor("disconnected"));
  ASSERT_TRUE(m.waitForIdle());
  m.reconnect();
  ASSERT_TRUE(events.waitFor("birth", 2));
  birth = peer.waitForTopic("birth/plain");
  ASSERT_TRUE(birth);
  EXPECT_EQ(birth->payload, R"({"value":8,"quality":192})");
  data = m.client().data();
  EXPECT_EQ(data.birthMessageTime, data.connectionTime);
}

TEST(ClientBirth, WaitsForTheFirstPublicationOfEveryDesignatedTopicName) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  peer.subscribe("b/#");
  // Two topics share "b/a"; those named like the birth and the will do not hold it back.
  const char* children = R"(
    {"class": "Topic", "name": "a1", "config": {"topic": "b/a", "payload": "a1", "requireForBirth": true}},
    {"class": "Topic", "name": "a2", "config": {"topic": "b/a", "payload": "a2", "requireForBirth": true}},
    {"class": "Topic", "name": "c", "config": {"topic": "b/c", "payload": "c", "retained": true}},
    {"class": "Topic", "name": "own", "config": {"topic": "b/birth", "payload": "own", "requireForBirth": true}},
    {"class": "Topic", "name": "will", "config": {"topic": "b/will", "payload": "w", "requireForBirth": true}},
    {"class": "Topic", "name": "free", "config": {"topic": "b/free", "payload": "free"}})";
  ClientModel m(clientConfig(broker.port(), "birth-gated",
                             R"("birth": {"topic": "b/birth", "payload": "online"},
                                "will": {"topic": "b/will", "payload": "offline", "abnormalDisconnectOnly": true})"),
                children);
  m.prepare();
  EXPECT_EQ(m.client().birthTopics(), (std::vector<std::string>{"b/a", "b/c"}));
  EventRecorder events(m.client());
  m.client().activate();
  ASSERT_TRUE(events.waitFor("connected"));

  const auto t1 = now();
  m.child<Topic>("free").publish(t1);
  m.child<Topic>("own").publish(t1);
  m.child<Topic>("a2").publish(t1);
  ASSERT_TRUE(peer.waitForTopic("b/a"));
  peer.publish("b/marker", "");
  ASSERT_TRUE(peer.waitForTopic("b/marker"));
  EXPECT_EQ(events.count("birth"), 0u);
  EXPECT_EQ(topicsOf(peer.messages()), (std::vector<std::string>{"b/free", "b/birth", "b/a", "b/marker"}));

  const auto t2 = t1 + std::chrono::milliseconds(1);
  m.child<Topic>("c").publish(t2);
  ASSERT_TRUE(events.waitFor("birth"));
  // The birth goes out with the time of the publication that completed the set.
  EXPECT_EQ(m.client().data().birthMessageTime, t2);
  ASSERT_TRUE(peer.waitFor([](const ReceivedMessage& r) { return r.payload == "online"; }));
  EXPECT_EQ(topicsOf(peer.messages()),
            (std::vector<std::string>{"b/free", "b/birth", "b/a", "b/marker", "b/c", "b/birth"}));

  // Every connection starts with the full set again.
  peer.clearMessages();
  takeOver(broker, "birth-gated");
  ASSERT_TRUE(events.waitFor("disconnected"));
  ASSERT_TRUE(m.waitForIdle());
  m.reconnect();
  ASSERT_TRUE(events.waitFor("connected", 2));
  const auto t3 = now();
  m.child<Topic>("c").publish(t3);
  m.child<Topic>("c").publish(t3);
  ASSERT_TRUE(peer.waitForCount(2));
  peer.publish("b/marker", "");
  ASSERT_TRUE(peer.waitForTopic("b/marker"));
  EXPECT_EQ(events.count("birth"), 1u);
  const auto t4 = t3 + std::chrono::milliseconds(1);
  m.child<Topic>("a1").publish(t4);
  ASSERT_TRUE(events.waitFor("birth", 2));
  EXPECT_EQ(m.client().data().birthMessageTime, t4);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
