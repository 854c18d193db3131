// `corvane-run run --metrics`: the Prometheus exposition of clients, topics and commands (the delivery
// ledger among them, also in the event lines), read over HTTP from the running runner and checked by
// promtool; the server's addresses and its deadline for slow clients. Beside them, that no output of
// the runner shows a password.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <tuple>
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

// A connection to 127.0.0.1:PORT, or -1.
int connectTo(int port) {
  sockaddr_in to{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return ::connect(s, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 ? s : (::close(s), -1);
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
  std::string head, body;  // head: the status line and headers
};

// GET, HTTP/1.0 so that the answer is never chunked and ends with the connection; nothing when
// the server does not answer in time.
std::optional<HttpResponse> httpGet(int port, const std::string& target, std::chrono::milliseconds timeout = 3s) {
  int s = connectTo(port);
  std::string request = "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n", answer;
  bool answered = s >= 0 &&
                  ::send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size()) &&
                  readToEnd(s, answer, Clock::now() + timeout);
  if (s >= 0) ::close(s);
  auto end = answer.find("\r\n\r\n");
  if (!answered || end == std::string::npos || answer.size() < 12) return std::nullopt;
  return HttpResponse{std::stoi(answer.substr(9, 3)), answer.substr(0, end), answer.substr(end + 4)};
}

// Connections that begin a request and then add a byte to it every 50 ms, never finishing it.
struct Tricklers {
  Tricklers(int port, int count) : sockets(static_cast<std::size_t>(count)) {
    for (int& s : sockets) ::send(s = connectTo(port), "GET /metrics HTTP/1.1\r\nX-Slow: ", 31, MSG_NOSIGNAL);
    thread = std::jthread([this](std::stop_token stop) {
      for (; !stop.stop_requested(); std::this_thread::sleep_for(50ms))
        for (int s : sockets) ::send(s, "a", 1, MSG_NOSIGNAL);
    });
  }
  ~Tricklers() { thread = {}; std::ranges::for_each(sockets, ::close); }  // joined before the sockets close
  std::vector<int> sockets;
  std::jthread thread;
};

// Every sample of an exposition text by its series as written (name{labels}).
using Samples = std::map<std::string, double>;

Samples samplesOf(const std::string& text) {
  Samples samples;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line[0] != '#')
      samples[line.substr(0, line.rfind(' '))] = std::stod(line.substr(line.rfind(' ')));
  }
  return samples;
}

std::optional<double> valueOf(const Samples& samples, const std::string& series) {
  return samples.contains(series) ? std::optional(samples.at(series)) : std::nullopt;
}

// The sum over every series of a family whose labels start with `labels` (error labels follow).
double sumOf(const Samples& samples, std::string_view name, std::string_view labels) {
  double sum = 0;
  std::string prefix = std::string(name) + "{" + std::string(labels);
  for (auto it = samples.lower_bound(prefix); it != samples.end() && it->first.starts_with(prefix); ++it)
    sum += it->second;
  return sum;
}

// promtool's verdict on an exposition text: empty when it accepts it without a lint warning.
std::string promtoolComplaint(const std::string& text) {
  testing::TempDir dir{"corvane-promtool"};
  auto file = dir.writeFile("metrics.txt", text);
  auto result = testing::runProcess({"/bin/sh", "-c", "/usr/bin/promtool check metrics < '" + file.string() + "'"});
  if (result.exitCode == 0 && result.output.empty()) return "";
  return "promtool exit " + std::to_string(result.exitCode) + ": " + result.output;
}

