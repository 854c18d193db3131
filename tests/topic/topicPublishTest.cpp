// Topics publishing through a real broker: what a subscriber receives, and what the topic's record
// and "published" event say about it through connection, confirmation, refusal and loss, also
// with several threads publishing at once.
#include <gtest/gtest.h>
#include <mosquitto.h>

#include <barrier>
#include <fstream>

#include "broker.hpp"
#include "clientModel.hpp"
#include "errors/customError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "testPeer.hpp"
#include "topic/topic.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;
using namespace std::chrono_literals;

// Cycle time stamps well apart from the wall clock, so a record showing one of them can only have
// come from that cycle.
const TimeStamp kT1 = now() - std::chrono::hours(3);
const TimeStamp kT2 = kT1 + std::chrono::minutes(1);
const TimeStamp kT3 = kT2 + std::chrono::minutes(1);

std::string describe(const Topic::Data& data) {
  return "state " + std::to_string(data.state) + ", error " + corvane::testing::describe(data.error) +
         ", publishTime " + formatTime(data.publishTime);
}

std::string topic(std::string_view name, std::string_view members) {
  return R"({"class": "Topic", "name": ")" + std::string(name) + R"(", "config": {"topic": "plant/)" +
         std::string(name) + "\", " + std::string(members) + "}}";
}

class TopicPublishing : public ::testing::Test {
 protected:
  explicit TopicPublishing(BrokerOptions options = {}) : broker(std::move(options)) {}
  void SetUp() override {
    ASSERT_TRUE(peer.connect().accepted()) << broker.logReport();
    peer.subscribe("plant/#", 2);
  }
  Topic& build(std::string_view clientMembers, std::string_view children, std::string_view dataPoints = "",
               std::string_view clientId = "topic") {
    model.reset();
    model.emplace(clientConfig(broker.port(), clientId, clientMembers), children, dataPoints);
    model->prepare();
    return model->child<Topic>("t");
  }
  // Waits until the topic's record satisfies `condition`.
  template <class Condition>
  ::testing::AssertionResult waitForRecord(const Topic& topic, Condition condition) {
    if (eventually([&] { return condition(topic.data()); })) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "record stays at " << describe(topic.data());
  }
  ::testing::AssertionResult waitForError(const Topic& topic, std::error_code error) {
    return waitForRecord(topic, [&](const Topic::Data& d) { return d.error == error; });
  }
  std::vector<std::string> received() { return receivedTopics(peer, "plant/marker"); }

  int startBroker() {
    broker.start();
    return broker.port();
  }

  Broker broker;
  TestPeer peer{PeerOptions{.port = startBroker()}};
  std::optional<ClientModel> model;
};

TEST_F(TopicPublishing, EachQoSArrivesByteForByteUnderEveryProtocolVersion) {
  // The topic's name, its QoS, the bytes a subscriber receives.
  const std::tuple<const char*, int, std::string> kRows[] = {
      {"t", 0, "plain text"},
      {"q1", 1, std::string("\0nul inside\0 ", 13) + "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"q2", 2, R"({"t":{"value":21.5,"quality":192},"label":{"value":"a\"b\\c","quality":192}})"},
      {"kept", 1, "last state"},
  };
  // mosquitto logs the protocol level it was asked for, the clean session flag and the keepalive.
  for (const auto& [version, level] : {std::pair<std::string, char>{"3.1", '1'}, {"3.1.1", '2'}, {"5", '5'}}) {
    SCOPED_TRACE("MQTT " + version);
    build(R"("mqttVersion": ")" + version + R"(", "keepaliveInterval": "30s")",
          topic("t", R"("payload": "plain text")") + ", " +
              topic("q1", R"("QoS": 1, "payload": "\u0000nul inside\u0000 \u00e9\u20ac\ud83d\ude00")") + ", " +
              topic("q2", R"("QoS": 2, "payload": {"@Object": [{"key": "t", "value": {"@DataPoint": "plant/temperature"}},
                                                    {"key": "label", "value": {"@DataPoint": "plant/label"}}]})") +
              ", " + topic("kept", R"("QoS": 1, "retained": true, "payload": "last state")"),
          R"({"name": "plant/temperature", "type": "double", "value": 21.5},
             {"name": "plant/label", "type": "string", "value": "a\"b\\c"})",
          "topic-" + version);
    ASSERT_TRUE(model->connect()) << broker.logReport();
    EXPECT_TRUE(broker.waitForLog("as topic-" + version + " (p" + level + ", c1, k30)"));
    for (const auto& row : kRows) model->child<Topic>(std::get<0>(row)).publish(kT1);
    for (const auto& [name, qos, payload] : kRows) {
      SCOPED_TRACE(name);
      auto message = peer.waitForTopic(std::string("plant/") + name);
      ASSERT_TRUE(message) << broker.logReport();
      EXPECT_EQ(message->payload, payload);
      EXPECT_TRUE(message->qos == qos && !message->retain);
      EXPECT_TRUE(waitForRecord(model->child<Topic>(name), [](const Topic::Data& d) { return d.state; }));
    }
    EXPECT_EQ(received().size(), std::size(kRows) + 1);
  }
  // Only the retained message reaches a late subscriber.
  TestPeer late({.port = broker.port()});
  ASSERT_TRUE(late.connect().accepted());
  late.subscribe("plant/#", 1);
  const auto kept = late.waitForTopic("plant/kept");
  EXPECT_TRUE(kept && kept->retain && kept->payload == "last state");
  EXPECT_EQ(receivedTopics(late, "plant/marker"), (std::vector<std::string>{"plant/kept", "plant/marker"}))
      << "a message without the retain flag was kept";
}

