// Topics publishing through a real broker: what a subscriber receives, and what the topic's record
// and "published" event say about it through connection, confirmation, refusal and loss.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <mosquitto.h>

#include <broker.hpp>
#include <testPeer.hpp>

#include "clientModel.hpp"
#include "errors/customError.hpp"
#include "errors/mosquittoErrors.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using corvane::testing::Broker;
using corvane::testing::BrokerOptions;
using corvane::testing::PeerOptions;
using corvane::testing::ReceivedMessage;
using corvane::testing::TestPeer;
using testing::ClientModel;
using testing::clientModelText;
using testing::waitUntil;
using namespace std::chrono_literals;

// Cycle time stamps well apart from the wall clock, so a record showing one of them can only have
// come from that cycle.
const TimeStamp kT1 = now() - std::chrono::hours(3);
const TimeStamp kT2 = kT1 + std::chrono::minutes(1);
const TimeStamp kT3 = kT2 + std::chrono::minutes(1);
const TimeStamp kT4 = kT3 + std::chrono::minutes(1);

const std::error_code kNoError{0, std::system_category()};

// The times "published" was raised with.
class PublishedEvents {
 public:
  explicit PublishedEvents(Topic& topic) {
    topic.forEachEvent([&](const corvane::process::Event::Role&, const std::shared_ptr<corvane::process::Event>& event) {
      event->addListener([this](const corvane::process::Event&, TimeStamp time) {
        std::lock_guard lock(mutex_);
        times_.push_back(time);
      });
      return true;
    });
  }
  std::vector<TimeStamp> times() const {
    std::lock_guard lock(mutex_);
    return times_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<TimeStamp> times_;
};

std::string describe(const Topic::Data& data) {
  return "state " + std::to_string(data.state) + ", error \"" + data.error.message() + "\" (" +
         data.error.category().name() + " " + std::to_string(data.error.value()) + "), publishTime " +
         formatTime(data.publishTime);
}

class TopicPublishing : public ::testing::Test {
 protected:
  explicit TopicPublishing(BrokerOptions options = {}) : broker(std::move(options)) {}
  void SetUp() override {
    broker.start();
    peer.emplace(PeerOptions{.port = broker.port()});
    ASSERT_TRUE(peer->connect().accepted()) << broker.logReport();
    peer->subscribe("plant/#", 2);
  }
  void build(std::string_view clientConfig, std::string_view children, std::string_view dataPoints = "") {
    model.reset();
    model.emplace(clientModelText(broker.port(), clientConfig, children, dataPoints));
  }
  // Waits until the topic's record satisfies `condition`.
  template <class Condition>
  ::testing::AssertionResult waitForRecord(const Topic& topic, Condition condition,
                                           std::chrono::milliseconds timeout = 5s) {
    if (waitUntil([&] { return condition(topic.data()); }, timeout)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "record stays at " << describe(topic.data());
  }

  Broker broker;
  std::optional<TestPeer> peer;
  std::optional<ClientModel> model;
};

TEST_F(TopicPublishing, EachQoSArrivesByteForByteUnderEveryProtocolVersion) {
  const std::string big(300'000, 'x');
  struct Row {
    const char* topic;
    int qos;
    std::string payload;
  };
  const Row kRows[] = {
      {"q0", 0, "plain text"},
      {"q1", 1, std::string("\0nul inside\0 ", 13) + "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80"},
      {"q2", 2, R"({"t":{"value":21.5,"quality":192},"label":{"value":"a\"b\\c","quality":192}})"},
      {"big", 1, R"({"value":")" + big + R"(","quality":192})"},
  };
  for (std::string version : {"3.1", "3.1.1", "5"}) {
    SCOPED_TRACE("MQTT " + version);
    peer->clearMessages();
    build(R"("clientID": "topic-qos", "mqttVersion": ")" + version + "\"",
          R"({"class": "Topic", "name": "q0", "config": {"topic": "plant/q0", "payload": "plain text"}},
             {"class": "Topic", "name": "q1", "config": {"topic": "plant/q1", "QoS": 1,
                "payload": "\u0000nul inside\u0000 \u00e9\u20ac\ud83d\ude00"}},
             {"class": "Topic", "name": "q2", "config": {"topic": "plant/q2", "QoS": 2,
                "payload": {"@Object": [{"key": "t", "value": {"@DataPoint": "plant/temperature"}},
                                        {"key": "label", "value": {"@DataPoint": "plant/label"}}]}}},
             {"class": "Topic", "name": "big", "config": {"topic": "plant/big", "QoS": 1,
                "payload": {"@DataPoint": "plant/label"}}})",
          R"({"name": "plant/temperature", "type": "double", "value": 21.5},
             {"name": "plant/label", "type": "string", "value": "a\"b\\c"})");
    model->activate();
    ASSERT_TRUE(model->waitForConnected()) << broker.logReport();
    model->publish("q0", kT1);
    model->publish("q1", kT1);
    model->publish("q2", kT1);
    model->model.dataPoint("plant/label")->setValue(big);
    model->publish("big", kT1);
    for (const auto& row : kRows) {
      SCOPED_TRACE(row.topic);
      auto message = peer->waitForTopic(std::string("plant/") + row.topic);
      ASSERT_TRUE(message) << broker.logReport();
      EXPECT_EQ(message->payload.size(), row.payload.size());
      EXPECT_TRUE(message->payload == row.payload) << message->payload.substr(0, 200);
      EXPECT_EQ(message->qos, row.qos);
      EXPECT_FALSE(message->retain);
      EXPECT_TRUE(waitForRecord(*model->topic(row.topic), [](const Topic::Data& d) { return d.state; }));
    }
    EXPECT_EQ(peer->messageCount(), 4u);
    model.reset();
  }
}

