// `corvane-run run --metrics`: the Prometheus exposition of clients, topics and commands (the delivery
// ledger among them, also in the event lines), read over HTTP from the running runner and checked by
// promtool; the server's addresses and its deadline for slow clients.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <map>
#include <regex>
#include <sstream>
#include <stop_token>
#include <thread>

#include "broker.hpp"
#include "childProcess.hpp"
#include "loopbackPort.hpp"
#include "runnerProcess.hpp"
#include "tempDir.hpp"
#include "testPeer.hpp"

namespace corvane::run {
namespace {

// ---- a tiny HTTP client and the exposition's samples ----

// A connection to HOST:PORT (an address or a name), or -1.
int connectTo(const std::string& host, int port) {
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0) return -1;
  int s = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(s, found->ai_addr, found->ai_addrlen) != 0) {
    ::close(s);
    s = -1;
  }
  ::freeaddrinfo(found);
  return s;
}

// Reads until the peer ends the connection; false when it is still open at the deadline.
bool readToEnd(int s, std::string& text, Clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{s, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    char buffer[8192];
    ssize_t n = ::read(s, buffer, sizeof buffer);
    if (n <= 0) return true;
    text.append(buffer, static_cast<std::size_t>(n));
  }
}

struct HttpResponse {
  int status = 0;
  std::string head;  // status line and headers
  std::string body;
};

// GET, HTTP/1.0 so that the answer is never chunked and ends with the connection; nothing when
// the server does not answer in time.
std::optional<HttpResponse> httpGet(int port, const std::string& target, std::chrono::milliseconds timeout = 3s,
                                    const std::string& host = "127.0.0.1") {
  int s = connectTo(host, port);
  std::string request = "GET " + target + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
  std::string answer;
  bool answered = s >= 0 &&
                  ::send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()) &&
                  readToEnd(s, answer, Clock::now() + timeout);
  if (s >= 0) ::close(s);
  auto end = answer.find("\r\n\r\n");
  if (!answered || end == std::string::npos || answer.size() < 12) return std::nullopt;
  return HttpResponse{std::stoi(answer.substr(9, 3)), answer.substr(0, end), answer.substr(end + 4)};
}

// Connections that begin a request and then add a byte to it every 50 ms, never finishing it.
class Tricklers {
 public:
  Tricklers(int port, int count, const std::string& host = "127.0.0.1") {
    for (int i = 0; i < count; ++i) {
      sockets_.push_back(connectTo(host, port));
      ::send(sockets_.back(), "GET /metrics HTTP/1.1\r\nX-Slow: ", 31, MSG_NOSIGNAL);
    }
    thread_ = std::jthread([this](std::stop_token stop) {
      for (; !stop.stop_requested(); std::this_thread::sleep_for(50ms)) {
        for (int s : sockets_) ::send(s, "a", 1, MSG_NOSIGNAL);
      }
    });
  }
  ~Tricklers() {
    thread_ = {};  // stopped and joined before the sockets close
    for (int s : sockets_) ::close(s);
  }
  const std::vector<int>& sockets() const noexcept { return sockets_; }

 private:
  std::vector<int> sockets_;
  std::jthread thread_;
};

// Every sample of an exposition text by its series as written (name{labels}).
using Samples = std::map<std::string, double>;

Samples samplesOf(const std::string& text) {
  Samples samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != '#') samples[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ')));
  }
  return samples;
}

std::optional<double> valueOf(const Samples& samples, const std::string& series) {
  const auto found = samples.find(series);
  return found == samples.end() ? std::nullopt : std::optional(found->second);
}

// The sum over every series of a family whose labels start with `labels` (error labels follow).
double sumOf(const Samples& samples, std::string_view name, std::string_view labels) {
  double sum = 0;
  std::string prefix = std::string(name) + "{" + std::string(labels);
  for (auto it = samples.lower_bound(prefix); it != samples.end() && it->first.starts_with(prefix); ++it) {
    sum += it->second;
  }
  return sum;
}

