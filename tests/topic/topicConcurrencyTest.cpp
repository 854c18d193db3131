// Publications from several runner threads at once. Client::publish reports success without
// sending when another sending call holds the client's libmosquitto lock; these tests count what a
// subscriber receives against the publications attempted while connected.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdio>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <broker.hpp>
#include <testPeer.hpp>

#include "clientModel.hpp"
#include "errors/customError.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using corvane::testing::Broker;
using corvane::testing::BrokerOptions;
using corvane::testing::PeerOptions;
using corvane::testing::TestPeer;
using testing::ClientModel;
using testing::clientModelText;
using testing::waitUntil;
using namespace std::chrono_literals;

constexpr int kTopics = 8;
constexpr int kThreads = 4;

std::string topicsConfig(std::string_view tasks) {
  std::string children;
  for (int i = 0; i < kTopics; ++i) {
    if (i) children += ",\n";
    children += R"({"class": "Topic", "name": "t)" + std::to_string(i) + R"(", "config": {"topic": "load/t)" +
                std::to_string(i) + R"(", "QoS": 1, "payload": "sample"}, "tasks": {"publish": ")" +
                std::string(tasks) + R"("}})";
  }
  return children;
}

class ConcurrentPublishing : public ::testing::Test {
 protected:
  void SetUp() override {
    broker.start();
    peer.emplace(PeerOptions{.port = broker.port()});
    ASSERT_TRUE(peer->connect().accepted()) << broker.logReport();
    peer->subscribe("load/#", 1);
  }
  // Waits until the subscriber has `expected` messages or has received nothing new for a second.
  std::size_t settledCount(std::size_t expected) {
    std::size_t last = 0;
    auto lastChange = std::chrono::steady_clock::now();
    const auto deadline = lastChange + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
      auto count = peer->messageCount();
      if (count >= expected) return count;
      if (count != last) {
        last = count;
        lastChange = std::chrono::steady_clock::now();
      } else if (std::chrono::steady_clock::now() - lastChange > 1s) {
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
    return peer->messageCount();
  }
  std::uint64_t confirmations(const ClientModel& clients) const {
    std::uint64_t sum = 0;
    for (int i = 0; i < kTopics; ++i) sum += clients.topic(std::string("t").append(std::to_string(i)))->publishedEvent().raisedCount();
    return sum;
  }
  void judge(const char* how, std::uint64_t attempted, std::uint64_t confirmed, std::size_t received) {
    const auto summary = std::string(how) + ": " + std::to_string(attempted) + " publications attempted while " +
                         "connected, " + std::to_string(confirmed) + " confirmed, " + std::to_string(received) +
                         " received";
    RecordProperty("attempted", std::to_string(attempted));
    RecordProperty("confirmed", std::to_string(confirmed));
    RecordProperty("received", std::to_string(received));
    std::printf("%s\n", summary.c_str());
    EXPECT_EQ(confirmed, received) << summary;
    EXPECT_EQ(received, attempted) << summary;
  }

  // The subscriber must get every message the broker accepts, however far behind it is.
  Broker broker{BrokerOptions{.maxQueuedMessages = 0, .verboseLog = false}};
  std::optional<TestPeer> peer;
};

TEST_F(ConcurrentPublishing, FourThreadsCallingPublishTogetherLoseNothing) {
  constexpr int kPerTopic = 1250;  // 10,000 publications in all
  ClientModel clients(clientModelText(broker.port(), R"("clientID": "load-direct")", topicsConfig("1h")));
  clients.activate();
  ASSERT_TRUE(clients.waitForConnected()) << broker.logReport();

  std::barrier start(kThreads);
  std::vector<std::jthread> threads;
  for (int t = 0; t < kThreads; ++t) {
    // Like the runner, a topic is only ever published by one thread at a time.
    threads.emplace_back([&, t] {
      auto first = clients.topic(std::string("t").append(std::to_string(2 * t)));
      auto second = clients.topic(std::string("t").append(std::to_string(2 * t + 1)));
      start.arrive_and_wait();
      for (int i = 0; i < kPerTopic; ++i) {
        first->publish(now());
        second->publish(now());
      }
    });
  }
  threads.clear();
  ASSERT_TRUE(clients.client->data().deviceState) << "the connection was lost: " << broker.logReport();
  const std::uint64_t attempted = std::uint64_t{kTopics} * kPerTopic;
  auto received = settledCount(attempted);
  ASSERT_TRUE(waitUntil([&] { return confirmations(clients) >= received; }, 10s));
  judge("4 threads, 8 topics, QoS 1, direct", attempted, confirmations(clients), received);
}

TEST_F(ConcurrentPublishing, RunnerWithFourWorkersLosesNothing) {
  ClientModel clients(clientModelText(broker.port(), R"("clientID": "load-runner")", topicsConfig("1ms")));
  // Runs counted from the moment the client records its connection: until then a run publishes
  // nothing, from then on each one is an attempt.
  std::atomic<std::uint64_t> runsWhenConnected{0};
  auto topicRuns = [&] {
    std::uint64_t sum = 0;
    for (const auto& entry : clients.model.tasks()) {
      if (entry->role.name == "publish") sum += entry->runs.load();
    }
    return sum;
  };
  clients.client->forEachEvent([&](const corvane::process::Event::Role& role, const auto& event) {
    if (role == corvane::process::Event::kConnected) {
      event->addListener([&](const corvane::process::Event&, TimeStamp) { runsWhenConnected = topicRuns(); });
    }
    return false;
  });
  clients.model.start(kThreads);
  ASSERT_TRUE(clients.waitForConnected()) << broker.logReport();
  std::this_thread::sleep_for(3s);
  // One more user keeps the connection through the post-operational stages, so that nothing
  // queued is dropped by the disconnection before it is counted.
  clients.client->activate();
  clients.model.stop();
  ASSERT_TRUE(clients.client->data().deviceState) << "the connection was lost: " << broker.logReport();
  const std::uint64_t attempted = topicRuns() - runsWhenConnected.load();
  auto received = settledCount(attempted);
  ASSERT_TRUE(waitUntil([&] { return confirmations(clients) >= received; }, 10s));
  judge("runner, 4 workers, 8 topics every 1 ms, QoS 1", attempted, confirmations(clients), received);
  clients.client->deactivate();
}

// A listener that never accepts, with its one-place accept queue filled: the kernel drops every
// further SYN, so a connect to it blocks (for minutes) until the listener is closed.
class UnansweredListener {
 public:
  UnansweredListener() {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 0) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("no loopback listener");
    }
    port_ = ntohs(address.sin_port);
    for (int i = 0; i < 2; ++i) {
      int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      (void)::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers_.push_back(filler);
    }
  }
  ~UnansweredListener() { close(); }
  // The blocked connect fails at its next SYN retransmission (within about 3 s).
  void close() {
    for (int fd : fillers_) ::close(fd);
    fillers_.clear();
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
  }
  int port() const { return port_; }

 private:
  int listener_ = -1;
  int port_ = 0;
  std::vector<int> fillers_;
};