// Scrapes until `done` holds for the samples (or the time is up) and returns the last scrape.
Samples scrapeUntil(int port, const std::function<bool(const Samples&)>& done, std::chrono::milliseconds timeout = 5s) {
  Samples last;
  for (auto deadline = Clock::now() + timeout;; std::this_thread::sleep_for(50ms)) {
    if (auto response = httpGet(port, "/metrics")) last = samplesOf(response->body);
    if (done(last) || Clock::now() >= deadline) return last;
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
  "dataPoints": [{"name": "p/level", "type": "integer", "value": 7}, {"name": "p/set", "type": "double", "value": 0}],
  "elements": [{"skill": "MQTT", "class": "Client", "name": "b", "tasks": {"reconnect": "100ms"},
    "config": {"brokerAddress": "127.0.0.1:PORT", "clientID": "metrics-e2e", "mqttVersion": "5",
               "birth": {"topic": "t/birth", "payload": "up"}},
    "children": [{"class": "Topic", "name": "level", "tasks": {"publish": "100ms"},
                  "config": {"topic": "t/level", "qos": 1, "payload": {"@DataPoint": "p/level"}}},
      {"class": "Topic", "name": "denied", "tasks": {"publish": "200ms"},
       "config": {"topic": "t/denied", "qos": 1, "payload": "x"}},
      {"class": "Topic", "name": "odd", "tasks": {"publish": "200ms"},
       "config": {"topic": "t/a\nb\"\\", "qos": 1, "payload": "x"}},
      {"class": "Command", "name": "set",
       "config": {"topic": "t/set", "payload": [{"@DataPoint": {"dataPoint": "p/set", "jsonPath": "$.v[1]"}}]}}]},
    {"skill": "MQTT", "class": "Client", "name": "absent", "tasks": {"reconnect": "100ms"},
     "config": {"brokerAddress": "127.0.0.1:1", "clientID": "metrics-absent"}}]
})";

std::string modelText(int brokerPort) { return replaced(std::string(kModel), "PORT", std::to_string(brokerPort)); }

// Anonymous clients may read everything and publish what the model needs, but not t/denied.
testing::BrokerOptions aclBroker() {
  testing::BrokerOptions options;
  options.acl = std::vector<testing::AclRule>{{.access = testing::AclAccess::read, .topic = "t/#"}};
  for (const char* topic : {"t/level", "t/birth", "t/set"})
    options.acl->push_back({.access = testing::AclAccess::readwrite, .topic = topic});
  return options;
}

constexpr std::string_view kB = R"(client="b")";
constexpr std::string_view kAbsent = R"(client="absent")";
constexpr std::string_view kLevel = R"(client="b",element="b/level",topic="t/level")";
constexpr std::string_view kDenied = R"(client="b",element="b/denied",topic="t/denied")";
constexpr std::string_view kSet = R"(client="b",element="b/set",topic="t/set")";
const std::string kOdd = std::string(R"(client="b",element="b/odd",)") + std::string(kOddTopicLabel);

