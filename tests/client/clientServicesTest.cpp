// What the client does for its children: subscriptions on every connection, messages routed by
// exact topic name, publications confirmed to the topic that made them, state changes passed on.
#include <gtest/gtest.h>

#include <string>

#include <corvane/data.hpp>

#include "broker.hpp"
#include "clientModel.hpp"
#include "command/command.hpp"
#include "errors/mosquittoErrors.hpp"
#include "eventRecorder.hpp"
#include "testPeer.hpp"
#include "topic/topic.hpp"
#include "waiting.hpp"

namespace corvane::plugins::mqttClient::testing {
namespace {

using corvane::testing::Broker;
using corvane::testing::TestPeer;

std::string describe(std::error_code error) { return corvane::data::describeError(error); }

// A peer that connects with the client's identifier makes the broker drop the client.
void takeOver(const Broker& broker, const std::string& clientId) {
  TestPeer thief({.port = broker.port(), .clientId = clientId, .reconnect = false});
  ASSERT_TRUE(thief.connect().accepted());
  thief.disconnect();
}

TEST(ClientServices, MessagesReachEveryCommandOfTheirExactTopicOnEveryConnection) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  const char* points = R"({"name": "p1", "type": "integer", "value": 0}, {"name": "p2", "type": "integer", "value": 0},
                          {"name": "p3", "type": "integer", "value": 0})";
  const char* children = R"(
    {"class": "Command", "name": "c1", "config": {"topic": "cmd/a", "payload": [{"@DataPoint": {"dataPoint": "p1", "jsonPath": "$.v"}}]}},
    {"class": "Command", "name": "c2", "config": {"topic": "cmd/a", "payload": [{"@DataPoint": {"dataPoint": "p2", "jsonPath": "$.v"}}]}},
    {"class": "Command", "name": "c3", "config": {"topic": "cmd/A", "payload": [{"@DataPoint": {"dataPoint": "p3", "jsonPath": "$.v"}}]}})";
  ClientModel m(clientConfig(broker.port(), "routing"), children, points);
  m.prepare();
  EventRecorder events(m.client());
  auto& c1 = m.child<Command>("c1");
  auto& c2 = m.child<Command>("c2");
  auto& c3 = m.child<Command>("c3");
  auto value = [&](const char* point) { return corvane::data::toText(m.model().dataPoint(point)->value()); };
  auto allSubscribed = [&] {
    return c1.subscribeData().subscribed && c2.subscribeData().subscribed && c3.subscribeData().subscribed;
  };

  for (int connection = 1; connection <= 2; ++connection) {
    SCOPED_TRACE("connection " + std::to_string(connection));
    if (connection == 1) {
      m.client().activate();
    } else {
      takeOver(broker, "routing");
      ASSERT_TRUE(events.waitFor("disconnected"));
      ASSERT_TRUE(eventually([&] { return m.client().connectionState() == ConnectionState::Idle; }));
      EXPECT_FALSE(c1.subscribeData().subscribed);
      m.model().runTaskOnce("broker", "reconnect");
    }
    ASSERT_TRUE(eventually(allSubscribed)) << describe(c1.subscribeData().error) << broker.logReport();
    const std::string v1 = std::to_string(10 * connection + 1);
    const std::string v2 = std::to_string(10 * connection + 2);
    peer.publishAndWait("cmd/a", R"({"v": )" + v1 + "}");
    ASSERT_TRUE(eventually([&] { return value("p1") == v1 && value("p2") == v1; })) << value("p1") << value("p2");
    // Topic names are compared byte for byte: "cmd/A" is another topic.
    peer.publishAndWait("cmd/A", R"({"v": )" + v2 + "}");
    ASSERT_TRUE(eventually([&] { return value("p3") == v2; }));
    EXPECT_EQ(value("p1"), v1);
    EXPECT_EQ(c1.receivedEvent().raisedCount(), static_cast<std::size_t>(connection));
    EXPECT_EQ(c2.receivedEvent().raisedCount(), static_cast<std::size_t>(connection));
    EXPECT_EQ(c3.receivedEvent().raisedCount(), static_cast<std::size_t>(connection));
  }
}

