// The delivery ledger of `corvane-run run`: every publish run ends in exactly one bucket, and the
// confirmed ones are what a subscriber on the broker sees.
#include <gtest/gtest.h>

#include <cstdint>
#include <regex>

#include "broker.hpp"
#include "runnerProcess.hpp"
#include "tempDir.hpp"
#include "testPeer.hpp"

namespace corvane::run {
namespace {

struct TopicCounts {
  std::uint64_t runs = 0, notConnected = 0, confirmed = 0, failed = 0, refused = 0, unconfirmed = 0, pending = 0;
  std::uint64_t settled() const { return notConnected + confirmed + failed + refused + unconfirmed; }
};

// A count of the line, or the sum of the counts of an error map ({"CODE TEXT":N,...}).
std::uint64_t member(const std::string& line, const std::string& name) {
  std::smatch match;
  if (std::regex_search(line, match, std::regex("\"" + name + "\":([0-9]+)"))) return std::stoull(match[1]);
  if (!std::regex_search(line, match, std::regex("\"" + name + "\":\\{([^}]*)\\}"))) {
    throw std::runtime_error("no \"" + name + "\" in " + line);
  }
  std::uint64_t sum = 0;
  const std::string map = match[1];
  const std::regex count(":([0-9]+)");
  for (auto it = std::sregex_iterator(map.begin(), map.end(), count); it != std::sregex_iterator(); ++it) {
    sum += std::stoull((*it)[1]);
  }
  return sum;
}

// The counts of one topic of a ledger line.
TopicCounts countsOf(const std::string& ledgerLine, std::string_view element) {
  const auto at = ledgerLine.find(R"({"element":")" + std::string(element) + "\"");
  if (at == std::string::npos) throw std::runtime_error("no " + std::string(element) + " in " + ledgerLine);
  const auto line = ledgerLine.substr(at, ledgerLine.find(R"("lastPublish")", at) - at);
  return {member(line, "runs"),    member(line, "notConnected"), member(line, "confirmed"), member(line, "failed"),
          member(line, "refused"), member(line, "unconfirmed"),  member(line, "pending")};
}

// Three topics every 50 ms: one the broker confirms, one it refuses (ACL, an MQTT 5 reason code),
// one larger than the broker takes, which is never sent.
constexpr std::string_view kModel = R"({"elements": [{"skill": "MQTT", "class": "Client", "name": "b",
  "config": {"brokerAddress": "127.0.0.1:PORT", "clientID": "ledger-e2e", "mqttVersion": "5"},
  "tasks": {"reconnect": "100ms"},
  "children": [
    {"class": "Topic", "name": "level", "config": {"topic": "t/level", "qos": 1, "payload": "up"}, "tasks": {"publish": "50ms"}},
    {"class": "Topic", "name": "denied", "config": {"topic": "t/denied", "qos": 1, "payload": "x"}, "tasks": {"publish": "50ms"}},
    {"class": "Topic", "name": "big", "config": {"topic": "t/big", "qos": 1, "payload": "BIG"}, "tasks": {"publish": "50ms"}}]}]})";

// The broker stopped beyond the 5 s grace: runs go unconfirmed, and leave that bucket when the
// answers come late. At the end each run is in exactly one bucket, the errors under their codes.
TEST(Ledger, EveryRunIsCountedOnceAndConfirmedOnesReachTheSubscriber) {
  testing::Broker broker({.acl = std::vector<testing::AclRule>{{.access = testing::AclAccess::read, .topic = "#"},
                                                               {.access = testing::AclAccess::readwrite, .topic = "t/level"}},
                          .extraConfig = {"max_packet_size 100"}});
  broker.start();
  testing::TestPeer subscriber(testing::PeerOptions{.port = broker.port()});
  ASSERT_TRUE(subscriber.connect().accepted());
  subscriber.subscribe("t/#", 1);
  testing::TempDir dir{"corvane-ledger"};
  const auto text = replaced(replaced(std::string(kModel), "PORT", std::to_string(broker.port())), "BIG", std::string(200, 'x'));
  Runner runner({"run", dir.writeFile("ledger.json", text).string(), "--events", "--ledger-interval", "1"});
  ASSERT_TRUE(runner.waitForLine(holds({R"("event":"connected")"}))) << runner.output();

  // The next periodic line of a topic whose counts satisfy `until`; each one adds up, pending runs included.
  auto nextLedger = [&](std::string_view element, const std::function<bool(const TopicCounts&)>& until) {
    return runner.waitForLine(
        [&, skip = runner.lines().size(), seen = std::size_t{0}](const std::string& line) mutable {
          if (seen++ < skip || !holds({R"("type":"ledger")"})(line)) return false;
          const auto n = countsOf(line, element);
          EXPECT_EQ(n.runs, n.settled() + n.pending) << line;
          return until(n);
        },
        10s);
  };
  ASSERT_TRUE(nextLedger("b/level", [](const TopicCounts& n) { return n.confirmed > 10; })) << runner.output();
  ASSERT_TRUE(nextLedger("b/denied", [](const TopicCounts& n) { return n.refused > 3; })) << runner.output();
  ASSERT_TRUE(nextLedger("b/big", [](const TopicCounts& n) { return n.failed > 3; })) << runner.output();
  broker.pause();
  ASSERT_TRUE(nextLedger("b/level", [](const TopicCounts& n) { return n.unconfirmed > 0; })) << runner.output();
  broker.resume();
  ASSERT_TRUE(nextLedger("b/level", [](const TopicCounts& n) { return n.unconfirmed == 0; })) << runner.output();

  runner.signal(SIGTERM);
  ASSERT_EQ(runner.waitForExit(10s), 0) << runner.errors();
  const struct {
    const char* element;
    std::string code;  // of the bucket's errors; empty: confirmed
  } topics[] = {{"b/level", ""}, {"b/denied", "refused\":{\"Mosquitto 135: Not authorized"},
                {"b/big", "failed\":{\"Mosquitto 25: Oversized packet"}};
  // The last ledger line is the one after the shut-down, before the last line of all.
  const auto ledgers = runner.linesHolding({R"("type":"ledger")"});
  ASSERT_TRUE(!ledgers.empty() && runner.lines().size() >= 2 && ledgers.back() == runner.lines().end()[-2]);
  EXPECT_TRUE(holds({R"("type":"stopped")"})(runner.lines().back())) << runner.lines().back();
  const auto& last = ledgers.back();
  for (const auto& [element, code] : topics) {
    SCOPED_TRACE(element);
    const auto end = countsOf(last, element);
    EXPECT_EQ(end.pending, 0u) << last;
    EXPECT_EQ(end.runs, end.settled()) << last;
    // Only a publication still in flight when the run stops may stay unconfirmed.
    EXPECT_LE(end.unconfirmed, 1u) << last;
    const auto bucket = code.empty() ? end.confirmed : code.starts_with("refused") ? end.refused : end.failed;
    EXPECT_EQ(bucket + end.unconfirmed, end.runs - end.notConnected) << last;
    if (!code.empty()) {
      EXPECT_NE(last.find(code), std::string::npos) << last;
    } else {
      // Each confirmed publication was acknowledged by the broker, which hands it to the subscriber.
      EXPECT_TRUE(subscriber.waitForCount(end.confirmed, 3s)) << last << "\nseen " << subscriber.messageCount();
      EXPECT_FALSE(subscriber.waitForCount(end.confirmed + end.unconfirmed + 1, 200ms))
          << last << "\nseen " << subscriber.messageCount();
    }
  }
}

}  // namespace
}  // namespace corvane::run