TEST_F(TopicPublishing, RetainedMessageReachesALateSubscriber) {
  build(R"("clientID": "topic-retain")",
        R"({"class": "Topic", "name": "kept", "config": {"topic": "plant/kept", "QoS": 1, "retained": true,
              "payload": "last state"}},
           {"class": "Topic", "name": "passing", "config": {"topic": "plant/passing", "QoS": 1, "payload": "gone"}})");
  model->activate();
  ASSERT_TRUE(model->waitForConnected()) << broker.logReport();
  model->publish("kept", kT1);
  model->publish("passing", kT1);
  for (const char* name : {"kept", "passing"}) {
    ASSERT_TRUE(waitForRecord(*model->topic(name), [](const Topic::Data& d) { return d.state; })) << name;
  }

  TestPeer late(PeerOptions{.port = broker.port()});
  ASSERT_TRUE(late.connect().accepted());
  late.subscribe("plant/#", 1);
  auto kept = late.waitForTopic("plant/kept");
  ASSERT_TRUE(kept) << broker.logReport();
  EXPECT_EQ(kept->payload, "last state");
  EXPECT_TRUE(kept->retain);
  EXPECT_EQ(kept->qos, 1);
  EXPECT_FALSE(late.waitForTopic("plant/passing", 300ms)) << "a message without the retain flag was kept";
}

TEST_F(TopicPublishing, RecordFollowsConnectionPublicationConfirmationAndLoss) {
  build(R"("clientID": "topic-record")",
        R"({"class": "Topic", "name": "t", "config": {"topic": "plant/t", "QoS": 1, "payload": "v"}})");
  auto topic = model->topic("t");
  PublishedEvents events(*topic);

  // Not connected yet: a run publishes nothing and changes nothing.
  auto initial = topic->data();
  EXPECT_FALSE(initial.state);
  EXPECT_EQ(initial.error, make_error_code(CustomError::NotConnected));
  EXPECT_EQ(initial.publishTime, kNever);
  model->publish("t", kT1);
  EXPECT_EQ(describe(topic->data()), describe(initial));

  model->activate();
  ASSERT_TRUE(model->waitForConnected()) << broker.logReport();
  ASSERT_TRUE(waitForRecord(*topic, [](const Topic::Data& d) {
    return d.error == make_error_code(CustomError::NotPublishedYet);
  }));
  EXPECT_FALSE(topic->data().state);
  EXPECT_EQ(topic->data().publishTime, kNever);

  model->publish("t", kT1);
  ASSERT_TRUE(waitForRecord(*topic, [](const Topic::Data& d) { return d.state; }));
  EXPECT_EQ(topic->data().publishTime, kT1);
  EXPECT_EQ(topic->data().error, kNoError);
  ASSERT_TRUE(waitUntil([&] { return events.times().size() == 1; }));
  EXPECT_EQ(events.times()[0], kT1);

  // Two cycles in quick succession: both confirmed, the later time stamp stays.
  model->publish("t", kT2);
  model->publish("t", kT3);
  ASSERT_TRUE(waitUntil([&] { return events.times().size() == 3; })) << events.times().size();
  EXPECT_EQ(events.times(), (std::vector<TimeStamp>{kT1, kT2, kT3}));
  EXPECT_EQ(topic->data().publishTime, kT3);
  EXPECT_TRUE(peer->waitForCount(3));

  // The broker goes away: the record takes the connection's error and keeps the last time.
  broker.kill();
  ASSERT_TRUE(waitUntil([&] { return !model->client->data().deviceState; })) << "the loss went unnoticed";
  auto lost = model->client->data().error;
  EXPECT_EQ(lost, makeMosquittoError(MOSQ_ERR_CONN_LOST)) << lost.message();
  ASSERT_TRUE(waitForRecord(*topic, [&](const Topic::Data& d) { return d.error == lost; }));
  EXPECT_FALSE(topic->data().state);
  EXPECT_EQ(topic->data().publishTime, kT3);

  // Runs while disconnected leave everything as it is.
  auto before = topic->data();
  model->publish("t", kT4);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(describe(topic->data()), describe(before));
  EXPECT_EQ(events.times().size(), 3u);
}

