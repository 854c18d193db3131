// The delivery ledger of `corvane-run run`: every publish run ends in exactly one bucket, and the
// confirmed ones are what a subscriber on the broker sees.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <mutex>
#include <regex>
#include <string>
#include <stop_token>
#include <thread>
#include <vector>

#include "broker.hpp"
#include "loopbackPort.hpp"
#include "runnerProcess.hpp"
#include "tempDir.hpp"
#include "testPeer.hpp"

namespace corvane::run {
namespace {

// A TCP relay in front of the broker that the test opens and closes: closed, it refuses new
// connections and cuts the relayed ones, so the runner sees its broker go down while the test's
// subscriber, connected to the broker directly, keeps receiving.
class TcpGate {
 public:
  explicit TcpGate(int targetPort) : targetPort_(targetPort) {
    open();
    thread_ = std::jthread([this](std::stop_token stop) {
      while (!stop.stop_requested()) relay();
    });
  }
  ~TcpGate() {
    thread_ = {};  // stopped and joined before the sockets close
    close();
  }
  int port() const noexcept { return port_; }
  void open() {
    std::lock_guard lock(mutex_);
    if (listener_ >= 0) return;
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    auto address = testing::loopback(port_);
    socklen_t length = sizeof address;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listener_, 16) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
      throw std::runtime_error("the gate cannot listen on port " + std::to_string(port_));
    }
    port_ = ntohs(address.sin_port);
  }
  void close() {
    std::lock_guard lock(mutex_);
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    for (auto [a, b] : pairs_) {
      ::close(a);
      ::close(b);
    }
    pairs_.clear();
  }

 private:
  // Accepts and forwards what is there, for up to 20 ms; a socket the gate closed meanwhile is skipped.
  void relay() {
    std::vector<pollfd> fds;
    {
      std::lock_guard lock(mutex_);
      if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
      for (auto [a, b] : pairs_) fds.insert(fds.end(), {{a, POLLIN, 0}, {b, POLLIN, 0}});
    }
    if (::poll(fds.data(), fds.size(), 20) <= 0) return;
    std::lock_guard lock(mutex_);
    for (const auto& p : fds) {
      if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
      if (p.fd == listener_) {
        const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        const int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        auto address = testing::loopback(targetPort_);
        pairs_.emplace_back(client, upstream);
        if (client >= 0 && ::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) continue;
      }
      // The pair this socket belongs to (the last one for a failed accept): forward, or close it.
      auto pair = std::find_if(pairs_.begin(), pairs_.end(), [&](auto ab) { return p.fd == ab.first || p.fd == ab.second; });
      if (p.fd == listener_) pair = pairs_.end() - 1;
      if (pair == pairs_.end()) continue;
      auto [a, b] = *pair;
      char buffer[16384];
      const ssize_t n = p.fd == listener_ ? -1 : ::read(p.fd, buffer, sizeof buffer);
      if (n > 0 && ::send(p.fd == a ? b : a, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) == n) continue;
      ::close(a);
      ::close(b);
      pairs_.erase(pair);
    }
  }

  int targetPort_;
  int port_ = 0;
  std::mutex mutex_;  // guards listener_, pairs_
  int listener_ = -1;
  std::vector<std::pair<int, int>> pairs_;
  std::jthread thread_;
};

struct TopicCounts {
  std::uint64_t runs = 0, notConnected = 0, confirmed = 0, failed = 0, refused = 0, unconfirmed = 0, pending = 0;
};

std::uint64_t member(const std::string& line, const std::string& name) {
  std::smatch match;
  if (!std::regex_search(line, match, std::regex("\"" + name + "\":([0-9]+)"))) {
    throw std::runtime_error("no \"" + name + "\" in " + line);
  }
  return std::stoull(match[1]);
}

// Sums the counts of one error map ({"CODE TEXT":N,...}).
std::uint64_t mapTotal(const std::string& line, const std::string& name) {
  auto at = line.find("\"" + name + "\":{");
  if (at == std::string::npos) throw std::runtime_error("no \"" + name + "\" in " + line);
  auto end = line.find('}', at);
  std::string map = line.substr(at, end - at);
  std::uint64_t sum = 0;
  std::regex count(":([0-9]+)");
  for (auto it = std::sregex_iterator(map.begin(), map.end(), count); it != std::sregex_iterator(); ++it) {
    sum += std::stoull((*it)[1]);
  }
  return sum;
}

TopicCounts countsOf(const std::string& ledgerLine) {
  return {member(ledgerLine, "runs"),        member(ledgerLine, "notConnected"), member(ledgerLine, "confirmed"),
          mapTotal(ledgerLine, "failed"),     mapTotal(ledgerLine, "refused"),    member(ledgerLine, "unconfirmed"),
          member(ledgerLine, "pending")};
}

constexpr std::string_view kModel = R"({
  "dataPoints": [{"name": "p/level", "type": "string", "value": VALUE}],
  "elements": [
    {"skill": "MQTT", "class": "Client", "name": "b",
     "config": {"brokerAddress": "127.0.0.1:PORT", "clientID": "ledger-e2e", "mqttVersion": "5"},
     "tasks": {"reconnect": "100ms"},
     "children": [
       {"class": "Topic", "name": "level",
        "config": {"topic": "t/level", "qos": 1, "payload": {"@DataPoint": "p/level"}},
        "tasks": {"publish": "50ms"}}
     ]}
  ]
})";

// How the test gets in the way: not at all, a gate it closes and opens, a broker it stops (SIGSTOP).
enum class Disturbance { none, gate, pause };

struct LedgerCase {
  const char* name;
  testing::BrokerOptions broker;
  std::string value;  // of the published data point
  Disturbance disturbance;
  std::string_view bucket;  // where every run while connected goes
  std::string code = {};       // the error code text counted in "failed" or "refused"
};

