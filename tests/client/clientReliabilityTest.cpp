// Connection churn under load and connects that never complete: no subscription may go missing,
// no publication may be dropped while a sending call is in progress, and shutdown stays bounded.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include <corvane/data.hpp>

#include "broker.hpp"
#include "clientModel.hpp"
#include "command/command.hpp"
#include "errors/mosquittoErrors.hpp"
#include "testPeer.hpp"
#include "topic/topic.hpp"
#include "waiting.hpp"

namespace corvane::plugins::mqttClient::testing {
namespace {

using namespace std::chrono_literals;
using corvane::testing::Broker;
using corvane::testing::TestPeer;

// A loopback listener that takes no connection: backlog 0 and one connection already queued, so
// every further connect waits for the kernel to give up.
class DeafListener {
 public:
  DeafListener() {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 0);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < 2; ++i) {
      int queued = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof address);
      queued_.push_back(queued);
    }
  }
  ~DeafListener() {
    for (int fd : queued_) close(fd);
    close(listener_);
  }
  int port() const noexcept { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> queued_;
};

TEST(ClientShutdown, AConnectThatNeverCompletesDoesNotHoldCleanupOrDestruction) {
  DeafListener deaf;
  std::chrono::steady_clock::duration took{};
  {
    ClientModel m(clientConfig(deaf.port(), "deaf", R"("keepaliveIntervalS": 5)"));
    m.prepare();
    m.client().activate();
    ASSERT_TRUE(eventually([&] { return m.client().connectionState() == ConnectionState::Connecting; }));
    // libmosquitto's keepalive rule ends the attempt; the record says so while the client waits.
    ASSERT_TRUE(eventually([&] { return m.client().data().error == makeMosquittoError(MOSQ_ERR_KEEPALIVE); }, 15s))
        << corvane::data::describeError(m.client().data().error);
    m.client().activate();  // a second user keeps the client enabled
    m.model().runTaskOnce("broker", "reconnect");
    ASSERT_TRUE(eventually([&] { return m.client().connectionState() == ConnectionState::Connecting; }));
    const auto start = std::chrono::steady_clock::now();
    m.client().cleanup();
    m.model().shutdown();
    took = std::chrono::steady_clock::now() - start;
  }
  EXPECT_LT(took, 6s);
}

TEST(ClientShutdown, AHostNameThatCannotBeLookedUpDoesNotHoldCleanup) {
  // A name only the resolver can answer; whatever it answers, cleanup does not wait for it.
  ClientModel m(clientConfig("lookup.invalid", 1883, "lookup"));
  m.prepare();
  m.client().activate();
  const auto start = std::chrono::steady_clock::now();
  m.client().cleanup();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 6s);
}

// Every reconnection subscribes every command again, even while topics publish as fast as they
// can from other threads (a subscription skipped then would stay missing for the connection).
TEST(ClientChurn, EveryConnectionSubscribesEveryCommandWhilePublishersRun) {
  Broker broker;
  broker.start();
  constexpr int kConnections = 200;
  std::string children;
  for (int i = 0; i < 4; ++i) {
    children += R"({"class": "Topic", "name": "t)" + std::to_string(i) + R"(", "config": {"topic": "load/)" +
                std::to_string(i) + R"(", "payload": "x"}},)";
  }
  children += R"({"class": "Command", "name": "set", "config": {"topic": "churn/set",
    "payload": [{"@DataPoint": {"dataPoint": "target", "jsonPath": "$"}}]}})";
  ClientModel m(clientConfig(broker.port(), "churn"), children, R"({"name": "target", "type": "integer"})");
  m.prepare();
  auto& client = m.client();
  auto& command = m.child<Command>("set");
  auto target = m.model().dataPoint("target");
  TestPeer sender({.port = broker.port(), .clientId = "churn-sender"});
  ASSERT_TRUE(sender.connect().accepted());

  std::atomic<bool> running{true};
  std::atomic<long> publications{0};
  std::vector<std::thread> publishers;
  for (int i = 0; i < 4; ++i) {
    publishers.emplace_back([&, i] {
      auto& topic = m.child<Topic>(std::string("t").append(std::to_string(i)));
      // Faster than any task cycle: tens of thousands of publications a second in all.
      while (running) {
        topic.publish(corvane::now());
        publications.fetch_add(1);
        std::this_thread::sleep_for(100us);
      }
    });
  }
  int missing = 0;
  for (int round = 1; round <= kConnections; ++round) {
    client.activate();
    ASSERT_TRUE(eventually([&] { return client.data().deviceState; })) << "connection " << round;
    if (!eventually([&] { return command.subscribeData().subscribed; }, 1s)) {
      ADD_FAILURE() << "no subscription on connection " << round;
      ++missing;
    } else {
      ASSERT_EQ(sender.publishAndWait("churn/set", std::to_string(round)), 0);
      ASSERT_TRUE(eventually([&] { return target->value() == corvane::data::Value(std::int64_t{round}); }))
          << "connection " << round;
    }
    client.deactivate();
    ASSERT_TRUE(eventually([&] { return client.connectionState() == ConnectionState::Idle; }));
  }
  running = false;
  for (auto& p : publishers) p.join();
  EXPECT_EQ(missing, 0);
  std::cout << "connections: " << kConnections << ", without subscription: " << missing
            << ", publications attempted: " << publications.load() << "\n";
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
  m.client().activate();
  ASSERT_TRUE(eventually([&] { return m.client().data().deviceState; }));

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
      ASSERT_EQ(result.error(), make_error_code(CustomError::OutgoingQueueFull)) << result.error().message();
      ++refused;
    }
    if (sequence % 100 == 0) peak = std::max(peak, residentKiB());
    std::this_thread::sleep_for(1ms);
  }
  broker.resume();
  std::cout << "queued " << queued.size() << ", refused " << refused << ", resident set grew by "
            << (peak - before) / 1024 << " MiB\n";
  EXPECT_LE(queued.size(), Client::kMaxQueuedMessages);
  EXPECT_GT(refused, 0);
  EXPECT_LE(peak - before, 64 * 1024);

  ASSERT_TRUE(subscriber.waitForCount(queued.size(), 30s)) << subscriber.messageCount() << " of " << queued.size();
  std::vector<int> arrived;
  for (const auto& message : subscriber.messages()) arrived.push_back(std::stoi(message.payload));
  EXPECT_EQ(arrived, queued);
  EXPECT_TRUE(m.client().data().deviceState);
}

}  // namespace
}  // namespace corvane::plugins::mqttClient::testing
