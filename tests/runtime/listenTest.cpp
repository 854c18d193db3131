// corvane-run listen end to end: the built runner against a real mosquitto, with a peer that
// publishes what the commands would receive and, where it matters, the real command beside it.
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <optional>
#include <stdexcept>
#include <thread>
#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "broker.hpp"
#include "certificates.hpp"
#include "loopbackPort.hpp"
#include "runnerProcess.hpp"
#include "hangingLookups.hpp"
#include "tempDir.hpp"
#include "testPeer.hpp"

namespace corvane::run {
namespace {

using corvane::testing::Broker;
using corvane::testing::BrokerOptions;
using corvane::testing::Certificates;
using corvane::testing::MqttVersion;
using corvane::testing::PeerOptions;
using corvane::testing::TempDir;
using corvane::testing::TestPeer;
using corvane::testing::TlsListenerOptions;

// Three typed points; "set" takes three of a message's values, "mode" and "audit" share a topic.
// CLIENT is the whole "config" of the client but its children.
constexpr std::string_view kModel = R"({
  "dataPoints": [
    {"name": "p/set", "type": "double", "value": 20},
    {"name": "p/mode", "type": "integer", "value": 7},
    {"name": "p/label", "type": "string", "value": "old"}
  ],
  "elements": [
    {"skill": "MQTT", "class": "Client", "name": "b", "config": CLIENT,
     "children": [
       {"class": "Command", "name": "set",
        "config": {"topic": "t/set", "payload": [
          {"@DataPoint": {"dataPoint": "p/set", "jsonPath": "$.v[1]"}},
          {"@DataPoint": {"dataPoint": "p/mode", "jsonPath": "$.mode"}},
          {"@DataPoint": {"dataPoint": "p/label", "jsonPath": "$.label", "asJSONText": true}}]}},
       {"class": "Command", "name": "mode",
        "config": {"topic": "t/mode", "payload": [{"@DataPoint": {"dataPoint": "p/mode", "jsonPath": "$"}}]}},
       {"class": "Command", "name": "audit", "config": {"topic": "t/mode", "payload": []}}
     ]}
  ]
})";

std::string model(const std::string& client) { return replaced(std::string(kModel), "CLIENT", client); }

std::string plainClient(int port, std::string_view version = "5", std::string_view id = "plant-1") {
  return R"({"brokerAddress": "127.0.0.1:)" + std::to_string(port) + R"(", "clientID": ")" + std::string(id) +
         R"(", "mqttVersion": ")" + std::string(version) + R"("})";
}

// Reads what the runner writes until `done` holds, for at most 5 s.
bool waitUntil(Runner& runner, const std::function<bool()>& done) {
  const auto deadline = Clock::now() + 5s;
  while (!done()) {
    if (Clock::now() >= deadline) return false;
    runner.waitForLine([](const std::string&) { return false; }, 20ms);
  }
  return true;
}

// Until standard error holds `text` `times` times.
bool waitForNote(Runner& runner, std::string_view text, std::size_t times = 1) {
  return waitUntil(runner, [&] {
    const std::string errors = runner.errors();
    std::size_t found = 0;
    for (auto at = errors.find(text); at != std::string::npos; at = errors.find(text, at + 1)) ++found;
    return found >= times;
  });
}

// The lines that hold every one of `members`, in order.
std::vector<std::string> linesHolding(const Runner& runner, std::initializer_list<std::string_view> members) {
  std::vector<std::string> found;
  auto accept = holds(members);
  for (const auto& line : runner.lines()) {
    if (accept(line)) found.push_back(line);
  }
  return found;
}

bool waitForLines(Runner& runner, std::initializer_list<std::string_view> members, std::size_t n) {
  return waitUntil(runner, [&] { return linesHolding(runner, members).size() >= n; });
}

std::string from(const std::string& line, std::string_view member) {
  const auto at = line.find(member);
  return at == std::string::npos ? "(no " + std::string(member) + " in " + line + ")" : line.substr(at);
}

