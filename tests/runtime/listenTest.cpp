// corvane-run listen end to end: the built runner against a real mosquitto, with a peer that
// publishes what the commands would receive and, where it matters, the real command beside it.

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <thread>

#include "broker.hpp"
#include "certificates.hpp"
#include "hangingLookups.hpp"
#include "loopbackPort.hpp"
#include "runnerProcess.hpp"
#include "tempDir.hpp"
#include "testPeer.hpp"

namespace corvane::run {
namespace {


// Three typed points; "set" takes three of a message's values, "mode" and "audit" share a topic.
// CLIENT is the whole "config" of the client but its children.
constexpr std::string_view kModel = R"({"dataPoints": [{"name": "p/set", "type": "double", "value": 20},
    {"name": "p/mode", "type": "integer", "value": 7}, {"name": "p/label", "type": "string", "value": "old"}],
  "elements": [{"skill": "MQTT", "class": "Client", "name": "b", "config": CLIENT, "children": [
    {"class": "Command", "name": "set", "config": {"topic": "t/set",
      "payload": [{"@DataPoint": {"dataPoint": "p/set", "jsonPath": "$.v[1]"}},
      {"@DataPoint": {"dataPoint": "p/mode", "jsonPath": "$.mode"}}, {"@DataPoint": {"dataPoint": "p/label",
        "jsonPath": "$.label", "asJSONText": true}}]}},
    {"class": "Command", "name": "mode", "config": {"topic": "t/mode",
      "payload": [{"@DataPoint": {"dataPoint": "p/mode", "jsonPath": "$"}}]}},
    {"class": "Command", "name": "audit", "config": {"topic": "t/mode", "payload": []}}]}]})";

std::string model(const std::string& client) { return replaced(std::string(kModel), "CLIENT", client); }

std::string plainClient(int port) {
  return R"({"brokerAddress": "127.0.0.1:)" + std::to_string(port) + R"(", "clientID": "plant-1", "mqttVersion": "5"})";
}