// A topic reads "connected" and publishes while the connection is lost and a new connect is
// started at once: the publication is dropped without waiting for the connect, however long it
// takes, so the runner's thread is not held up.
TEST(ClientPublishDuringConnect, ReturnsAtOnceWhileAConnectHoldsTheLock) {
  UnansweredListener listener;
  ClientModel clients(clientModelText(listener.port(), R"("clientID": "load-connect")",
                                      R"({"class": "Topic", "name": "t", "config": {"topic": "load/t", "QoS": 1,
                                          "payload": "x"}})"));
  clients.activate();
  ASSERT_TRUE(waitUntil([&] { return clients.client->connectionState() == ConnectionState::Connecting; }));
  std::this_thread::sleep_for(100ms);  // into the connect call, which holds the lock
  auto topic = clients.topic("t");
  const auto before = topic->data();
  auto fastest = std::chrono::steady_clock::duration::max();
  for (int i = 0; i < 20; ++i) {
    const auto start = std::chrono::steady_clock::now();
    auto result = clients.client->publish(now(), *topic, "x", 1, 1, false, nullptr);
    fastest = std::min(fastest, std::chrono::steady_clock::now() - start);
    EXPECT_TRUE(result) << result.error().message();
  }
  ASSERT_EQ(clients.client->connectionState(), ConnectionState::Connecting) << "the connect did not block";
  EXPECT_LT(fastest, 1ms) << "Client::publish waited for the connect";
  EXPECT_EQ(topic->data().publishTime, before.publishTime);
  EXPECT_EQ(topic->data().error, before.error);
  listener.close();
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