class ListenWithBroker : public ::testing::Test {
 protected:
  void SetUp() override {
    broker.start();
    peer.emplace(PeerOptions{.port = broker.port()});
    ASSERT_TRUE(peer->connect().accepted());
  }
  Broker broker;
  std::optional<TestPeer> peer;
  TempDir dir{"corvane-listen"};
};

struct MessageCase {
  const char* fault;
  std::string payload;
  std::string shown;    // listen's line from "payload" on
  std::string summary;  // the real command's error summary for the same message, as JSON text
};

TEST_F(ListenWithBroker, ShowsWhatEachEntrySelectsAndWouldWriteAsTheCommandDoesWithoutWriting) {
  const std::string pad(5000, 'x');
  const std::vector<MessageCase> cases = {
      {"every path selects, each point takes its type",
       R"({"v": [0, 42], "mode": 3, "label": {"a": "x"}})",
       R"("payload":"{\"v\": [0, 42], \"mode\": 3, \"label\": {\"a\": \"x\"}}","payloadBytes":46,"entries":[)"
       R"({"dataPoint":"p/set","jsonPath":"$.v[1]","selected":42,"wouldWrite":42},)"
       R"({"dataPoint":"p/mode","jsonPath":"$.mode","selected":3,"wouldWrite":3},)"
       R"({"dataPoint":"p/label","jsonPath":"$.label","selected":{"a":"x"},"wouldWrite":"{\"a\":\"x\"}"}]})",
       ""},
      {"a text the integer point refuses is the write's error, the others still go",
       R"({"v": [0, 1.5], "mode": "auto", "label": "on"})",
       R"("payload":"{\"v\": [0, 1.5], \"mode\": \"auto\", \"label\": \"on\"}","payloadBytes":46,"entries":[)"
       R"({"dataPoint":"p/set","jsonPath":"$.v[1]","selected":1.5,"wouldWrite":1.5},)"
       R"({"dataPoint":"p/mode","jsonPath":"$.mode","selected":"auto","writeError":"Corvane.Conversion 1: the value is not a number"},)"
       R"({"dataPoint":"p/label","jsonPath":"$.label","selected":"on","wouldWrite":"\"on\""}]})",
       R"(\np/mode: the value is not a number)"},
      {"paths the message does not fit show the evaluator's own words",
       R"({"v": [0], "label": null})",
       R"("payload":"{\"v\": [0], \"label\": null}","payloadBytes":25,"entries":[)"
       R"({"dataPoint":"p/set","jsonPath":"$.v[1]","error":"the array index \"1\" is out of range"},)"
       R"({"dataPoint":"p/mode","jsonPath":"$.mode","error":"failed to find a JSON object member called \"mode\""},)"
       R"({"dataPoint":"p/label","jsonPath":"$.label","selected":null,"wouldWrite":"null"}]})",
       R"(\np/set: the array index \"1\" is out of range)"
       R"(\np/mode: failed to find a JSON object member called \"mode\")"},
      {"an index into an object",
       R"({"v": {"1": 5}, "mode": 1, "label": 2})",
       R"("payload":"{\"v\": {\"1\": 5}, \"mode\": 1, \"label\": 2}","payloadBytes":38,"entries":[)"
       R"({"dataPoint":"p/set","jsonPath":"$.v[1]","error":"the JSON element is not an array"},)"
       R"({"dataPoint":"p/mode","jsonPath":"$.mode","selected":1,"wouldWrite":1},)"
       R"({"dataPoint":"p/label","jsonPath":"$.label","selected":2,"wouldWrite":"2"}]})",
       R"(\np/set: the JSON element is not an array)"},
      {"not JSON: the decoder's error, no entry",
       "speed=12",
       R"("payload":"speed=12","payloadBytes":8,"error":"1:1: invalid JSON value \"speed=12\"","entries":[]})",
       R"(1:1: invalid JSON value \"speed=12\")"},
      {"a duplicate member refuses the whole message",
       R"({"mode": 1, "mode": 2})",
       R"("payload":"{\"mode\": 1, \"mode\": 2}","payloadBytes":22,)"
       R"("error":"1:13: duplicate member \"mode\" in JSON object","entries":[]})",
       R"(1:13: duplicate member \"mode\" in JSON object)"},
      {"malformed UTF-8 is shown as U+FFFD",
       "{\"label\": \"\xC3\x28\"}",
       "\"payload\":\"{\\\"label\\\": \\\"\xEF\xBF\xBD(\\\"}\",\"payloadBytes\":15,"
       "\"error\":\"1:12: invalid UTF-8 in JSON text\",\"entries\":[]}",
       "1:12: invalid UTF-8 in JSON text"},
      {"a huge payload is shown cut, its entries in full",
       R"({"v": [0, 9], "mode": 4, "label": ")" + pad + R"("})",
       R"("payload":"{\"v\": [0, 9], \"mode\": 4, \"label\": \")" + std::string(4096 - 35, 'x') +
           R"(","payloadBytes":5037,"payloadTruncated":true,"entries":[)"
           R"({"dataPoint":"p/set","jsonPath":"$.v[1]","selected":9,"wouldWrite":9},)"
           R"({"dataPoint":"p/mode","jsonPath":"$.mode","selected":4,"wouldWrite":4},)"
           R"({"dataPoint":"p/label","jsonPath":"$.label","selected":")" + pad +
           R"(","wouldWrite":"\")" + pad + R"(\""}]})",
       ""},
  };

  auto file = dir.writeFile("plant.json", model(plainClient(broker.port())));
  // The real command beside the listener, under the model's own client identifier.
  Runner run({"run", file.string(), "--events", "--duration", "30"});
  Runner listen({"listen", file.string(), "--duration", "30"});
  ASSERT_TRUE(run.waitForLine(holds({R"("type":"command")", R"("element":"b/set")", R"("state":true)"})))
      << run.output() << broker.logReport();
  ASSERT_TRUE(waitForNote(listen, R"(client "b": subscribed to "t/set")")) << listen.errors() << broker.logReport();

  for (const auto& c : cases) peer->publishAndWait("t/set", c.payload, 1);
  const std::initializer_list<std::string_view> listened = {R"("type":"message")", R"("command":"b/set")"};
  const std::initializer_list<std::string_view> received = {R"("type":"command")", R"("element":"b/set")",
                                                            R"("receiveTime":")"};
  ASSERT_TRUE(waitForLines(listen, listened, cases.size())) << listen.output() << listen.errors();
  ASSERT_TRUE(waitForLines(run, received, cases.size())) << run.output();
  const auto lines = linesHolding(listen, listened);
  const auto records = linesHolding(run, received);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].fault);
    EXPECT_TRUE(holds({R"("client":"b","command":"b/set","topic":"t/set","QoS":0,"retained":false)"})(lines[i]))
        << lines[i];
    EXPECT_EQ(from(lines[i], R"("payload":)"), cases[i].shown);
    EXPECT_EQ(from(records[i], R"("receiveErrorSummary":)"), R"("receiveErrorSummary":")" + cases[i].summary + "\"}");
  }

  listen.signal(SIGTERM);
  EXPECT_EQ(listen.waitForExit(5s), 0) << listen.errors();
  // Only message lines: a data point that changed would be a "dataPoint" line.
  EXPECT_EQ(linesHolding(listen, {R"("type":"message")"}).size(), listen.lines().size()) << listen.output();
}