std::size_t occurrences(const std::string& text, std::string_view part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

// Until standard error holds `text` `times` times.
bool waitForNote(Runner& runner, std::string_view text, std::size_t times = 1) {
  return runner.waitUntil([&] { return occurrences(runner.errors(), text) >= times; });
}

bool waitForLines(Runner& runner, std::initializer_list<std::string_view> members, std::size_t n) {
  return runner.waitUntil([&] { return runner.linesHolding(members).size() >= n; });
}

std::string from(const std::string& line, std::string_view member) {
  const auto at = line.find(member);
  return at == std::string::npos ? "(no " + std::string(member) + " in " + line + ")" : line.substr(at);
}

// The identifier a listener announced on standard error, once it has connected; empty otherwise.
std::string listenerId(Runner& listen, const std::string& pattern) {
  if (!waitForNote(listen, R"(subscribed to "t/set")")) return "";
  std::smatch match;
  const std::string errors = listen.errors();
  const std::regex connected("^client \"b\": connected to 127\\.0\\.0\\.1:\\d+ as \"(" + pattern + ")\"\n");
  return std::regex_search(errors, match, connected) ? match[1].str() : "";
}

// `shown`: listen's line from "payload" on; `summary`: the real command's error summary for the same
// message, as JSON text.
struct MessageCase {
  const char* fault;
  std::string payload, shown, summary;
};

// Beside the real command, under the model's own identifier (MQTT 5), which keeps its connection:
// what each entry selects and would write, as the command does, without writing; a retained
// message and a topic of two commands.
TEST(Listen, ShowsWhatEachEntrySelectsAndWouldWriteAsTheCommandDoesWithoutWriting) {
  testing::Broker broker;
  broker.start();
  testing::TestPeer peer({.port = broker.port()});
  ASSERT_TRUE(peer.connect().accepted());
  testing::TempDir dir{"corvane-listen"};
  const std::string pad(5000, 'x');
  const std::vector<MessageCase> cases = {
      {"every path selects, each point takes its type", R"({"v": [0, 42], "mode": 3, "label": {"a": "x"}})",
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
      {"paths the message does not fit show the evaluator's own words", R"({"v": [0], "label": null})",
       R"("payload":"{\"v\": [0], \"label\": null}","payloadBytes":25,"entries":[)"
       R"({"dataPoint":"p/set","jsonPath":"$.v[1]","error":"the array index \"1\" is out of range"},)"
       R"({"dataPoint":"p/mode","jsonPath":"$.mode","error":"failed to find a JSON object member called \"mode\""},)"
       R"({"dataPoint":"p/label","jsonPath":"$.label","selected":null,"wouldWrite":"null"}]})",
       R"(\np/set: the array index \"1\" is out of range\np/mode: failed to find a JSON object member called \"mode\")"},
      {"malformed UTF-8 is shown as U+FFFD", "{\"label\": \"\xC3\x28\"}",
       "\"payload\":\"{\\\"label\\\": \\\"\xEF\xBF\xBD(\\\"}\",\"payloadBytes\":15,"
       "\"error\":\"1:12: invalid UTF-8 in JSON text\",\"entries\":[]}", "1:12: invalid UTF-8 in JSON text"},
      {"a huge payload is shown cut, its entries in full", R"({"v": [0, 9], "mode": 4, "label": ")" + pad + R"("})",
       R"("payload":"{\"v\": [0, 9], \"mode\": 4, \"label\": \")" + std::string(4096 - 35, 'x') +
           R"(","payloadBytes":5037,)"
           R"("payloadTruncated":true,"entries":[{"dataPoint":"p/set","jsonPath":"$.v[1]","selected":9,"wouldWrite":9},)"
           R"({"dataPoint":"p/mode","jsonPath":"$.mode","selected":4,"wouldWrite":4},{"dataPoint":"p/label","jsonPath":"$.label",)"
           R"("selected":")" +
           pad + R"(","wouldWrite":"\")" + pad + R"(\""}]})",
       ""},
  };

  // Retained before the listener subscribes: it arrives as a retained message.
  peer.publishAndWait("t/mode", "5", 1, true);
  auto file = dir.writeFile("plant.json", model(plainClient(broker.port())));
  Runner run({"run", file.string(), "--events", "--duration", "60"});
  ASSERT_TRUE(run.waitForLine(holds({R"("type":"command")", R"("element":"b/set")", R"("state":true)"})))
      << run.output() << broker.logReport();
  Runner listen({"listen", file.string(), "--duration", "60"});
  const auto id = listenerId(listen, "plant-1-listen-[0-9a-zA-Z]{6}");
  ASSERT_NE(id, "") << listen.errors() << broker.logReport();
  EXPECT_TRUE(broker.waitForLog(" as " + id + " (")) << broker.logReport();

  for (const auto& c : cases) peer.publishAndWait("t/set", c.payload, 1);
  peer.publishAndWait("t/mode", "6", 1);
  const std::initializer_list<std::string_view> listened = {R"("type":"message")", R"("command":"b/set")"};
  const std::initializer_list<std::string_view> received = {R"("type":"command")", R"("element":"b/set")",
                                                            R"("receiveTime":")"};
  ASSERT_TRUE(waitForLines(listen, listened, cases.size())) << listen.output() << listen.errors();
  ASSERT_TRUE(waitForLines(listen, {R"("command":"b/audit")"}, 2)) << listen.output();
  ASSERT_TRUE(waitForLines(run, received, cases.size())) << run.output();
  const auto lines = listen.linesHolding(listened);
  const auto records = run.linesHolding(received);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].fault);
    EXPECT_TRUE(holds({R"("client":"b","command":"b/set","topic":"t/set","QoS":0,"retained":false)"})(lines[i]))
        << lines[i];
    EXPECT_EQ(from(lines[i], R"("payload":)"), cases[i].shown);
    EXPECT_EQ(from(records[i], R"("receiveErrorSummary":)"), R"("receiveErrorSummary":")" + cases[i].summary + "\"}");
  }
  // Each command on the shared topic gets a line of its own, the retained message first.
  const auto shared = listen.linesHolding({R"("topic":"t/mode")"});
  ASSERT_EQ(shared.size(), 4u) << listen.output();
  EXPECT_EQ(from(shared[1], R"("command":)"),
            R"("command":"b/audit","topic":"t/mode","QoS":0,"retained":true,"payload":"5","payloadBytes":1,"entries":[]})");
  // Only message lines: a data point that changed would be a "dataPoint" line.
  EXPECT_EQ(listen.linesHolding({R"("type":"message")"}).size(), listen.lines().size()) << listen.output();
  EXPECT_EQ(broker.log().find("already connected"), std::string::npos) << broker.logReport();

  listen.signal(SIGINT);
  EXPECT_EQ(listen.waitForExit(5s), 0) << listen.errors();
  EXPECT_TRUE(broker.waitForLog("Received DISCONNECT from " + id)) << broker.logReport();
}