TEST(Ledger, EveryRunIsCountedOnceAndConfirmedOnesReachTheSubscriber) {
  const LedgerCase cases[] = {
      {"healthy broker: every run is confirmed and seen by the subscriber", {}, "\"up\"", Disturbance::none,
       "confirmed"},
      {"broker down half of the time: runs meanwhile are counted, none is lost from the sum", {}, "\"up\"",
       Disturbance::gate, "confirmed"},
      {"broker stopped beyond the grace: runs go unconfirmed, and leave it when the answers come late", {}, "\"up\"",
       Disturbance::pause, "confirmed"},
      {"the broker refuses what the client may not publish (MQTT 5 reason code)",
       {.acl = std::vector<testing::AclRule>{{.access = testing::AclAccess::read, .topic = "#"}}}, "\"short\"",
       Disturbance::none, "refused", "Mosquitto 135: Not authorized"},
      {"a message larger than the broker takes is never sent", {.extraConfig = {"max_packet_size 100"}},
       "\"" + std::string(200, 'x') + "\"", Disturbance::none, "failed", "Mosquitto 25: Oversized packet"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::Broker broker(c.broker);
    broker.start();
    testing::TestPeer subscriber(testing::PeerOptions{.port = broker.port()});
    ASSERT_TRUE(subscriber.connect().accepted());
    subscriber.subscribe("t/level", 1);
    TcpGate gate(broker.port());
    testing::TempDir dir{"corvane-ledger"};
    auto text = replaced(std::string(kModel), "PORT", std::to_string(gate.port()));
    auto model = dir.writeFile("ledger.json", replaced(text, "VALUE", c.value));

    Runner runner({"run", model.string(), "--events", "--ledger-interval", "1"});
    ASSERT_TRUE(runner.waitForLine(holds({R"("event":"connected")"}))) << runner.output();
    // The periodic line comes while the model runs and adds up, pending runs included.
    std::size_t ledgerLines = 0;
    auto nextLedger = [&](const std::function<bool(const TopicCounts&)>& until) {
      return runner.waitForLine(
          [&, seen = std::size_t{0}](const std::string& line) mutable {
            if (!holds({R"("type":"ledger")"})(line) || ++seen <= ledgerLines) return false;
            ++ledgerLines;
            auto n = countsOf(line);
            EXPECT_EQ(n.runs, n.notConnected + n.confirmed + n.failed + n.refused + n.unconfirmed + n.pending) << line;
            return until(n);
          },
          10s);
    };
    if (c.disturbance == Disturbance::pause) {
      broker.pause();
      ASSERT_TRUE(nextLedger([](const TopicCounts& n) { return n.unconfirmed > 0; })) << runner.output();
      broker.resume();
      ASSERT_TRUE(nextLedger([](const TopicCounts& n) { return n.unconfirmed == 0; })) << runner.output();
    }
    for (int i = 0; c.disturbance == Disturbance::gate && i < 2; ++i) {
      // Closed until the ledger has counted a run while not connected, open until connected again.
      const auto before = countsOf(*nextLedger([](const TopicCounts&) { return true; })).notConnected;
      gate.close();
      ASSERT_TRUE(nextLedger([&](const TopicCounts& n) { return n.notConnected > before; })) << runner.output();
      gate.open();
      ASSERT_TRUE(runner.waitForLine([&, n = 0](const std::string& line) mutable {
        return holds({R"("event":"connected")"})(line) && ++n == i + 2;
      }, 10s)) << runner.output();
    }
    ASSERT_TRUE(nextLedger([&](const TopicCounts& n) {
      return (c.bucket == "confirmed" ? n.confirmed : c.bucket == "refused" ? n.refused : n.failed) > 10;
    })) << runner.output();

    runner.signal(SIGTERM);
    ASSERT_EQ(runner.waitForExit(10s), 0) << runner.errors();
    const auto& lines = runner.lines();
    ASSERT_GE(lines.size(), 2u);
    const std::string& last = lines[lines.size() - 2];
    ASSERT_TRUE(holds({R"("type":"ledger")", R"("element":"b/level")"})(last)) << last;
    auto end = countsOf(last);
    EXPECT_EQ(end.pending, 0u) << last;
    EXPECT_EQ(end.runs, end.notConnected + end.confirmed + end.failed + end.refused + end.unconfirmed) << last;
    if (!c.code.empty()) {
      EXPECT_NE(last.find("\"" + std::string(c.bucket) + "\":{\"" + c.code + "\":"), std::string::npos) << last;
    }
    // Each confirmed publication was acknowledged by the broker, which hands it to the subscriber.
    ASSERT_TRUE(subscriber.waitForCount(end.confirmed, 3s)) << last << "\nseen " << subscriber.messageCount();
    if (c.disturbance != Disturbance::none) {
      // A publication the broker took but whose acknowledgement the cut connection lost is
      // unconfirmed here and still reaches the subscriber.
      EXPECT_GE(subscriber.messageCount(), end.confirmed) << last;
    } else {
      // Only a publication still in flight when the run stops may stay unconfirmed.
      const auto bucket = c.bucket == "confirmed" ? end.confirmed : c.bucket == "refused" ? end.refused : end.failed;
      EXPECT_LE(end.unconfirmed, 1u) << last;
      EXPECT_EQ(bucket + end.unconfirmed, end.runs - end.notConnected) << last;
      EXPECT_FALSE(subscriber.waitForCount(end.confirmed + end.unconfirmed + 1, 200ms))
          << last << "\nseen " << subscriber.messageCount();
    }
  }
}

}  // namespace
}  // namespace corvane::run