TEST_F(ListenWithBroker, EachCommandOnItsTopicGetsALineOfItsOwn) {
  // Retained before the listener subscribes: it arrives as a retained message.
  peer->publishAndWait("t/mode", "5", 1, true);
  auto file = dir.writeFile("plant.json", model(plainClient(broker.port(), "3.1.1")));
  Runner listen({"listen", file.string(), "--duration", "30"});
  ASSERT_TRUE(waitForNote(listen, R"(subscribed to "t/mode")")) << listen.errors();
  ASSERT_TRUE(waitForNote(listen, R"(subscribed to "t/set")")) << listen.errors();
  ASSERT_TRUE(waitForLines(listen, {R"("command":"b/audit")"}, 1)) << listen.output();
  peer->publishAndWait("t/set", R"({"mode": 8})", 1);
  peer->publishAndWait("t/mode", "6", 1);
  ASSERT_TRUE(waitForLines(listen, {R"("command":"b/audit")"}, 2)) << listen.output();

  const std::vector<std::string> expected = {
      R"("client":"b","command":"b/mode","topic":"t/mode","QoS":0,"retained":true,"payload":"5","payloadBytes":1,)"
      R"("entries":[{"dataPoint":"p/mode","jsonPath":"$","selected":5,"wouldWrite":5}]})",
      R"("client":"b","command":"b/audit","topic":"t/mode","QoS":0,"retained":true,"payload":"5","payloadBytes":1,)"
      R"("entries":[]})",
      R"("client":"b","command":"b/set","topic":"t/set","QoS":0,"retained":false,"payload":"{\"mode\": 8}",)"
      R"("payloadBytes":11,"entries":[{"dataPoint":"p/set","jsonPath":"$.v[1]","error":"failed to find a JSON )"
      R"(object member called \"v\""},{"dataPoint":"p/mode","jsonPath":"$.mode","selected":8,"wouldWrite":8},)"
      R"({"dataPoint":"p/label","jsonPath":"$.label","error":"failed to find a JSON object member called \"label\""}]})",
      R"("client":"b","command":"b/mode","topic":"t/mode","QoS":0,"retained":false,"payload":"6","payloadBytes":1,)"
      R"("entries":[{"dataPoint":"p/mode","jsonPath":"$","selected":6,"wouldWrite":6}]})",
      R"("client":"b","command":"b/audit","topic":"t/mode","QoS":0,"retained":false,"payload":"6","payloadBytes":1,)"
      R"("entries":[]})",
  };
  ASSERT_EQ(listen.lines().size(), expected.size()) << listen.output();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(from(listen.lines()[i], R"("client":)"), expected[i]);
  }

  // A broker that goes away is told of, and listened to again once it is back.
  broker.restart();
  EXPECT_TRUE(waitForNote(listen, R"(client "b": connection lost: Mosquitto 7: The connection was lost; reconnecting)"))
      << listen.errors();
  EXPECT_TRUE(waitForNote(listen, R"(subscribed to "t/set")", 2)) << listen.errors();
}