// promtool's verdict on an exposition text: empty when it accepts it without a lint warning.
std::string promtoolComplaint(const std::string& text) {
  testing::TempDir dir{"corvane-promtool"};
  auto file = dir.writeFile("metrics.txt", text);
  auto result = testing::runProcess({"/bin/sh", "-c", "/usr/bin/promtool check metrics < '" + file.string() + "'"});
  if (result.exitCode == 0 && result.output.empty()) return {};
  return "promtool exit " + std::to_string(result.exitCode) + ": " + result.output;
}

// Scrapes until `done` holds for the samples (or the time is up) and returns the last scrape.
HttpResponse scrapeUntil(int port, const std::function<bool(const Samples&)>& done,
                         std::chrono::milliseconds timeout = 5s) {
  auto deadline = Clock::now() + timeout;
  HttpResponse last;
  for (;;) {
    if (auto response = httpGet(port, "/metrics")) {
      last = *response;
      if (done(samplesOf(last.body))) return last;
    }
    if (Clock::now() >= deadline) return last;
    std::this_thread::sleep_for(50ms);
  }
}

// Runs, settled runs (every bucket, error maps included) and pending runs of a topic in a ledger line.
std::array<std::uint64_t, 3> ledgerCounts(const std::string& line, std::string_view element) {
  const auto at = line.find(R"({"element":")" + std::string(element) + "\"");
  const auto topic = line.substr(at, line.find(R"("lastPublish")", at) - at);
  std::array<std::uint64_t, 3> counts{};
  const std::regex member(R"re("([^"]+)":([0-9]+))re");
  for (auto it = std::sregex_iterator(topic.begin(), topic.end(), member); it != std::sregex_iterator(); ++it) {
    counts[(*it)[1] == "runs" ? 0 : (*it)[1] == "pending" ? 2 : 1] += std::stoull((*it)[2]);
  }
  return counts;
}

// ---- models ----

// The MQTT topic of b/odd holds a line feed, which libmosquitto refuses to publish, and the two
// other characters a label value escapes.
constexpr std::string_view kOddTopicLabel = R"(topic="t/a\nb\"\\")";

// A client with a birth message, a topic the broker confirms, one it refuses (ACL), one that
// cannot be sent, and a command; a second client whose broker is not there.
constexpr std::string_view kModel = R"({
  "dataPoints": [
    {"name": "p/level", "type": "integer", "value": 7},
    {"name": "p/set", "type": "double", "value": 0}
  ],
  "elements": [
    {"skill": "MQTT", "class": "Client", "name": "b",
     "config": {"brokerAddress": "127.0.0.1:PORT", "clientID": "metrics-e2e", "mqttVersion": "5",
                "birth": {"topic": "t/birth", "payload": "up"}},
     "tasks": {"reconnect": "100ms"},
     "children": [
       {"class": "Topic", "name": "level",
        "config": {"topic": "t/level", "qos": 1, "payload": {"@DataPoint": "p/level"}}, "tasks": {"publish": "100ms"}},
       {"class": "Topic", "name": "denied",
        "config": {"topic": "t/denied", "qos": 1, "payload": "x"}, "tasks": {"publish": "200ms"}},
       {"class": "Topic", "name": "odd",
        "config": {"topic": "t/a\nb\"\\", "qos": 1, "payload": "x"}, "tasks": {"publish": "200ms"}},
       {"class": "Command", "name": "set",
        "config": {"topic": "t/set", "payload": [{"@DataPoint": {"dataPoint": "p/set", "jsonPath": "$.v[1]"}}]}}
     ]},
    {"skill": "MQTT", "class": "Client", "name": "absent",
     "config": {"brokerAddress": "127.0.0.1:1", "clientID": "metrics-absent"}, "tasks": {"reconnect": "100ms"}}
  ]
})";

std::string modelText(int brokerPort) { return replaced(std::string(kModel), "PORT", std::to_string(brokerPort)); }

// Anonymous clients may read everything and publish what the model needs, but not t/denied.
testing::BrokerOptions aclBroker() {
  testing::BrokerOptions options;
  options.acl = std::vector<testing::AclRule>{
      {.access = testing::AclAccess::read, .topic = "t/#"},
      {.access = testing::AclAccess::readwrite, .topic = "t/level"},
      {.access = testing::AclAccess::readwrite, .topic = "t/birth"},
      {.access = testing::AclAccess::readwrite, .topic = "t/set"},
  };
  return options;
}