TEST(ClientServices, PublicationsAreConfirmedToTheTopicThatMadeThem) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  peer.subscribe("pub/#", 2);
  const char* children = R"(
    {"class": "Topic", "name": "q0", "config": {"topic": "pub/0", "payload": "zero"}},
    {"class": "Topic", "name": "q1", "config": {"topic": "pub/1", "payload": "one", "QoS": 1}},
    {"class": "Topic", "name": "q2", "config": {"topic": "pub/2", "payload": "two", "QoS": 2}})";
  ClientModel m(clientConfig(broker.port(), "confirm"), children);
  m.prepare();
  const char* names[] = {"q0", "q1", "q2"};
  for (const char* name : names) {
    EXPECT_EQ(m.child<Topic>(name).data().error, make_error_code(CustomError::NotConnected)) << name;
  }
  m.client().activate();
  ASSERT_TRUE(eventually([&] { return m.client().data().deviceState; }));
  // Connected: the topics wait for their first publication.
  for (const char* name : names) {
    EXPECT_EQ(m.child<Topic>(name).data().error, make_error_code(CustomError::NotPublishedYet)) << name;
  }

  const auto base = now();
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 3; ++i) {
      m.child<Topic>(names[i]).publish(base + std::chrono::milliseconds(10 * round + i));
    }
  }
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(names[i]);
    auto& topic = m.child<Topic>(names[i]);
    ASSERT_TRUE(eventually([&] { return topic.publishedEvent().raisedCount() == 3; }));
    const auto data = topic.data();
    // The last confirmation carries the time of the last publication of this topic.
    EXPECT_EQ(data.publishTime, base + std::chrono::milliseconds(20 + i));
    EXPECT_TRUE(data.state);
    EXPECT_EQ(data.error, std::error_code()) << describe(data.error);
  }
  ASSERT_TRUE(peer.waitForCount(9));

  broker.kill();
  for (const char* name : names) {
    EXPECT_TRUE(eventually([&] { return m.child<Topic>(name).data().error == makeMosquittoError(MOSQ_ERR_CONN_LOST); }))
        << name << ": " << describe(m.child<Topic>(name).data().error);
  }
}

TEST(ClientServices, OversizedPayloadIsRefusedBeforeReachingTheLibrary) {
  ClientModel m(R"({"brokerAddress": "127.0.0.1:1", "clientID": "oversized"})",
                R"({"class": "Topic", "name": "t", "config": {"topic": "t", "payload": "x"}})");
  m.prepare();
  const char byte = 0;
  // The length is never used to read: the check comes first.
  const auto result = m.client().publish(now(), m.child<Topic>("t"), &byte, std::size_t{2147483648u}, 0, false, nullptr);
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), makeMosquittoError(MOSQ_ERR_PAYLOAD_SIZE));
  // Nothing was sent, and the topic learns so.
  const auto skipped = m.client().publish(now(), m.child<Topic>("t"), &byte, 1, 0, false, nullptr);
  ASSERT_FALSE(skipped);
  EXPECT_EQ(skipped.error(), makeMosquittoError(MOSQ_ERR_NO_CONN));
}

// An MQTT 5 broker learns the largest packet the client takes and drops larger ones; the
// messages after it still arrive.
TEST(ClientServices, AnMqtt5BrokerSendsNothingLargerThanTheClientTakes) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  const char* children = R"(
    {"class": "Command", "name": "big", "config": {"topic": "size/big", "payload": [{"@DataPoint": {"dataPoint": "p", "jsonPath": "$.v"}}]}},
    {"class": "Command", "name": "after", "config": {"topic": "size/after", "payload": [{"@DataPoint": {"dataPoint": "q", "jsonPath": "$.v"}}]}})";
  ClientModel m(clientConfig(broker.port(), "size"), children,
                R"({"name": "p", "type": "integer", "value": 0}, {"name": "q", "type": "integer", "value": 0})");
  m.prepare();
  m.client().activate();
  auto& big = m.child<Command>("big");
  auto& after = m.child<Command>("after");
  ASSERT_TRUE(eventually([&] { return big.subscribeData().subscribed && after.subscribeData().subscribed; }));
  peer.publishAndWait("size/big", R"({"v": 1})");
  ASSERT_TRUE(eventually([&] { return big.receiveData().time != kNever; }));
  const auto first = big.receiveData().time;

  std::string oversized = R"({"v": 2, "pad": ")";
  oversized.append(Client::kMaxIncomingPacketSize, 'x');
  oversized.append(R"("})");
  peer.publishAndWait("size/big", oversized, 1, false, nullptr, std::chrono::seconds(30));
  peer.publishAndWait("size/after", R"({"v": 3})");
  ASSERT_TRUE(eventually([&] { return after.receiveData().time != kNever; }));
  EXPECT_EQ(big.receiveData().time, first) << "the oversized message arrived";
  EXPECT_TRUE(m.client().data().deviceState);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient::testing