TEST_F(TopicPublishing, TaskRunWhileConnectingChangesNothing) {
  build(R"("clientID": "topic-connecting")",
        R"({"class": "Topic", "name": "t", "config": {"topic": "plant/t", "QoS": 1, "payload": "early"}})");
  auto topic = model->topic("t");
  PublishedEvents events(*topic);
  broker.pause();  // the TCP connection is accepted by the kernel, the CONNACK waits
  model->activate();
  ASSERT_TRUE(waitUntil([&] { return model->client->connectionState() == ConnectionState::Connecting; }));
  auto before = topic->data();
  model->publish("t", kT1);
  EXPECT_EQ(describe(topic->data()), describe(before));
  EXPECT_EQ(model->client->connectionState(), ConnectionState::Connecting);
  broker.resume();

  ASSERT_TRUE(model->waitForConnected()) << broker.logReport();
  ASSERT_TRUE(waitForRecord(*topic, [](const Topic::Data& d) {
    return d.error == make_error_code(CustomError::NotPublishedYet);
  }));
  EXPECT_FALSE(peer->waitForTopic("plant/t", 300ms)) << "published while connecting";
  EXPECT_TRUE(events.times().empty());
  EXPECT_EQ(topic->data().publishTime, kNever);
}

TEST_F(TopicPublishing, BirthMessageWaitsForEveryTopicRequiredForIt) {
  build(R"("clientID": "topic-birth", "birth": {"topic": "plant/status", "payload": "online"})",
        R"({"class": "Topic", "name": "marked", "config": {"topic": "plant/marked", "requireForBirth": true,
              "payload": "m"}},
           {"class": "Topic", "name": "retained", "config": {"topic": "plant/retained", "retained": true,
              "payload": "r"}},
           {"class": "Topic", "name": "free", "config": {"topic": "plant/free", "payload": "f"}})");
  model->activate();
  ASSERT_TRUE(model->waitForConnected()) << broker.logReport();
  EXPECT_FALSE(peer->waitForTopic("plant/status", 200ms)) << "birth before any topic published";

  model->publish("free", kT1);
  model->publish("marked", kT2);
  ASSERT_TRUE(peer->waitForTopic("plant/marked"));
  EXPECT_FALSE(peer->waitForTopic("plant/status", 200ms)) << "birth before the retained topic published";

  model->publish("retained", kT3);
  auto birth = peer->waitForTopic("plant/status");
  ASSERT_TRUE(birth) << broker.logReport();
  EXPECT_EQ(birth->payload, "online");
  std::vector<std::string> order;
  for (const auto& m : peer->messages()) order.push_back(m.topic);
  EXPECT_EQ(order, (std::vector<std::string>{"plant/free", "plant/marked", "plant/retained", "plant/status"}));
  // The birth message goes out with the time stamp of the publication that completed the set.
  EXPECT_TRUE(waitUntil([&] { return model->client->data().birthMessageTime == kT3; }))
      << formatTime(model->client->data().birthMessageTime);
}