// Each failure is reported once with its code and retried until --duration ends the listener.
TEST(Listen, ConnectionFailuresAreReportedWithTheirCodeAndRetried) {
  const auto& certs = testing::Certificates::shared();
  testing::Broker broker({.tlsListener = testing::TlsListenerOptions{.caFile = certs.caFile(),
                                                                     .server = certs.server()},
                 .allowAnonymous = false, .passwords = {{"u", "pw"}}});
  broker.start();
  const std::string plain = "127.0.0.1:" + std::to_string(broker.port()),
                    tls = "127.0.0.1:" + std::to_string(broker.tlsPort());
  auto client = [](const std::string& address, const std::string& more, const std::string& id = "plant-1") {
    return R"({"brokerAddress": ")" + address + R"(", "clientID": ")" + id + R"(", "mqttVersion": ")" +
           (id == "plant-1" ? "5" : "3.1") + "\", " + more + "}";
  };
  const std::string rightUser = R"("username": "u", "password": "pw")",
                    badUser = R"("username": "u", "password": "nope")";
  const std::string trust = rightUser + R"(, "useTLS": true, "caCertificateFile": ")";
  const std::pair<std::string, std::string> cases[] = {  // the client's configuration, its note
      {client(plain, badUser), "cannot connect to " + plain + ": Mosquitto 135: Not authorized; retrying every 1 s\n"},
      {client(tls, trust + certs.wrongCaFile().string() + "\""), "cannot connect to " + tls +
       ": OpenSSL.certificateVerification 19: self-signed certificate in certificate chain; retrying every 1 s\n"},
      // MQTT 3.1 takes 23 bytes of identifier: the listener's is cut to fit, between characters.
      {client(tls, trust + certs.caFile().string() + "\"", "\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4"),
       "subscribed to \"t/set\"\n"},
  };
  testing::TempDir dir{"corvane-listen"};
  std::vector<std::unique_ptr<Runner>> listeners;  // side by side: each is tried again within its time
  for (const auto& [config, note] : cases) {
    const auto file = dir.writeFile("plant" + std::to_string(listeners.size()) + ".json", model(config));
    listeners.push_back(
        std::make_unique<Runner>(std::vector<std::string>{"listen", file.string(), "--duration", "1.5"}));
  }
  for (std::size_t i = 0; i < listeners.size(); ++i) {
    SCOPED_TRACE(cases[i].second);
    EXPECT_EQ(listeners[i]->waitForExit(10s), 0) << listeners[i]->errors();
    EXPECT_EQ(occurrences(listeners[i]->errors(), "client \"b\": " + cases[i].second), 1u) << listeners[i]->errors();
  }
}

// The name is looked up on a thread a stop does not wait for.
TEST(Listen, EndsOnTimeWhileTheBrokersNameIsStillBeingLookedUp) {
  testing::HangingLookups hanging;
  testing::TempDir dir{"corvane-listen"};
  auto file = dir.writeFile("plant.json", model(R"({"brokerAddress": ")" + std::string(testing::HangingLookups::kName) +
                                                R"(:1883", "clientID": "plant-1"})"));
  for (const int signal : {0, SIGINT, SIGTERM}) {  // 0: --duration
    SCOPED_TRACE(signal);
    std::vector<std::string> arguments{"listen", file.string()};
    if (!signal) arguments.insert(arguments.end(), {"--duration", "1"});
    const auto started = Clock::now();
    Runner listen(arguments);
    if (signal) {
      // Before that, a stop signal ends the process unhandled.
      while (!listen.modelReady() && Clock::now() - started < 3s) std::this_thread::sleep_for(5ms);
      std::this_thread::sleep_for(300ms);
      listen.signal(signal);
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

}  // namespace
}  // namespace corvane::run