struct IdentifierCase {
  const char* fault;
  const char* version;
  const char* id;               // configured
  std::optional<MqttVersion> peer;  // a peer holds the configured identifier meanwhile
  const char* expected;         // the listener's identifier, a pattern
};

TEST_F(ListenWithBroker, ListensUnderAnIdentifierOfItsOwnThatFitsTheProtocol) {
  const IdentifierCase cases[] = {
      {"MQTT 5: the peer that holds the model's identifier keeps its connection", "5", "plant-1", MqttVersion::v5,
       "plant-1-listen-[0-9a-zA-Z]{6}"},
      {"MQTT 3.1.1: the same", "3.1.1", "plant-1", MqttVersion::v311, "plant-1-listen-[0-9a-zA-Z]{6}"},
      {"MQTT 3.1: a long identifier is cut to 23 bytes", "3.1", "a-rather-long-identifier", std::nullopt,
       "a-rather--listen-[0-9a-zA-Z]{6}"},
      {"MQTT 3.1: cut between characters, never inside one", "3.1", "\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4",
       std::nullopt, "\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4-listen-[0-9a-zA-Z]{6}"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    std::optional<TestPeer> holder;
    if (c.peer) {
      holder.emplace(PeerOptions{.port = broker.port(), .version = *c.peer, .clientId = c.id, .reconnect = false});
      ASSERT_TRUE(holder->connect().accepted());
    }
    auto file = dir.writeFile("plant.json", model(plainClient(broker.port(), c.version, c.id)));
    Runner listen({"listen", file.string(), "--duration", "30"});
    ASSERT_TRUE(waitForNote(listen, R"(subscribed to "t/set")")) << listen.errors() << broker.logReport();
    std::smatch match;
    const std::string errors = listen.errors();
    const std::regex connected("^client \"b\": connected to 127\\.0\\.0\\.1:\\d+ as \"(" + std::string(c.expected) + ")\"\n");
    ASSERT_TRUE(std::regex_search(errors, match, connected)) << errors;
    EXPECT_TRUE(broker.waitForLog(" as " + match[1].str() + " (")) << broker.logReport();
    peer->publishAndWait("t/mode", "1", 1);
    EXPECT_TRUE(waitForLines(listen, {R"("command":"b/mode")"}, 1)) << listen.output();
    if (holder) {
      EXPECT_TRUE(holder->connected());
      EXPECT_EQ(broker.log().find("already connected"), std::string::npos) << broker.logReport();
    }
    // Either stop signal ends it with an orderly DISCONNECT, not a connection that broke off.
    listen.signal(&c == cases ? SIGINT : SIGTERM);
    EXPECT_EQ(listen.waitForExit(5s), 0) << listen.errors();
    EXPECT_TRUE(broker.waitForLog("Received DISCONNECT from " + match[1].str())) << broker.logReport();
  }
}

struct FailureCase {
  const char* fault;
  std::string client;  // the client's configuration
  std::string note;    // on standard error
};

TEST(Listen, ConnectionFailuresAreReportedWithTheirCodeAndRetried) {
  const auto& certificates = Certificates::shared();
  Broker broker(BrokerOptions{
      .tlsListener = TlsListenerOptions{.caFile = certificates.caFile(), .server = certificates.server()},
      .allowAnonymous = false,
      .passwords = {{"u", "pw"}},
  });
  broker.start();
  const std::string plain = "127.0.0.1:" + std::to_string(broker.port());
  const std::string tls = "127.0.0.1:" + std::to_string(broker.tlsPort());
  auto client = [](const std::string& address, const std::string& version, const std::string& more) {
    return R"({"brokerAddress": ")" + address + R"(", "clientID": "plant-1", "mqttVersion": ")" + version + "\", " +
           more + "}";
  };
  const std::string rightUser = R"("username": "u", "password": "pw")";
  const std::string wrongUser = R"("username": "u", "password": "nope")";
  const std::string trust = R"("useTLS": true, "caCertificateFile": ")";
  const FailureCase cases[] = {
      {"MQTT 3.1.1: the broker refuses the password in its CONNACK", client(plain, "3.1.1", wrongUser),
       "cannot connect to " + plain + ": Mosquitto 5: Connection Refused: not authorised.; retrying every 1 s\n"},
      {"MQTT 5: the broker refuses the password with a reason code", client(plain, "5", wrongUser),
       "cannot connect to " + plain + ": Mosquitto 135: Not authorized; retrying every 1 s\n"},
      {"TLS: the broker's certificate is not from the trusted CA",
       client(tls, "5", rightUser + ", " + trust + certificates.wrongCaFile().string() + "\""),
       "cannot connect to " + tls +
           ": OpenSSL.certificateVerification 19: self-signed certificate in certificate chain; retrying every 1 s\n"},
      {"TLS with the client's trust and credentials connects", client(tls, "5", rightUser + ", " + trust +
                                                                                 certificates.caFile().string() + "\""),
       "subscribed to \"t/set\"\n"},
  };
  TempDir dir{"corvane-listen"};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    auto file = dir.writeFile("plant.json", model(c.client));
    Runner listen({"listen", file.string(), "--duration", "30"});
    EXPECT_TRUE(waitForNote(listen, "client \"b\": " + c.note)) << listen.errors() << broker.logReport();
    listen.signal(SIGTERM);
    EXPECT_EQ(listen.waitForExit(5s), 0) << listen.errors();
    EXPECT_EQ(listen.output(), "");
  }
}