// A broker that takes no packet over 1000 bytes (MQTT 5 CONNACK "maximum packet size") and whose
// access rules deny the topics once it has restarted.
class TopicRecord : public TopicPublishing {
 protected:
  TopicRecord()
      : TopicPublishing({.acl = std::vector<AclRule>{{.access = AclAccess::readwrite, .topic = "plant/#"}},
                         .extraConfig = {"max_packet_size 1000"}}) {}
};

TEST_F(TopicRecord, FollowsConnectionPublicationConfirmationRefusalAndLoss) {
  build("", topic("t", R"("payload": "zero")") + ", " + topic("q1", R"("QoS": 1, "payload": "one")") + ", " +
                topic("q2", R"("QoS": 2, "payload": "two")") + ", " +
                topic("oversized", R"("QoS": 1, "payload": ")" + std::string(1000, 'x') + "\"") +
                R"(, {"class": "Topic", "name": "control", "config": {"topic": "plant/\u0001", "payload": "v"}})");
  const char* names[] = {"t", "q1", "q2"};
  std::vector<std::unique_ptr<EventRecorder>> events;
  for (const char* name : names) events.push_back(std::make_unique<EventRecorder>(model->child<Topic>(name)));
  auto& q1 = model->child<Topic>("q1");

  // Not connected yet: a run publishes nothing and changes nothing.
  const auto initial = describe(q1.data());
  EXPECT_EQ(initial, "state 0, error Corvane.MQTTClient 1: not connected, publishTime " + formatTime(kNever));
  q1.publish(kT1);
  EXPECT_EQ(describe(q1.data()), initial);

  ASSERT_TRUE(model->connect()) << broker.logReport();
  for (const char* name : {"t", "q1", "q2", "oversized", "control"})
    EXPECT_TRUE(waitForError(model->child<Topic>(name), make_error_code(CustomError::NotPublishedYet))) << name;
  // What libmosquitto refuses is recorded by the publishing thread itself, before the run returns.
  for (const auto& [name, error] : {std::pair{"oversized", makeMosquittoError(MOSQ_ERR_OVERSIZE_PACKET)},
                                    std::pair{"control", makeMosquittoError(MOSQ_ERR_MALFORMED_UTF8)}}) {
    auto& refused = model->child<Topic>(name);
    EventRecorder refusedEvents(refused);
    refused.publish(kT1);
    EXPECT_EQ(describe(refused.data()), "state 0, error " + corvane::testing::describe(error) + ", publishTime " +
                                            formatTime(kNever));
    EXPECT_TRUE(refusedEvents.roles().empty()) << name;
  }
  // Cycles in quick succession, interleaved: each confirmation goes to the topic that published,
  // and the record keeps the time of its last publication.
  auto at = [](int round, int i) { return kT1 + std::chrono::milliseconds(10 * round + i); };
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 3; ++i) model->child<Topic>(names[i]).publish(at(round, i));
  }
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(names[i]);
    ASSERT_TRUE(eventually([&] { return events[i]->count("published") == 3; }));
    EXPECT_EQ(events[i]->times("published"), (std::vector<TimeStamp>{at(0, i), at(1, i), at(2, i)}));
    EXPECT_EQ(describe(model->child<Topic>(names[i]).data()), "state 1, error no error, publishTime " + formatTime(at(2, i)));
  }
  EXPECT_TRUE(peer.waitForCount(9));
  EXPECT_EQ(received().size(), 10u) << "a refused publication arrived";

  // The broker reads its ACL file again when it starts: from now on the topics are denied, which
  // keeps the time and raises nothing.
  const auto aclFile = broker.directory() / "acl";
  ASSERT_TRUE(std::filesystem::exists(aclFile)) << "the broker keeps its ACL elsewhere";
  std::ofstream(aclFile) << "topic readwrite other/#\n";
  broker.restart();
  ASSERT_TRUE(model->waitForIdle());
  model->reconnect();
  ASSERT_TRUE(waitForError(q1, make_error_code(CustomError::NotPublishedYet))) << broker.logReport();
  q1.publish(kT3);
  ASSERT_TRUE(waitForError(q1, makeReasonCodeError(135))) << broker.logReport();
  EXPECT_TRUE(!q1.data().state && q1.data().publishTime == at(2, 1));
  EXPECT_EQ(events[1]->count("published"), 3u);

  // The broker goes away: the record takes the connection's error and keeps the last time.
  broker.kill();
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(waitForError(model->child<Topic>(names[i]), makeMosquittoError(MOSQ_ERR_CONN_LOST))) << names[i];
  }
  const auto lost = describe(q1.data());
  EXPECT_EQ(lost, "state 0, error Mosquitto 7: The connection was lost, publishTime " + formatTime(at(2, 1)));
  // Runs while disconnected leave everything as it is.
  q1.publish(kT2);
  EXPECT_EQ(describe(q1.data()), lost);
  EXPECT_EQ(events[1]->count("published"), 3u);
}

