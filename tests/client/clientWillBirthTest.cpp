// The will on orderly disconnection and the birth message on every connection, as another client
// of the same broker sees them.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "broker.hpp"
#include "clientModel.hpp"
#include "testPeer.hpp"
#include "topic/topic.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;
using Topics = std::vector<std::string>;

TEST(ClientWill, OrderlyDisconnectionDeliversTheWillUnlessItIsForAbnormalOnesOnly) {
  Broker broker;
  broker.start();
  // MQTT 5: DISCONNECT with reason 4 lets the broker send it; 3.1.1 and 3.1 have no reason code, so
  // the client publishes it itself. The old form is always for abnormal disconnections only.
  const std::tuple<const char*, const char*, const char*, bool> kCases[] = {
      {"5", "will", R"("QoS": 1, "retained": true)", true},
      {"3.1.1", "will", R"("QoS": 1, "retained": true)", true},
      {"3.1", "will", R"("QoS": 1, "retained": true)", true},
      {"5", "will", R"("abnormalDisconnectOnly": true)", false},
      {"3.1.1", "will", R"("abnormalDisconnectOnly": true)", false},
      {"5", "lastWill", R"("qos": 1)", false},
  };
  int row = 0;
  for (const auto& [version, key, members, delivered] : kCases) {
    const std::string id = "will-" + std::to_string(++row);
    SCOPED_TRACE(id + ": " + version + " " + key + " " + members);
    TestPeer peer({.port = broker.port()});
    ASSERT_TRUE(peer.connect().accepted());
    peer.subscribe("will/" + id + "/#", 2);
    ClientModel m(clientConfig(broker.port(), id,
                               std::string(R"("MQTTVersion": ")") + version + R"(", ")" + key + R"(": {"topic": "will/)" +
                                   id + R"(", "payload": "bye", )" + members + "}"));
    m.prepare();
    ASSERT_TRUE(m.connect());
    m.client().deactivate();
    // An orderly disconnection leaves "not connected" as the reason.
    ASSERT_TRUE(eventually([&] { return m.client().data().error == make_error_code(CustomError::NotConnected); }));
    // Once the broker has closed the session, whatever it or the client sent is on its way to the
    // peer ahead of the marker.
    ASSERT_TRUE(broker.waitForLog("Client " + id + " disconnected")) << broker.logReport();
    peer.publish("will/" + id + "/marker", "");
    ASSERT_TRUE(peer.waitForTopic("will/" + id + "/marker"));
    const auto messages = peer.messages();
    ASSERT_EQ(messages.size(), delivered ? 2u : 1u);
    if (!delivered) continue;
    const auto will = messages.front();
    EXPECT_EQ(will.topic, "will/" + id);
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

// A peer that connects with the client's identifier makes the broker drop the client; then the
// reconnect task runs.
void reconnectAfterTakeOver(const Broker& broker, ClientModel& m, const std::string& clientId) {
  TestPeer thief({.port = broker.port(), .clientId = clientId, .reconnect = false});
  ASSERT_TRUE(thief.connect().accepted());
  thief.disconnect();
  ASSERT_TRUE(m.waitForIdle());
  m.reconnect();
}

TEST(ClientBirth, WaitsForTheFirstPublicationOfEveryDesignatedTopicName) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  peer.subscribe("b/#");
  // Two topics share "b/a"; those named like the birth and the will do not hold it back.
  ClientModel m(clientConfig(broker.port(), "birth-gated", R"("birth": {"topic": "b/birth", "payload": {"@DataPoint": "level"}},
                                "will": {"topic": "b/will", "payload": "offline", "abnormalDisconnectOnly": true})"),
                R"({"class": "Topic", "name": "a1", "config": {"topic": "b/a", "payload": "a1", "requireForBirth": true}},
                   {"class": "Topic", "name": "a2", "config": {"topic": "b/a", "payload": "a2", "requireForBirth": true}},
                   {"class": "Topic", "name": "c", "config": {"topic": "b/c", "payload": "c", "retained": true}},
                   {"class": "Topic", "name": "own", "config": {"topic": "b/birth", "payload": "o", "requireForBirth": true}},
                   {"class": "Topic", "name": "will", "config": {"topic": "b/will", "payload": "w", "requireForBirth": true}},
                   {"class": "Topic", "name": "free", "config": {"topic": "b/free", "payload": "free"}})",
                R"({"name": "level", "type": "integer", "value": 7})");
  m.prepare();
  EXPECT_EQ(m.client().birthTopics(), (Topics{"b/a", "b/c"}));
  EventRecorder events(m.client());
  ASSERT_TRUE(m.connect());
  auto publish = [&](std::initializer_list<const char*> topics, TimeStamp time) {
    for (const char* name : topics) m.child<Topic>(name).publish(time);
  };
  const auto t1 = now();
  publish({"free", "own", "a2"}, t1);
  ASSERT_TRUE(peer.waitForTopic("b/a"));
  EXPECT_EQ(receivedTopics(peer, "b/marker"), (Topics{"b/free", "b/birth", "b/a", "b/marker"}));
  EXPECT_EQ(events.count("birth"), 0u);
  // The birth goes out with the time of the publication that completed the set.
  publish({"c"}, t1 + std::chrono::milliseconds(1));
  ASSERT_TRUE(events.waitFor("birth"));
  EXPECT_EQ(m.client().data().birthMessageTime, t1 + std::chrono::milliseconds(1));
  ASSERT_TRUE(peer.waitFor([](const ReceivedMessage& r) { return r.payload == R"({"value":7,"quality":192})"; }));
  EXPECT_EQ(receivedTopics(peer, "b/marker"), (Topics{"b/c", "b/birth", "b/marker"}));

  // Every connection starts with the full set again.
  reconnectAfterTakeOver(broker, m, "birth-gated");
  ASSERT_TRUE(events.waitFor("connected", 2));
  const auto t3 = now();
  publish({"c", "c"}, t3);
  ASSERT_TRUE(peer.waitForCount(3));
  // The will, for the connection the broker dropped, and no birth yet.
  EXPECT_EQ(receivedTopics(peer, "b/marker"), (Topics{"b/will", "b/c", "b/c", "b/marker"}));
  EXPECT_EQ(events.count("birth"), 1u);
  // Rendered again for the connection it announces.
  m.model.dataPoint("level")->setValue(std::int64_t{8});
  publish({"a1"}, t3 + std::chrono::milliseconds(1));
  ASSERT_TRUE(events.waitFor("birth", 2));
  EXPECT_EQ(m.client().data().birthMessageTime, t3 + std::chrono::milliseconds(1));
  EXPECT_TRUE(peer.waitFor([](const ReceivedMessage& r) { return r.payload == R"({"value":8,"quality":192})"; }));
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