constexpr std::string_view kB = R"(client="b")";
constexpr std::string_view kAbsent = R"(client="absent")";
constexpr std::string_view kLevel = R"(client="b",element="b/level",topic="t/level")";
constexpr std::string_view kDenied = R"(client="b",element="b/denied",topic="t/denied")";
constexpr std::string_view kSet = R"(client="b",element="b/set",topic="t/set")";
const std::string kOdd = std::string(R"(client="b",element="b/odd",)") + std::string(kOddTopicLabel);

std::string series(std::string_view name, std::string_view labels) {
  return std::string(name) + "{" + std::string(labels) + "}";
}

double unixSeconds(std::chrono::system_clock::time_point time) {
  return std::chrono::duration<double>(time.time_since_epoch()).count();
}

// ---- the runner's endpoint ----

TEST(Metrics, ScrapeShowsClientsTopicsAndCommandsAsTheyAreThroughALostConnection) {
  testing::Broker broker(aclBroker());
  broker.start();
  testing::TestPeer peer(testing::PeerOptions{.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted()) << broker.logReport();
  testing::TempDir dir{"corvane-metrics"};
  auto model = dir.writeFile("m.json", modelText(broker.port()));
  int port = testing::freeLoopbackPort();

  peer.subscribe("t/#");

  // The event lines: the initial state first, then each change as it comes.
  auto startedAt = std::chrono::system_clock::now();
  Runner runner({"run", model.string(), "--events", "--ledger-interval", "1", "--metrics",
                 "127.0.0.1:" + std::to_string(port)});
  auto first = runner.waitForLine([](const std::string&) { return true; });
  EXPECT_TRUE(first && holds({R"("type":"started")", R"("elements":6)", R"("dataPoints":2)"})(*first)) << runner.output();
  ASSERT_TRUE(runner.waitForLine(holds({R"("type":"event")", R"("element":"b")", R"("event":"birth")"})))
      << runner.output() << runner.errors() << broker.logReport();
  ASSERT_TRUE(runner.waitForLine(holds({R"("type":"command")", R"("element":"b/set")", R"("state":true)",
                                         R"("subscribeError":"no error")"})));
  EXPECT_TRUE(runner.waitForLine(holds({R"("type":"event")", R"("element":"b/level")", R"("event":"published")"})));
  auto published = peer.waitForTopic("t/level");
  EXPECT_TRUE(published && published->payload == R"({"value":7,"quality":192})");
  auto birth = peer.waitForTopic("t/birth");
  EXPECT_TRUE(birth && birth->payload == "up");
  // One command that fits and one whose path finds nothing: its summary arrives as one JSON string.
  peer.publishAndWait("t/set", R"({"v": [0, 42.5]})", 1);
  peer.publishAndWait("t/set", R"({"v": []})", 1);
  EXPECT_TRUE(runner.waitForLine(holds({R"("type":"dataPoint")", R"("name":"p/set","value":42.5)"})));
  EXPECT_TRUE(runner.waitForLine(holds({R"("type":"event")", R"("element":"b/set")", R"("event":"received")"})));
  EXPECT_TRUE(runner.waitForLine(holds({R"("type":"command")", R"("element":"b/set")",
                                         R"("receiveErrorSummary":"\np/set: the array index \"1\" is out of range")"})))
      << runner.output();

  scrapeUntil(port, [](const Samples& s) {
    return valueOf(s, series("corvane_mqtt_command_received_total", kSet)) == 2 &&
           valueOf(s, series("corvane_mqtt_topic_confirmed_total", kLevel)) >= 3 &&
           sumOf(s, "corvane_mqtt_topic_refused_total", kDenied) >= 1 &&
           sumOf(s, "corvane_mqtt_topic_failed_total", kOdd) >= 1;
  });
  auto response = httpGet(port, "/metrics").value_or(HttpResponse{});
  auto scrapedAt = std::chrono::system_clock::now();
  ASSERT_EQ(response.status, 200) << response.head << runner.errors();
  EXPECT_NE(response.head.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8"), std::string::npos)
      << response.head;
  EXPECT_EQ(promtoolComplaint(response.body), "") << response.body;
  auto samples = samplesOf(response.body);

  struct Expected {
    const char* fault;
    std::string series;
    std::optional<double> value;  // nothing: no such sample
  };
  const Expected expected[] = {
      {"settings of the client lost",
       series("corvane_mqtt_client_info", std::string(kB) + ",broker=\"127.0.0.1:" + std::to_string(broker.port()) +
                                              R"(",client_id="metrics-e2e",mqtt_version="5")"),
       1},
      {"connected client shown as disconnected", series("corvane_mqtt_client_connected", kB), 1},
      {"client without broker shown as connected", series("corvane_mqtt_client_connected", kAbsent), 0},
      {"connection counted twice or not at all", series("corvane_mqtt_client_connects_total", kB), 1},
      {"disconnection without a loss", series("corvane_mqtt_client_disconnects_total", kB), 0},
      {"failed attempts counted as connections", series("corvane_mqtt_client_connects_total", kAbsent), 0},
      {"absent broker's error not labelled",
       series("corvane_mqtt_client_error_info", std::string(kAbsent) +
              R"(,category="system",code="111",message="Connection refused")"), 1},
      {"time of a connection that never happened",
       series("corvane_mqtt_client_connection_timestamp_seconds", kAbsent), std::nullopt},
      {"command messages miscounted", series("corvane_mqtt_command_received_total", kSet), 2},
      {"error summary not counted", series("corvane_mqtt_command_received_with_errors_total", kSet), 1},
      {"subscription not shown", series("corvane_mqtt_command_subscribed", kSet), 1},
      {"broker's refusal not labelled with its reason code",
       series("corvane_mqtt_topic_refused_total",
              std::string(kDenied) + R"(,category="Mosquitto",code="135",message="Not authorized")"),
       sumOf(samples, "corvane_mqtt_topic_refused_total", kDenied)},
      {"local failure not labelled with its error",
       series("corvane_mqtt_topic_failed_total",
              kOdd + R"(,category="Mosquitto",code="18",message="Malformed UTF-8")"),
       sumOf(samples, "corvane_mqtt_topic_failed_total", kOdd)},
      {"refusals counted as confirmations", series("corvane_mqtt_topic_confirmed_total", kDenied), 0},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.fault);
    EXPECT_EQ(valueOf(samples, e.series), e.value) << e.series << "\n" << response.body;
  }
  EXPECT_EQ(sumOf(samples, "corvane_mqtt_client_error_info", kB), 0) << "error shown for a connected client";

  // Times are Unix seconds of this run.
  for (const auto& name : {series("corvane_mqtt_client_birth_timestamp_seconds", kB),
                           series("corvane_mqtt_client_connection_timestamp_seconds", kB),
                           series("corvane_mqtt_topic_last_publish_timestamp_seconds", kLevel),
                           series("corvane_mqtt_command_last_receive_timestamp_seconds", kSet)}) {
    SCOPED_TRACE(name);
    auto time = valueOf(samples, name);
    ASSERT_TRUE(time) << response.body;
    EXPECT_GE(*time, unixSeconds(startedAt) - 1);
    EXPECT_LE(*time, unixSeconds(scrapedAt) + 1);
  }

  // Every run of every topic is in exactly one bucket.
  auto addUp = [](const Samples& scraped) {
    for (const auto& topic : {std::string(kLevel), std::string(kDenied), kOdd}) {
      SCOPED_TRACE(topic);
      auto v = [&](std::string_view name) { return valueOf(scraped, series(name, topic)).value_or(-1); };
      EXPECT_EQ(v("corvane_mqtt_topic_runs_total"),
                v("corvane_mqtt_topic_not_connected_total") + v("corvane_mqtt_topic_confirmed_total") +
                    sumOf(scraped, "corvane_mqtt_topic_failed_total", topic) +
                    sumOf(scraped, "corvane_mqtt_topic_refused_total", topic) + v("corvane_mqtt_topic_unconfirmed") +
                    v("corvane_mqtt_topic_pending"));
    }
  };
  addUp(samples);
  auto other = httpGet(port, "/other");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->status, 404);

  // The broker stopped beyond the 5 s grace: runs go unconfirmed, and leave that bucket when the
  // answers come late. The confirmed ones reached the subscriber, none of the topic was lost.
  const auto unconfirmed = series("corvane_mqtt_topic_unconfirmed", kLevel);
  broker.pause();
  auto stalled = samplesOf(scrapeUntil(port, [&](const Samples& s) { return valueOf(s, unconfirmed) > 0; }, 10s).body);
  EXPECT_GT(valueOf(stalled, unconfirmed), 0);
  broker.resume();
  samples = samplesOf(scrapeUntil(port, [&](const Samples& s) { return valueOf(s, unconfirmed) == 0; }, 10s).body);
  EXPECT_EQ(valueOf(samples, unconfirmed), 0);
  addUp(samples);
  EXPECT_EQ(sumOf(samples, "corvane_mqtt_topic_failed_total", kLevel) +
                sumOf(samples, "corvane_mqtt_topic_refused_total", kLevel), 0);
  const auto confirmed = valueOf(samples, series("corvane_mqtt_topic_confirmed_total", kLevel)).value_or(-1);
  auto levelMessages = [&] {
    return static_cast<double>(std::ranges::count_if(peer.messages(), [](const auto& m) { return m.topic == "t/level"; }));
  };
  for (const auto deadline = Clock::now() + 3s; levelMessages() < confirmed && Clock::now() < deadline;) {
    std::this_thread::sleep_for(20ms);
  }
  EXPECT_GE(levelMessages(), confirmed);

  // The broker goes away and comes back.
  const auto connectedAt = valueOf(samples, series("corvane_mqtt_client_connection_timestamp_seconds", kB));
  const std::string refused = series("corvane_mqtt_client_error_info",
                                     std::string(kB) + R"(,category="system",code="111",message="Connection refused")");
  const auto notConnected = series("corvane_mqtt_topic_not_connected_total", kLevel);
  const auto notConnectedBefore = valueOf(samples, notConnected).value_or(-1);
  broker.kill();
  auto lost = samplesOf(scrapeUntil(port, [&](const Samples& s) {
                return valueOf(s, refused) == 1 && valueOf(s, notConnected) > notConnectedBefore;
              }).body);
  EXPECT_GT(valueOf(lost, notConnected), notConnectedBefore);
  EXPECT_EQ(valueOf(lost, refused), 1);
  EXPECT_EQ(valueOf(lost, series("corvane_mqtt_client_connected", kB)), 0);
  EXPECT_EQ(valueOf(lost, series("corvane_mqtt_client_connects_total", kB)), 1);
  EXPECT_EQ(valueOf(lost, series("corvane_mqtt_client_disconnects_total", kB)), 1);
  EXPECT_GT(valueOf(lost, series("corvane_mqtt_client_connection_timestamp_seconds", kB)), connectedAt);
  broker.start();
  // The gauge turns before the "connected" event is counted: wait for the count, which comes last.
  auto isBack = [](const Samples& s) { return valueOf(s, series("corvane_mqtt_client_connects_total", kB)) == 2; };
  auto back = samplesOf(scrapeUntil(port, isBack).body);
  EXPECT_EQ(valueOf(back, series("corvane_mqtt_client_connected", kB)), 1);
  EXPECT_EQ(valueOf(back, series("corvane_mqtt_client_connects_total", kB)), 2);
  EXPECT_EQ(valueOf(back, series("corvane_mqtt_client_disconnects_total", kB)), 1);
  EXPECT_EQ(valueOf(back, refused), std::nullopt) << "the error of a client that is back";
  EXPECT_GE(valueOf(back, notConnected), valueOf(lost, notConnected)) << "a counter went down";
  addUp(back);

  runner.signal(SIGTERM);
  EXPECT_EQ(runner.waitForExit(10s), 0);
  EXPECT_EQ(runner.errors(), "");
  EXPECT_FALSE(httpGet(port, "/metrics", 500ms)) << "the endpoint ends with the run";
  ASSERT_GT(runner.linesHolding({R"("type":"ledger")"}).size(), 1u) << "no periodic ledger line";
  EXPECT_TRUE(holds({R"("type":"stopped")"})(runner.lines().back())) << runner.lines().back();
  // The ledger line after the shut-down, before the last line of all: nothing pending, every run in one bucket.
  const auto& ledger = runner.lines().end()[-2];
  for (const char* element : {"b/level", "b/denied", "b/odd"}) {
    const auto [runs, settled, pending] = ledgerCounts(ledger, element);
    EXPECT_TRUE(runs > 0 && runs == settled && pending == 0) << element << ": " << ledger;
  }
  EXPECT_EQ(runner.linesHolding({R"("type":"dataPoint")", R"("name":"p/set")"}).size(), 2u)
      << "the initial value and the one command that fitted";
}

struct AddressCase {
  const char* fault;
  std::string address;
  std::string error;      // empty: it listens
  std::string host = {};  // where a scrape reaches it
};

// The addresses the server listens on and those it refuses. Slow clients hold neither scrapes nor
// the end of the run, and a connection ends at its deadline however it trickles.
TEST(Metrics, SlowClientsNeitherHoldScrapesNorTheEndOfTheRun) {
  testing::TempDir dir{"corvane-metrics"};
  const auto model = dir.writeFile("m.json", modelText(1)).string();
  const auto port = testing::freeLoopbackPort();
  const AddressCase cases[] = {
      {"IPv4 address", "127.0.0.1:" + std::to_string(port), "", "127.0.0.1"},
      {"IPv6 address in brackets", "[::1]:" + std::to_string(port), "", "::1"},
      {"host name", "localhost:" + std::to_string(port), "", "localhost"},
      {"no port", "nohost", "expected HOST:PORT (e.g. 127.0.0.1:9464)"},
      {"IPv6 address without brackets", "::1:9464", "an IPv6 address goes in brackets: [ADDRESS]:PORT"},
      {"IPv6 address without brackets, any port", "::1:0", "an IPv6 address goes in brackets: [ADDRESS]:PORT"},
      {"empty host (the address parser's text)", ":9464", R"(missing host name in address ":9464")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Runner runner({"run", model, "--events", "--metrics", c.address});
    if (!c.error.empty()) {
      EXPECT_EQ(runner.waitForExit(), 1);
      EXPECT_EQ(runner.errors(), "corvane-run: --metrics " + c.address + ": " + c.error + "\n");
      continue;
    }
    ASSERT_TRUE(runner.waitForLine(holds({R"("type":"started")"}))) << runner.errors();
    auto scrape = httpGet(port, "/metrics", 3s, c.host);
    EXPECT_TRUE(scrape && scrape->status == 200);
    if (&c == cases) {
      // A port taken by a runner: had it asked for port reuse, the second would share it silently.
      auto taken = runToEnd({"run", model, "--events", "--metrics", c.address});
      EXPECT_EQ(taken.exitCode, 1);
      EXPECT_EQ(taken.errors, "corvane-run: --metrics " + c.address + ": cannot listen on " + c.address +
                                  ": Address already in use\n");
      EXPECT_EQ(taken.output, "") << "nothing started";
      // Trickling and silent connections, all accepted before the scrapes queue behind them.
      Tricklers trickling(port, 16);
      std::vector<int> silent;
      for (int i = 0; i < 16; ++i) silent.push_back(connectTo("127.0.0.1", port));
      for (int i = 0; i < 3; ++i) {
        scrape = httpGet(port, "/metrics", 1s);
        EXPECT_TRUE(scrape && scrape->status == 200) << "scrape " << i << " waited for the slow clients";
      }
      runner.signal(SIGTERM);
      const auto signalled = Clock::now();
      EXPECT_EQ(runner.waitForExit(10s), 0) << runner.errors();
      EXPECT_LT(Clock::now() - signalled, 1s) << "the end of the run waited for the slow clients";
      for (int s : silent) ::close(s);
    } else if (&c == cases + 1) {
      Tricklers trickling(port, 2, c.host);
      std::string answer;
      for (int s : trickling.sockets()) {
        EXPECT_TRUE(readToEnd(s, answer, Clock::now() + 5s)) << "bytes kept the connection open";
      }
      EXPECT_EQ(answer, "") << "an unfinished request was answered";
    }
  }
}

}  // namespace
}  // namespace corvane::run