// Publications from four threads at once, eight topics at QoS 1: a subscriber must receive every
// publication, and each must be confirmed to its topic.
TEST(ConcurrentPublishing, FourThreadsLoseNothing) {
  constexpr int kTopics = 8, kThreads = 4, kPerTopic = 1250;
  // The subscriber must get every message the broker accepts, however far behind it is.
  Broker broker({.maxQueuedMessages = 0, .verboseLog = false});
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted()) << broker.logReport();
  peer.subscribe("load/#", 1);
  std::string children;
  for (int i = 0; i < kTopics; ++i) {
    children += std::string(i ? "," : "") + R"({"class": "Topic", "name": "t)" + std::to_string(i) +
                R"(", "config": {"topic": "load/t)" + std::to_string(i) +
                R"(", "QoS": 1, "payload": "sample"}})";
  }
  ClientModel m(clientConfig(broker.port(), "load"), children);
  m.prepare();
  auto topic = [&](int i) -> Topic& { return m.child<Topic>(std::string("t").append(std::to_string(i))); };
  ASSERT_TRUE(m.connect()) << broker.logReport();
  {
    std::barrier start(kThreads);
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t) {
      // Like the runner, a topic is only ever published by one thread at a time.
      threads.emplace_back([&, t] {
        start.arrive_and_wait();
        for (int i = 0; i < kPerTopic; ++i) {
          topic(2 * t).publish(now());
          topic(2 * t + 1).publish(now());
        }
      });
    }
  }
  ASSERT_TRUE(m.client().data().deviceState) << "the connection was lost: " << broker.logReport();
  const std::uint64_t attempted = std::uint64_t{kTopics} * kPerTopic;
  auto confirmed = [&] {
    std::uint64_t sum = 0;
    for (int i = 0; i < kTopics; ++i) sum += topic(i).publishedEvent().raisedCount();
    return sum;
  };
  EXPECT_TRUE(peer.waitForCount(attempted, 60s)) << peer.messageCount() << " of " << attempted << " received";
  EXPECT_TRUE(eventually([&] { return confirmed() == attempted; }, 10s)) << confirmed() << " of " << attempted;
  EXPECT_EQ(peer.messageCount(), attempted);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