TEST(Listen, DurationEndsAListenerWhoseBrokerIsNotThere) {
  TempDir dir{"corvane-listen"};
  const int port = testing::freeLoopbackPort();
  auto file = dir.writeFile("plant.json", model(plainClient(port)));
  const auto started = Clock::now();
  auto result = runToEnd({"listen", file.string(), "--duration", "1.5"});
  const auto took = Clock::now() - started;
  EXPECT_EQ(result.exitCode, 0) << result.errors;
  EXPECT_EQ(result.output, "");
  // Tried again within the time, and reported once: the failure did not change.
  EXPECT_EQ(result.errors, "client \"b\": cannot connect to 127.0.0.1:" + std::to_string(port) +
                               ": system 111: Connection refused; retrying every 1 s\n");
  EXPECT_GE(took, 1500ms);
  EXPECT_LT(took, 3s);
}

using testing::HangingLookups;

struct StopCase {
  const char* fault;
  std::vector<std::string> arguments;  // after the model
  int signal;                          // sent after a moment; 0: none
};

TEST(Listen, EndsOnTimeWhileTheBrokersNameIsStillBeingLookedUp) {
  HangingLookups hanging;
  TempDir dir{"corvane-listen"};
  auto file = dir.writeFile("plant.json", model(R"({"brokerAddress": ")" + std::string(HangingLookups::kName) +
                                                R"(:1883", "clientID": "plant-1"})"));
  const StopCase cases[] = {
      {"--duration", {"--duration", "1"}, 0},
      {"SIGINT", {}, SIGINT},
      {"SIGTERM", {}, SIGTERM},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    std::vector<std::string> arguments{"listen", file.string()};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const auto started = Clock::now();
    Runner listen(arguments);
    if (c.signal) {
      // Before that, a stop signal ends the process unhandled.
      while (!listen.modelReady() && Clock::now() - started < 3s) std::this_thread::sleep_for(5ms);
      std::this_thread::sleep_for(300ms);
      listen.signal(c.signal);
    }
    EXPECT_EQ(listen.waitForExit(4s), 0) << listen.errors();
    EXPECT_LT(Clock::now() - started, 3s);
    // Nothing to report: the lookup was still under way.
    if (listen.errors().find("getaddrinfo") != std::string::npos) {
      GTEST_SKIP() << "this resolver does not read HOSTALIASES, no lookup hangs: " << listen.errors();
    }
    EXPECT_EQ(listen.errors(), "");
  }
}