std::string series(std::string_view name, std::string_view l) { return std::string(name) + "{" + std::string(l) + "}"; }
double unixSeconds(std::chrono::system_clock::time_point t) {
  return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// ---- the runner's endpoint ----

TEST(Metrics, ScrapeShowsClientsTopicsAndCommandsAsTheyAreThroughALostConnection) {
  testing::Broker broker(aclBroker());
  broker.start();
  testing::TestPeer peer(testing::PeerOptions{.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted()) << broker.logReport();
  peer.subscribe("t/#");
  testing::TempDir dir{"corvane-metrics"};
  auto model = dir.writeFile("m.json", modelText(broker.port()));
  int port = testing::freeLoopbackPort();

  // The event lines: the initial state first, then each change as it comes.
  auto startedAt = std::chrono::system_clock::now();
  Runner runner(
      {"run", model.string(), "--events", "--ledger-interval", "1", "--metrics", "127.0.0.1:" + std::to_string(port)});
  ASSERT_TRUE(runner.waitForLine(holds({R"("type":"event")", R"("element":"b")", R"("event":"birth")"})))
      << runner.output() << runner.errors() << broker.logReport();
  ASSERT_TRUE(runner.waitForLine(
      holds({R"("type":"command")", R"("element":"b/set")", R"("state":true)", R"("subscribeError":"no error")"})));
  EXPECT_TRUE(runner.waitForLine(holds({R"("type":"event")", R"("element":"b/level")", R"("event":"published")"})));
  auto published = peer.waitForTopic("t/level"), birth = peer.waitForTopic("t/birth");
  EXPECT_TRUE(published && published->payload == R"({"value":7,"quality":192})");
  EXPECT_TRUE(birth && birth->payload == "up");
  // One command that fits and one whose path finds nothing: its summary arrives as one JSON string.
  peer.publishAndWait("t/set", R"({"v": [0, 42.5]})", 1);
  peer.publishAndWait("t/set", R"({"v": []})", 1);
  EXPECT_TRUE(runner.waitForLine(holds({R"("type":"dataPoint")", R"("name":"p/set","value":42.5)"})));
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
  EXPECT_NE(response.head.find("\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8"), std::string::npos);
  EXPECT_EQ(promtoolComplaint(response.body), "") << response.body;
  auto samples = samplesOf(response.body);

  const std::string refused = R"(,category="system",code="111",message="Connection refused")";
  const auto info = std::string(kB) + ",broker=\"127.0.0.1:" + std::to_string(broker.port()) +
                    R"(",client_id="metrics-e2e",mqtt_version="5")";
  // The fault each row would show, the series, its value (nothing: no such sample).
  const std::tuple<const char*, std::string, std::optional<double>> expected[] = {
      {"settings of the client lost", series("corvane_mqtt_client_info", info), 1},
      {"connected client shown as disconnected", series("corvane_mqtt_client_connected", kB), 1},
      {"client without broker shown as connected", series("corvane_mqtt_client_connected", kAbsent), 0},
      {"connection counted twice or not at all", series("corvane_mqtt_client_connects_total", kB), 1},
      {"absent broker's error unlabelled", series("corvane_mqtt_client_error_info", std::string(kAbsent) + refused), 1},
      {"connection time that never was", series("corvane_mqtt_client_connection_timestamp_seconds", kAbsent), {}},
      {"command messages miscounted", series("corvane_mqtt_command_received_total", kSet), 2},
      {"error summary not counted", series("corvane_mqtt_command_received_with_errors_total", kSet), 1},
      {"subscription not shown", series("corvane_mqtt_command_subscribed", kSet), 1},
      {"broker's refusal not labelled with its reason code",
       series("corvane_mqtt_topic_refused_total",
              std::string(kDenied) + R"(,category="Mosquitto",code="135",message="Not authorized")"),
       sumOf(samples, "corvane_mqtt_topic_refused_total", kDenied)},
      {"local failure not labelled with its error",
       series("corvane_mqtt_topic_failed_total", kOdd + R"(,category="Mosquitto",code="18",message="Malformed UTF-8")"),
       sumOf(samples, "corvane_mqtt_topic_failed_total", kOdd)},
  };
  for (const auto& [fault, name, value] : expected) EXPECT_EQ(valueOf(samples, name), value) << fault << ": " << name;
  EXPECT_EQ(sumOf(samples, "corvane_mqtt_client_error_info", kB), 0) << "error shown for a connected client";
  // Times are Unix seconds of this run.
  for (const auto& name : {series("corvane_mqtt_client_birth_timestamp_seconds", kB),
                           series("corvane_mqtt_client_connection_timestamp_seconds", kB),
                           series("corvane_mqtt_topic_last_publish_timestamp_seconds", kLevel),
                           series("corvane_mqtt_command_last_receive_timestamp_seconds", kSet)}) {
    auto time = valueOf(samples, name).value_or(0);
    EXPECT_TRUE(time >= unixSeconds(startedAt) - 1 && time <= unixSeconds(scrapedAt) + 1) << name;
  }
  // Every run of every topic is in exactly one bucket.
  auto addUp = [](const Samples& scraped) {
    for (const auto& topic : {std::string(kLevel), std::string(kDenied), kOdd}) {
      auto v = [&](std::string_view name) { return valueOf(scraped, series(name, topic)).value_or(-1); };
      EXPECT_EQ(v("corvane_mqtt_topic_runs_total"),
                v("corvane_mqtt_topic_not_connected_total") + v("corvane_mqtt_topic_confirmed_total") +
                    sumOf(scraped, "corvane_mqtt_topic_failed_total", topic) +
                    sumOf(scraped, "corvane_mqtt_topic_refused_total", topic) + v("corvane_mqtt_topic_unconfirmed") +
                    v("corvane_mqtt_topic_pending")) << topic;
    }
  };
  addUp(samples);

  // The broker stopped beyond the 5 s grace: runs go unconfirmed, and leave that bucket when the
  // answers come late. The confirmed ones reached the subscriber, none of the topic was lost.
  const auto unconfirmed = series("corvane_mqtt_topic_unconfirmed", kLevel);
  broker.pause();
  samples = scrapeUntil(port, [&](const Samples& s) { return valueOf(s, unconfirmed) > 0; }, 10s);
  EXPECT_GT(valueOf(samples, unconfirmed), 0);
  broker.resume();
  samples = scrapeUntil(port, [&](const Samples& s) { return valueOf(s, unconfirmed) == 0; }, 10s);
  EXPECT_EQ(valueOf(samples, unconfirmed), 0);
  addUp(samples);
  EXPECT_EQ(sumOf(samples, "corvane_mqtt_topic_failed_total", kLevel), 0);
  EXPECT_EQ(sumOf(samples, "corvane_mqtt_topic_refused_total", kLevel), 0);
  const auto confirmed = valueOf(samples, series("corvane_mqtt_topic_confirmed_total", kLevel)).value_or(-1);
  auto levelMessages = [&] {
    return 1.0 * std::ranges::count_if(peer.messages(), [](const auto& m) { return m.topic == "t/level"; });
  };
  for (const auto deadline = Clock::now() + 3s; levelMessages() < confirmed && Clock::now() < deadline;)
    std::this_thread::sleep_for(20ms);
  EXPECT_GE(levelMessages(), confirmed);

  // The broker goes away and comes back.
  const auto connectedAt = valueOf(samples, series("corvane_mqtt_client_connection_timestamp_seconds", kB));
  const std::string error = series("corvane_mqtt_client_error_info", std::string(kB) + refused);
  const auto offline = series("corvane_mqtt_topic_not_connected_total", kLevel);
  const auto before = valueOf(samples, offline).value_or(-1);
  auto client = [](const Samples& s, const char* name) { return valueOf(s, series(name, kB)); };
  broker.kill();
  auto lost = scrapeUntil(port, [&](const Samples& s) { return valueOf(s, error) && valueOf(s, offline) > before; });
  EXPECT_EQ(valueOf(lost, error), 1);
  EXPECT_EQ(client(lost, "corvane_mqtt_client_connected"), 0);
  EXPECT_EQ(client(lost, "corvane_mqtt_client_connects_total"), 1);
  EXPECT_EQ(client(lost, "corvane_mqtt_client_disconnects_total"), 1);
  EXPECT_GT(client(lost, "corvane_mqtt_client_connection_timestamp_seconds"), connectedAt);
  broker.start();
  // The gauge turns before the "connected" event is counted: wait for the count, which comes last.
  auto back = scrapeUntil(port, [&](const Samples& s) { return client(s, "corvane_mqtt_client_connects_total") == 2; });
  EXPECT_EQ(client(back, "corvane_mqtt_client_connected"), 1);
  EXPECT_EQ(client(back, "corvane_mqtt_client_disconnects_total"), 1);
  EXPECT_EQ(valueOf(back, error), std::nullopt) << "the error of a client that is back";
  EXPECT_GE(valueOf(back, offline), valueOf(lost, offline)) << "a counter went down";
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

// Slow clients hold neither scrapes nor the end of the run, and a connection ends at its deadline
// however it trickles; a port already taken and an address that is none are refused.
TEST(Metrics, SlowClientsNeitherHoldScrapesNorTheEndOfTheRun) {
  testing::TempDir dir{"corvane-metrics"};
  const auto model = dir.writeFile("m.json", modelText(1)).string();
  const auto at = "127.0.0.1:" + std::to_string(testing::freeLoopbackPort());
  const int port = std::stoi(at.substr(10));
  Runner runner({"run", model, "--events", "--metrics", at});
  ASSERT_TRUE(runner.waitForLine(holds({R"("type":"started")"}))) << runner.errors();
  // A port taken by a runner: had it asked for port reuse, the second would share it silently.
  auto taken = runToEnd({"run", model, "--events", "--metrics", at});
  EXPECT_EQ(taken.exitCode, 1);
  EXPECT_EQ(taken.errors, "corvane-run: --metrics " + at + ": cannot listen on " + at + ": Address already in use\n");
  EXPECT_EQ(taken.output, "") << "nothing started";
  const std::pair<const char*, const char*> refused[] = {
      {"nohost", "corvane-run: --metrics nohost: expected HOST:PORT (e.g. 127.0.0.1:9464)\n"},
      {"::1:9464", "corvane-run: --metrics ::1:9464: an IPv6 address goes in brackets: [ADDRESS]:PORT\n"},
      {":9464", "corvane-run: --metrics :9464: missing host name in address \":9464\"\n"}};
  for (const auto& [bad, said] : refused) EXPECT_EQ(runToEnd({"run", model, "--metrics", bad}).errors, said);
  {
    Tricklers one(port, 1);
    std::string answer;
    EXPECT_TRUE(readToEnd(one.sockets.front(), answer, Clock::now() + 5s)) << "bytes kept the connection open";
    EXPECT_EQ(answer, "") << "an unfinished request was answered";
  }
  // Trickling and silent connections, all accepted before the scrapes queue behind them.
  Tricklers trickling(port, 16);
  std::vector<int> silent;
  for (int i = 0; i < 16; ++i) silent.push_back(connectTo(port));
  for (int i = 0; i < 3; ++i) {
    auto scrape = httpGet(port, "/metrics", 1s);
    EXPECT_TRUE(scrape && scrape->status == 200) << "scrape " << i << " waited for the slow clients";
  }
  runner.signal(SIGTERM);
  const auto signalled = Clock::now();
  EXPECT_EQ(runner.waitForExit(10s), 0) << runner.errors();
  EXPECT_LT(Clock::now() - signalled, 1s) << "the end of the run waited for the slow clients";
  for (int s : silent) ::close(s);
}

// ---- passwords ----

// No output of the runner shows a password: neither the one the broker accepts nor the one it
// refuses, in the event lines, the status view, the metrics, validate (its warnings too), render,
// listen, or a configuration error.
TEST(Runner, NoOutputShowsAPassword) {
  const std::string kAccepted = "acc3pted-Pa55", kRefused = "r3fused-Pa55";
  testing::Broker broker(testing::BrokerOptions{.allowAnonymous = false, .passwords = {{"u", kAccepted}}});
  broker.start();
  const std::string client = R"({"skill": "MQTT", "class": "Client", "name": "NAME", "tasks": {"reconnect": "200ms"},
    "config": {"brokerAddress": "127.0.0.1:PORT", "clientID": "NAME", "username": "u", "password": "PASSWORD"},
    "children": [{"class": "Topic", "name": "t", "config": {"topic": "t/NAME", "payload": "x"}},
      {"class": "Command", "name": "c",
       "config": {"topic": "t/set", "payload": [{"@DataPoint": {"dataPoint": "p/set", "jsonPath": "$.v"}}]}}]})";
  auto clientText = [&](const std::string& name, const std::string& password) {
    return replaced(replaced(replaced(client, "NAME", name), "PASSWORD", password), "PORT",
                    std::to_string(broker.port()));
  };
  testing::TempDir dir{"corvane-secret"};
  const std::string points = R"({"dataPoints": [{"name": "p/set", "type": "string"}], "elements": [)";
  const auto model = dir.writeFile("m.json", points + clientText("good", kAccepted) + ", " +
                                                 clientText("bad", kRefused) + "]}").string();
  std::filesystem::permissions(model, static_cast<std::filesystem::perms>(0644));  // validate warns of it
  const auto tooLong = dir.writeFile("long.json", points + clientText("good", std::string(3000, '-') + kAccepted +
                                                                          std::string(63000, '-')) + "]}").string();
  const int port = testing::freeLoopbackPort();
  const std::string metrics = "127.0.0.1:" + std::to_string(port);
  // The output, its arguments, whether on a terminal, and what shows that it ran as it should.
  const std::tuple<const char*, std::vector<std::string>, bool, std::string> cases[] = {
      {"event lines", {"run", model, "--events", "--duration", "2"}, false, R"("element":"good","event":"connected")"},
      {"status view", {"run", model, "--duration", "2"}, true, "Not authorized"},
      {"metrics", {"run", model, "--events", "--duration", "2", "--metrics", metrics}, false,
       R"(corvane_mqtt_client_connected{client="good"} 1)"},
      {"validate", {"validate", "--strict", model}, false, R"({"warning":"model file)"},
      {"render", {"render", model}, false, "t/good\tx"},
      {"listen", {"listen", model, "--duration", "2"}, false, R"(client "good": connected to)"},
      {"configuration error", {"validate", tooLong}, false, "password for MQTT client must not be longer"},
  };
  for (const auto& [output, arguments, onTerminal, shows] : cases) {
    SCOPED_TRACE(output);
    Runner runner(arguments, {}, onTerminal);
    std::string scraped;
    if (arguments.back() == metrics) {
      EXPECT_TRUE(runner.waitForLine(holds({R"("element":"good","event":"connected")"}))) << broker.logReport();
      scraped = httpGet(port, "/metrics").value_or(HttpResponse{}).body;
    }
    runner.waitForExit();
    const std::string shown = runner.output() + runner.errors() + scraped;
    EXPECT_NE(shown.find(shows), std::string::npos) << shown;
    for (const auto& password : {kAccepted, kRefused}) EXPECT_EQ(shown.find(password), std::string::npos) << shown;
  }
}

}  // namespace
}  // namespace corvane::run
