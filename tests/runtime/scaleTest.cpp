// A thousand clients in one runner against one broker: nothing in the connection engine may limit
// the number of clients (select() refuses descriptors from 1024 on), and a stop stays prompt.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <set>

#include "broker.hpp"
#include "runnerProcess.hpp"
#include "tempDir.hpp"
#include "testPeer.hpp"

namespace corvane::run {
namespace {

#ifdef CORVANE_INSTRUMENTED_BUILD
constexpr int kClients = 400;
#else
constexpr int kClients = 1000;
#endif

std::string scaleModel(int port) {
  std::string points, elements;
  for (int i = 0; i < kClients; ++i) {
    const auto n = std::to_string(i), comma = std::string(i > 0 ? "," : "");
    points += comma + R"({"name": "p)" + n + R"(", "type": "integer", "value": 0})";
    elements += comma + replaced(R"({"skill": "MQTT", "class": "Client", "name": "cN",
      "config": {"brokerAddress": "127.0.0.1:PORT", "clientID": "scale-N"}, "children": [
      {"class": "Topic", "name": "t", "config": {"topic": "scale/N/state", "payload": {"@DataPoint": "pN"}}},
      {"class": "Command", "name": "set", "config": {"topic": "scale/N/set",
        "payload": [{"@DataPoint": {"dataPoint": "pN", "jsonPath": "$"}}]}}]})", "N", n);
  }
  return replaced(R"({"dataPoints": [)" + points + R"(], "elements": [)" + elements + "]}", "PORT", std::to_string(port));
}

TEST(RunnerScale, AThousandClientsConnectTakeCommandsAndStopOnTime) {
  // The broker, started from here, needs a descriptor per client too.
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  ::setrlimit(RLIMIT_NOFILE, &(limit.rlim_cur = limit.rlim_max, limit));
  testing::Broker broker({.verboseLog = false});
  broker.start();
  testing::TempDir dir;
  const auto model = dir.writeFile("scale.json", scaleModel(broker.port()));
  Runner runner({"run", model.string(), "--events"});

  // Connected, and so subscribed: a command message before its subscription would be lost.
  std::set<std::string> subscribed;
  auto subscribedLine = [&](const std::string& line) {
    if (const auto at = line.find(R"("element":")") + 11; holds({R"("type":"command")", R"("state":true)"})(line)) {
      subscribed.insert(line.substr(at, line.find('"', at) - at));
    }
    return subscribed.size() == kClients;
  };
  ASSERT_TRUE(runner.waitForLine(subscribedLine, 30s)) << subscribed.size() << " subscribed\n" << runner.errors();

  testing::TestPeer sender({.port = broker.port()});
  ASSERT_TRUE(sender.connect().accepted());
  for (int i = 0; i < kClients; ++i) sender.publish("scale/" + std::to_string(i) + "/set", std::to_string(i + 1), 1);
  std::set<int> applied;
  auto appliedLine = [&](const std::string& line) {
    const auto name = line.find(R"("name":"p)"), value = line.find(R"("value":)");
    if (line.starts_with(R"({"type":"dataPoint")") && name != std::string::npos && value != std::string::npos &&
        std::stoi(line.substr(value + 8)) == std::stoi(line.substr(name + 9)) + 1) {
      applied.insert(std::stoi(line.substr(name + 9)));
    }
    return applied.size() == kClients;
  };
  ASSERT_TRUE(runner.waitForLine(appliedLine, 30s)) << applied.size() << " commands applied";

  runner.signal(SIGTERM);
  const auto stopping = Clock::now();
  EXPECT_EQ(runner.waitForExit(20s), 0);
  EXPECT_LT(Clock::now() - stopping, 6s);
}

}  // namespace
}  // namespace corvane::run
