// Publications from several threads at once: a subscriber must receive every publication attempted
// while connected, and each must be confirmed to its topic.
#include <gtest/gtest.h>

#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include "broker.hpp"
#include "clientModel.hpp"
#include "testPeer.hpp"
#include "topic/topic.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;
using namespace std::chrono_literals;

constexpr int kTopics = 8;
constexpr int kThreads = 4;

class ConcurrentPublishing : public ::testing::Test {
 protected:
  // Eight topics at QoS 1, each published every `cycle` when the model's tasks run.
  void build(std::string_view cycle) {
    std::string children;
    for (int i = 0; i < kTopics; ++i) {
      children += std::string(i ? "," : "") + R"({"class": "Topic", "name": "t)" + std::to_string(i) +
                  R"(", "config": {"topic": "load/t)" + std::to_string(i) +
                  R"(", "QoS": 1, "payload": "sample"}, "tasks": {"publish": ")" + std::string(cycle) + R"("}})";
    }
    model.emplace(clientConfig(broker.port(), "load"), children);
    model->prepare();
  }
  Topic& topic(int i) { return model->child<Topic>("t" + std::to_string(i)); }
  void expectEveryPublicationArrivedAndConfirmed(std::uint64_t attempted) {
    auto confirmed = [&] {
      std::uint64_t sum = 0;
      for (int i = 0; i < kTopics; ++i) sum += topic(i).publishedEvent().raisedCount();
      return sum;
    };
    EXPECT_TRUE(peer->waitForCount(attempted, 60s)) << peer->messageCount() << " of " << attempted << " received";
    EXPECT_TRUE(eventually([&] { return confirmed() == attempted; }, 10s)) << confirmed() << " of " << attempted;
    EXPECT_EQ(peer->messageCount(), attempted);
  }
  void SetUp() override {
    broker.start();
    peer.emplace(PeerOptions{.port = broker.port()});
    ASSERT_TRUE(peer->connect().accepted()) << broker.logReport();
    peer->subscribe("load/#", 1);
  }

  // The subscriber must get every message the broker accepts, however far behind it is.
  Broker broker{BrokerOptions{.maxQueuedMessages = 0, .verboseLog = false}};
  std::optional<TestPeer> peer;
  std::optional<ClientModel> model;
};

TEST_F(ConcurrentPublishing, FourThreadsCallingPublishTogetherLoseNothing) {
  constexpr int kPerTopic = 1250;  // 10,000 publications in all
  build("1h");
  ASSERT_TRUE(model->connect()) << broker.logReport();
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
  threads.clear();
  ASSERT_TRUE(model->client().data().deviceState) << "the connection was lost: " << broker.logReport();
  expectEveryPublicationArrivedAndConfirmed(std::uint64_t{kTopics} * kPerTopic);
}

TEST_F(ConcurrentPublishing, RunnerWithFourWorkersLosesNothing) {
  build("1ms");
  auto topicRuns = [&] {
    std::uint64_t sum = 0;
    for (const auto& entry : model->model.tasks()) sum += entry->role.name == "publish" ? entry->runs.load() : 0;
    return sum;
  };
  // Connected before the tasks start, and kept so through their post-operational stages by this
  // extra user: every run is an attempt, and nothing queued is dropped by a disconnection before
  // it is counted.
  ASSERT_TRUE(model->connect()) << broker.logReport();
  model->model.start(kThreads);
  ASSERT_TRUE(eventually([&] { return topicRuns() >= 10000; }, 60s));
  model->model.stop();
  ASSERT_TRUE(model->client().data().deviceState) << "the connection was lost: " << broker.logReport();
  expectEveryPublicationArrivedAndConfirmed(topicRuns());
  model->client().deactivate();
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
