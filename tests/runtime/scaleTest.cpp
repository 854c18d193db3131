// A thousand clients in one runner against one broker: nothing in the connection engine may limit
// the number of clients (select() refuses descriptors from 1024 on), and a stop stays prompt.
#include <sys/resource.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "broker.hpp"
#include "loopbackPort.hpp"
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

// Every twentieth client's broker is `closedPort` when there is one.
std::string scaleModel(int port, int clients = kClients, int closedPort = 0) {
  std::string points, elements;
  for (int i = 0; i < clients; ++i) {
    const auto n = std::to_string(i), comma = std::string(i > 0 ? "," : "");
    points += comma + R"({"name": "p)" + n + R"(", "type": "integer", "value": 0})";
    elements += comma + replaced(replaced(R"({"skill": "MQTT", "class": "Client", "name": "cN",
      "config": {"brokerAddress": "127.0.0.1:PORT", "clientID": "scale-N"}, "children": [
      {"class": "Topic", "name": "t", "config": {"topic": "scale/N/state", "payload": {"@DataPoint": "pN"}}},
      {"class": "Command", "name": "set", "config": {"topic": "scale/N/set",
        "payload": [{"@DataPoint": {"dataPoint": "pN", "jsonPath": "$"}}]}}]})", "N", n),
        "PORT", std::to_string(closedPort != 0 && i % 20 == 0 ? closedPort : port));
  }
  return R"({"dataPoints": [)" + points + R"(], "elements": [)" + elements + "]}";
}

// The broker, started from here, needs a descriptor per client too.
void raiseDescriptorLimit() {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  ::setrlimit(RLIMIT_NOFILE, &(limit.rlim_cur = limit.rlim_max, limit));
}

TEST(RunnerScale, AThousandClientsConnectTakeCommandsAndStopOnTime) {
  raiseDescriptorLimit();
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

TEST(RunnerScale, TheStatusViewOfThousandsOpensWithASummaryAndShowsTheUnreachableFirst) {
  raiseDescriptorLimit();
  testing::Broker broker({.verboseLog = false});
  broker.start();
  testing::TempDir dir;
  const int clients = 2 * kClients, unreachable = clients / 20;
  const auto model = dir.writeFile("view.json", scaleModel(broker.port(), clients, testing::freeLoopbackPort()));
  Runner runner({"run", model.string()}, {}, true);
  const auto counts = [](int n, std::string what) { return std::to_string(n) + " " + what; };
  EXPECT_TRUE(runner.waitForLine(holds({counts(clients - unreachable, "of ") + counts(clients, "connected")}), 60s))
      << runner.output().substr(runner.output().size() - std::min<std::size_t>(runner.output().size(), 8000));
  EXPECT_TRUE(runner.waitForLine(holds({counts(unreachable, "clients  system 111: Connection refused")})));
  runner.signal(SIGTERM);
  EXPECT_EQ(runner.waitForExit(20s), 0);

  // Every frame fits the screen; the first clients shown are unreachable ones (every twentieth).
  const auto output = runner.output();
  std::vector<std::string> frames;
  for (std::size_t at = output.find("\x1b[H\x1b[2J"), next; at != std::string::npos; at = next) {
    next = output.find("\x1b[H\x1b[2J", at + 1);
    frames.push_back(output.substr(at, next == std::string::npos ? std::string::npos : next - at));
  }
  ASSERT_GE(frames.size(), 2u);
  for (const auto& frame : frames) EXPECT_LE(std::ranges::count(frame, '\n'), kTerminalRows) << frame;
  const auto& last = frames.back();
  EXPECT_LT(last.find("Client c0 "), last.find("Client c20 ")) << last;
  EXPECT_LT(last.find("Client c20 "), last.find("Client c1 ")) << last;
}

TEST(RunnerScale, AClientWithoutADescriptorNamesTheOpenFileLimit) {
  testing::TempDir dir;
  const auto model = dir.writeFile("limit.json", R"({"elements": [{"skill": "MQTT", "class": "Client", "name": "c",
    "config": {"brokerAddress": "127.0.0.1:)" + std::to_string(testing::freeLoopbackPort()) +
                                                     R"("}, "tasks": {"reconnect": "200ms"}}]})");
  Runner runner({"run", model.string(), "--events"});
  ASSERT_TRUE(runner.waitForLine(holds({R"("type":"client")", "Connection refused"}))) << runner.errors();
  // For a while every descriptor number the runner may use is taken (0 to 2 by its standard streams).
  rlimit limit{};
  ASSERT_EQ(::prlimit(runner.pid(), RLIMIT_NOFILE, nullptr, &limit), 0);
  const rlimit three{3, limit.rlim_max};
  ASSERT_EQ(::prlimit(runner.pid(), RLIMIT_NOFILE, &three, nullptr), 0);
  EXPECT_TRUE(runner.waitForLine(holds({R"("error":"Corvane.MQTTClient 15: Too many open files: the process's )"
                                        R"(open-file limit is 3 (a client takes up to 4 descriptors)"})))
      << runner.output();
  ::prlimit(runner.pid(), RLIMIT_NOFILE, &limit, nullptr);
  runner.signal(SIGTERM);
  EXPECT_EQ(runner.waitForExit(10s), 0) << runner.errors();
}

}  // namespace
}  // namespace corvane::run