TEST(Listen, ANameThatDoesNotResolveIsReportedWithItsCode) {
  TempDir dir{"corvane-listen"};
  auto file = dir.writeFile("plant.json", model(R"({"brokerAddress": "no-such-host.invalid:1883", "clientID": "p"})"));
  auto result = runToEnd({"listen", file.string(), "--duration", "0.5"});
  EXPECT_EQ(result.exitCode, 0) << result.errors;
  EXPECT_EQ(result.errors, "client \"b\": cannot connect to no-such-host.invalid:1883: getaddrinfo -2: Name or service "
                           "not known; retrying every 1 s\n");
}

struct ModelErrorCase {
  const char* fault;
  std::string model;
  const char* expected;  // standard error, after the directory
};

TEST(Listen, ModelErrorsExitWithStatusTwoBeforeAnythingConnects) {
  const ModelErrorCase cases[] = {
      {"malformed JSON", "{\"elements\": [}", "/m.json:1:15: expected JSON value, found '}'\n"},
      {"a model without commands",
       R"({"elements": [{"skill": "MQTT", "class": "Client", "name": "b", "config": {"brokerAddress": "h"}}]})",
       "/m.json: the model has no Command elements: nothing to listen to\n"},
      {"a command that would write a read-only point",
       replaced(model(plainClient(1)), R"("type": "double", "value": 20)", R"("type": "double", "access": "readOnly")"),
       "/m.json:10:8: element \"b/set\": data point \"p/set\" is read-only\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    TempDir dir{"corvane-listen"};
    auto file = dir.writeFile("m.json", c.model);
    auto result = runToEnd({"listen", file.string(), "--duration", "5"});
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.errors, dir.path().string() + c.expected);
  }
}

}  // namespace
}  // namespace corvane::run
