// The delivery ledger of `corvane-run run`: every publish run ends in exactly one bucket, and the
// confirmed ones are what a subscriber on the broker sees.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "broker.hpp"
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
    listen(0);
    thread_ = std::thread([this] { relay(); });
  }
  ~TcpGate() {
    stop_ = true;
    thread_.join();
    std::lock_guard lock(mutex_);
    if (listener_ >= 0) ::close(listener_);
    for (auto [a, b] : pairs_) {
      ::close(a);
      ::close(b);
    }
  }
  TcpGate(const TcpGate&) = delete;
  TcpGate& operator=(const TcpGate&) = delete;

  int port() const noexcept { return port_; }
  void open() {
    std::lock_guard lock(mutex_);
    if (listener_ < 0) listen(port_);
  }
  void close() {
    std::lock_guard lock(mutex_);
    if (listener_ >= 0) ::close(listener_);
    listener_ = -1;
    for (auto [a, b] : pairs_) {
      ::shutdown(a, SHUT_RDWR);
      ::close(a);
      ::close(b);
    }
    pairs_.clear();
  }

 private:
  static sockaddr_in loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
  }
  // Under mutex_ (or before the thread starts).
  void listen(int port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    auto address = loopback(port);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener_, 16) != 0) {
      throw std::runtime_error("the gate cannot listen on port " + std::to_string(port));
    }
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  void relay() {
    while (!stop_) {
      std::vector<pollfd> fds;
      {
        std::lock_guard lock(mutex_);
        if (listener_ >= 0) fds.push_back({listener_, POLLIN, 0});
        for (auto [a, b] : pairs_) {
          fds.push_back({a, POLLIN, 0});
          fds.push_back({b, POLLIN, 0});
        }
      }
      if (::poll(fds.data(), fds.size(), 20) <= 0) continue;
      std::lock_guard lock(mutex_);
      for (const auto& p : fds) {
        if (!(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
        if (p.fd == listener_) {
          accept();
        } else {
          forward(p.fd);
        }
      }
    }
  }
  void accept() {
    int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    int upstream = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    auto address = loopback(targetPort_);
    if (::connect(upstream, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(client);
      ::close(upstream);
      return;
    }
    pairs_.emplace_back(client, upstream);
  }
  // A socket the gate closed meanwhile is no longer in pairs_ and is skipped.
  void forward(int from) {
    for (std::size_t i = 0; i < pairs_.size(); ++i) {
      auto [a, b] = pairs_[i];
      if (from != a && from != b) continue;
      char buffer[16384];
      ssize_t n = ::read(from, buffer, sizeof buffer);
      if (n <= 0 || ::send(from == a ? b : a, buffer, static_cast<std::size_t>(n), MSG_NOSIGNAL) != n) {
        ::close(a);
        ::close(b);
        pairs_.erase(pairs_.begin() + static_cast<std::ptrdiff_t>(i));
      }
      return;
    }
  }

  int targetPort_;
  int port_ = 0;
  std::atomic<bool> stop_{false};
  std::mutex mutex_;  // guards listener_, pairs_
  int listener_ = -1;
  std::vector<std::pair<int, int>> pairs_;
  std::thread thread_;
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
  "dataPoints": [{"name": "p/level", "type": "integer", "value": 7}],
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

struct LedgerCase {
  const char* name;
  bool brokerComesAndGoes;
};

TEST(Ledger, CountsAddUpToTheRunsAndConfirmedOnesReachTheSubscriber) {
  const LedgerCase cases[] = {
      {"healthy broker: every run is confirmed and seen by the subscriber", false},
      {"broker down half of the time: runs meanwhile are counted, none is lost from the sum", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::Broker broker;
    broker.start();
    testing::TestPeer subscriber(testing::PeerOptions{.port = broker.port()});
    ASSERT_TRUE(subscriber.connect().accepted());
    subscriber.subscribe("t/level", 1);
    TcpGate gate(broker.port());
    testing::TempDir dir{"corvane-ledger"};
    auto model = dir.writeFile("ledger.json", replaced(std::string(kModel), "PORT", std::to_string(gate.port())));

    Runner runner({"run", model.string(), "--events", "--ledger-interval", "1"});
    ASSERT_TRUE(runner.waitForLine(holds({R"("type":"event")", R"("event":"connected")"}))) << runner.output();
    if (c.brokerComesAndGoes) {
      for (int i = 0; i < 4; ++i) {
        std::this_thread::sleep_for(400ms);
        gate.close();
        std::this_thread::sleep_for(400ms);
        gate.open();
      }
      ASSERT_TRUE(runner.waitForLine(holds({R"("type":"event")", R"("event":"connected")"}), 5s));
    }
    std::this_thread::sleep_for(1s);
    // The periodic line comes while the model runs and already adds up, pending runs included.
    auto periodic = runner.waitForLine(holds({R"("type":"ledger")"}), 3s);
    ASSERT_TRUE(periodic) << runner.output();
    auto during = countsOf(*periodic);
    EXPECT_EQ(during.runs, during.notConnected + during.confirmed + during.failed + during.refused +
                               during.unconfirmed + during.pending)
        << *periodic;

    runner.signal(SIGTERM);
    ASSERT_EQ(runner.waitForExit(10s), 0) << runner.errors();
    const auto& lines = runner.lines();
    ASSERT_GE(lines.size(), 2u);
    const std::string& last = lines[lines.size() - 2];
    ASSERT_TRUE(holds({R"("type":"ledger")", R"("element":"b/level")"})(last)) << last;
    auto end = countsOf(last);
    EXPECT_EQ(end.pending, 0u) << last;
    EXPECT_EQ(end.runs, end.notConnected + end.confirmed + end.failed + end.refused + end.unconfirmed) << last;
    EXPECT_GT(end.confirmed, 10u) << last;
    EXPECT_EQ(end.failed + end.refused, 0u) << last;

    // Each confirmed publication was acknowledged by the broker, which hands it to the subscriber.
    ASSERT_TRUE(subscriber.waitForCount(end.confirmed, 3s)) << last << "\nseen " << subscriber.messageCount();
    std::this_thread::sleep_for(200ms);
    if (c.brokerComesAndGoes) {
      EXPECT_GT(end.notConnected, 0u) << last;
      // A publication the broker took but whose acknowledgement the cut connection lost is
      // unconfirmed here and still reaches the subscriber.
      EXPECT_GE(subscriber.messageCount(), end.confirmed) << last;
    } else {
      EXPECT_EQ(subscriber.messageCount(), end.confirmed) << last;
      EXPECT_EQ(end.unconfirmed, 0u) << last;
    }
  }
}

struct OutcomeCase {
  const char* name;
  testing::BrokerOptions broker;
  std::string_view value;     // of the published data point
  std::string_view bucket;    // "refused" or "failed"
  std::string_view code;      // the error code text counted in it
};

TEST(Ledger, RefusedAndFailedPublicationsAreCountedByTheirCode) {
  const std::string longText(200, 'x');
  const OutcomeCase cases[] = {
      {"the broker refuses what the client may not publish (MQTT 5 reason code)",
       {.acl = std::vector<testing::AclRule>{{.access = testing::AclAccess::read, .topic = "#"}}}, "\"short\"",
       "refused", "Mosquitto 135: Not authorized\":"},
      {"a message larger than the broker takes is never sent",
       {.extraConfig = {"max_packet_size 100"}}, "LONG", "failed", "Mosquitto 25: Oversized packet\":"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::Broker broker(c.broker);
    broker.start();
    testing::TempDir dir{"corvane-ledger"};
    auto text = replaced(std::string(kModel), "PORT", std::to_string(broker.port()));
    text = replaced(text, R"("type": "integer", "value": 7)",
                    std::string(R"("type": "string", "value": )") +
                        (c.value == "LONG" ? "\"" + longText + "\"" : std::string(c.value)));
    auto model = dir.writeFile("ledger.json", text);

    Runner runner({"run", model.string(), "--events"});
    ASSERT_TRUE(runner.waitForLine(holds({R"("type":"event")", R"("event":"connected")"}))) << runner.output();
    std::this_thread::sleep_for(1s);
    runner.signal(SIGTERM);
    ASSERT_EQ(runner.waitForExit(10s), 0) << runner.errors();
    const auto& lines = runner.lines();
    ASSERT_GE(lines.size(), 2u);
    const std::string& last = lines[lines.size() - 2];
    auto end = countsOf(last);
    EXPECT_EQ(end.runs, end.notConnected + end.confirmed + end.failed + end.refused + end.unconfirmed) << last;
    EXPECT_EQ(end.confirmed, 0u) << last;
    EXPECT_EQ(end.unconfirmed, 0u) << last;
    auto counted = c.bucket == "refused" ? end.refused : end.failed;
    EXPECT_GT(counted, 5u) << last;
    EXPECT_EQ(counted, end.runs - end.notConnected) << last;
    EXPECT_NE(last.find(std::string("\"").append(c.bucket).append("\":{\"").append(c.code)), std::string::npos) << last;
  }
}

}  // namespace
}  // namespace corvane::run