// The broker refuses the topic (not authorised) once a publication has already been confirmed.
class TopicRefused : public TopicPublishing {
 protected:
  TopicRefused()
      : TopicPublishing(BrokerOptions{.acl = std::vector<corvane::testing::AclRule>{
                                          {.access = corvane::testing::AclAccess::readwrite, .topic = "plant/#"}}}) {}
};

TEST_F(TopicRefused, PubackWithNotAuthorisedKeepsTheTimeAndRaisesNothing) {
  build(R"("clientID": "topic-refused", "mqttVersion": "5")",
        R"({"class": "Topic", "name": "t", "config": {"topic": "plant/t", "QoS": 1, "payload": "v"}})");
  auto topic = model->topic("t");
  PublishedEvents events(*topic);
  model->activate();
  ASSERT_TRUE(model->waitForConnected()) << broker.logReport();
  model->publish("t", kT1);
  ASSERT_TRUE(waitForRecord(*topic, [](const Topic::Data& d) { return d.state; }));

  // The broker reads its ACL file again when it starts: from now on the topic is denied.
  const auto aclFile = broker.directory() / "acl";
  ASSERT_TRUE(std::filesystem::exists(aclFile)) << "the broker keeps its ACL elsewhere";
  std::ofstream(aclFile) << "topic readwrite other/#\n";
  broker.restart();
  ASSERT_TRUE(waitUntil([&] { return !model->client->data().deviceState; }));
  model->run("broker", "reconnect", kT2);
  ASSERT_TRUE(model->waitForConnected()) << broker.logReport();
  ASSERT_TRUE(waitForRecord(*topic, [](const Topic::Data& d) {
    return d.error == make_error_code(CustomError::NotPublishedYet);
  }));

  model->publish("t", kT3);
  ASSERT_TRUE(waitForRecord(*topic, [](const Topic::Data& d) { return d.error == makeReasonCodeError(135); }))
      << broker.logReport();
  EXPECT_FALSE(topic->data().state);
  EXPECT_EQ(topic->data().publishTime, kT1);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(events.times(), std::vector<TimeStamp>{kT1});
  EXPECT_EQ(peer->messageCount(), 1u);
}

// The broker takes no packet over 1000 bytes (MQTT 5 CONNACK "maximum packet size").
class TopicRefusedByTheLibrary : public TopicPublishing {
 protected:
  TopicRefusedByTheLibrary() : TopicPublishing(BrokerOptions{.extraConfig = {"max_packet_size 1000"}}) {}
};

TEST_F(TopicRefusedByTheLibrary, FailedPublicationIsRecordedAtOnceWithoutEvent) {
  build(R"("clientID": "topic-library")",
        R"({"class": "Topic", "name": "oversized", "config": {"topic": "plant/oversized", "QoS": 1,
              "payload": ")" + std::string(1000, 'x') + R"("}},
           {"class": "Topic", "name": "control", "config": {"topic": "plant/\u0001", "payload": "v"}},
           {"class": "Topic", "name": "fine", "config": {"topic": "plant/fine", "QoS": 1, "payload": "v"}})");
  struct Row {
    const char* topic;
    std::error_code error;
  };
  const Row kRows[] = {
      {"oversized", makeMosquittoError(MOSQ_ERR_OVERSIZE_PACKET)},
      {"control", makeMosquittoError(MOSQ_ERR_MALFORMED_UTF8)},
  };
  model->activate();
  ASSERT_TRUE(model->waitForConnected()) << broker.logReport();
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.topic);
    auto topic = model->topic(row.topic);
    PublishedEvents events(*topic);
    ASSERT_TRUE(waitForRecord(*topic, [](const Topic::Data& d) {
      return d.error == make_error_code(CustomError::NotPublishedYet);
    }));
    model->publish(row.topic, kT1);
    // Recorded by the publishing thread itself, before the run returns.
    auto data = topic->data();
    EXPECT_EQ(data.error, row.error) << describe(data);
    EXPECT_FALSE(data.state);
    EXPECT_EQ(data.publishTime, kNever);
    EXPECT_TRUE(events.times().empty());
  }
  // The connection carries on.
  model->publish("fine", kT2);
  auto fine = peer->waitForTopic("plant/fine");
  ASSERT_TRUE(fine) << broker.logReport();
  EXPECT_EQ(peer->messageCount(), 1u);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
