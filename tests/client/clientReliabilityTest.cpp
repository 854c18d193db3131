// What the client bounds: connection churn under load may skip no subscription, a broker that stops
// reading cannot make the queue grow, and no message beyond the limits is taken or sent.
#include <gtest/gtest.h>

#include <fstream>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "broker.hpp"
#include "clientModel.hpp"
#include "command/command.hpp"
#include "errors/mosquittoErrors.hpp"
#include "testPeer.hpp"
#include "topic/topic.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;
using namespace std::chrono_literals;

// Every reconnection subscribes every command again, even while topics publish as fast as they
// can from other threads (a subscription skipped then would stay missing for the connection).
TEST(ClientChurn, EveryConnectionSubscribesEveryCommandWhilePublishersRun) {
  Broker broker;
  broker.start();
  std::string children;
  for (int i = 0; i < 4; ++i) {
    children += R"({"class": "Topic", "name": "t)" + std::to_string(i) + R"(", "config": {"topic": "load/)" +
                std::to_string(i) + R"(", "payload": "x"}},)";
  }
  children += R"({"class": "Command", "name": "set", "config": {"topic": "churn/set",
    "payload": [{"@DataPoint": {"dataPoint": "target", "jsonPath": "$"}}]}})";
  ClientModel m(clientConfig(broker.port(), "churn"), children, R"({"name": "target", "type": "integer"})");
  m.prepare();
  auto& command = m.child<Command>("set");
  TestPeer sender({.port = broker.port(), .clientId = "churn-sender"});
  ASSERT_TRUE(sender.connect().accepted());

  // Faster than any task cycle: tens of thousands of publications a second in all; stopped and
  // joined when the test ends, however it ends.
  std::vector<std::jthread> publishers;
  for (int i = 0; i < 4; ++i) {
    publishers.emplace_back([&, i](std::stop_token stop) {
      for (auto& topic = m.child<Topic>("t" + std::to_string(i)); !stop.stop_requested();
           std::this_thread::sleep_for(100us)) {
        topic.publish(corvane::now());
      }
    });
  }
  for (int round = 1; round <= 200; ++round) {
    SCOPED_TRACE("connection " + std::to_string(round));
    ASSERT_TRUE(m.connect());
    // A skipped subscription stays missing for the whole connection.
    ASSERT_TRUE(eventually([&] { return command.subscribeData().subscribed; })) << "no subscription";
    ASSERT_EQ(sender.publishAndWait("churn/set", std::to_string(round)), 0);
    ASSERT_TRUE(eventually([&] { return m.model.dataPoint("target")->value() == corvane::data::Value(std::int64_t{round}); }));
    m.client().deactivate();
    ASSERT_TRUE(m.waitForIdle());
  }
}

// Resident set of this process in KiB.
long residentKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

// A broker that stops reading while a topic publishes 10 kB at QoS 1 every millisecond: what waits
// for it stays bounded, publications beyond the bound fail as such, and what was queued arrives in
// order once the broker reads again.
TEST(ClientQueue, ABrokerThatStopsReadingCannotMakeTheQueueGrow) {
  Broker broker({.maxQueuedMessages = 100000});
  broker.start();
  TestPeer subscriber({.port = broker.port(), .clientId = "queue-subscriber"});
  ASSERT_TRUE(subscriber.connect().accepted());
  subscriber.subscribe("queue/t", 1);
  ClientModel m(clientConfig(broker.port(), "queue", R"("keepaliveIntervalS": 120)"),
                R"({"class": "Topic", "name": "t", "config": {"topic": "queue/t", "QoS": 1, "payload": "x"}})");
  m.prepare();
  auto& topic = m.child<Topic>("t");
  ASSERT_TRUE(m.connect());

  const long before = residentKiB();
  long peak = before;
  std::vector<int> queued;
  int refused = 0;
  std::string payload(10000, 'x');
  broker.pause();
  const auto end = std::chrono::steady_clock::now() + 30s;
  for (int sequence = 0; std::chrono::steady_clock::now() < end; ++sequence) {
    const auto head = std::to_string(sequence) + ";";
    payload.replace(0, head.size(), head);
    auto result = m.client().publish(corvane::now(), topic, payload.data(), payload.size(), 1, false, nullptr);
    if (result) {
      queued.push_back(sequence);
    } else {
      ASSERT_EQ(result.error(), make_error_code(CustomError::OutgoingQueueFull)) << describe(result.error());
      ++refused;
    }
    if (sequence % 100 == 0) peak = std::max(peak, residentKiB());
    std::this_thread::sleep_for(1ms);
  }
  broker.resume();
  EXPECT_LE(queued.size(), Client::kMaxQueuedMessages);
  EXPECT_GT(refused, 0);
  EXPECT_LE(peak - before, 64 * 1024) << "KiB more resident";

  ASSERT_TRUE(subscriber.waitForCount(queued.size(), 30s)) << subscriber.messageCount() << " of " << queued.size();
  std::vector<int> arrived;
  for (const auto& message : subscriber.messages()) arrived.push_back(std::stoi(message.payload));
  EXPECT_EQ(arrived, queued);
  EXPECT_TRUE(m.client().data().deviceState);
}

TEST(ClientLimits, OversizedPayloadIsRefusedBeforeReachingTheLibrary) {
  ClientModel m(R"({"brokerAddress": "127.0.0.1:1", "clientID": "oversized"})",
                R"({"class": "Topic", "name": "t", "config": {"topic": "t", "payload": "x"}})");
  m.prepare();
  const char byte = 0;
  // The length is never used to read: the check comes first.
  auto result = m.client().publish(now(), m.child<Topic>("t"), &byte, std::size_t{2147483648u}, 0, false, nullptr);
  EXPECT_EQ(result.error(), makeMosquittoError(MOSQ_ERR_PAYLOAD_SIZE));
  // Nothing was sent, and the topic learns so.
  result = m.client().publish(now(), m.child<Topic>("t"), &byte, 1, 0, false, nullptr);
  EXPECT_EQ(result.error(), makeMosquittoError(MOSQ_ERR_NO_CONN));
}

// An MQTT 5 broker learns the largest packet the client takes and drops larger ones; the
// messages after it still arrive.
TEST(ClientLimits, AnMqtt5BrokerSendsNothingLargerThanTheClientTakes) {
  Broker broker;
  broker.start();
  TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  ClientModel m(clientConfig(broker.port(), "size"),
                R"({"class": "Command", "name": "big", "config": {"topic": "size/big",
                     "payload": [{"@DataPoint": {"dataPoint": "p", "jsonPath": "$.v"}}]}},
                   {"class": "Command", "name": "after", "config": {"topic": "size/after",
                     "payload": [{"@DataPoint": {"dataPoint": "p", "jsonPath": "$.v"}}]}})",
                R"({"name": "p", "type": "integer", "value": 0})");
  m.prepare();
  auto& big = m.child<Command>("big");
  auto& after = m.child<Command>("after");
  m.client().activate();
  ASSERT_TRUE(eventually([&] { return big.subscribeData().subscribed && after.subscribeData().subscribed; }));
  std::string oversized = R"({"v": 2, "pad": ")";
  oversized.append(Client::kMaxIncomingPacketSize, 'x');
  peer.publishAndWait("size/big", oversized + R"("})", 1, false, nullptr, 30s);
  peer.publishAndWait("size/after", R"({"v": 3})");
  ASSERT_TRUE(eventually([&] { return after.receivedEvent().raisedCount() == 1; }));
  EXPECT_EQ(big.receivedEvent().raisedCount(), 0u) << "the oversized message arrived";
  EXPECT_TRUE(m.client().data().deviceState);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
