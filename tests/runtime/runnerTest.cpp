// corvane-run end to end: the built binary on model files, JSON documents and a real broker.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <tuple>
#include <thread>

#include "broker.hpp"
#include "certificates.hpp"
#include "loopbackPort.hpp"
#include "runnerProcess.hpp"
#include "tempDir.hpp"

namespace corvane::run {
namespace {

// ---- validate and render ----

constexpr std::string_view kPlantModel = R"({"dataPoints": [
  {"name": "plant/level", "uuid": "00000000-0000-4000-8000-00000000000a", "type": "integer", "value": 7,
    "attributes": {"unit": "mm"}},
  {"name": "plant/label", "uuid": "00000000-0000-4000-8000-00000000000b", "type": "string", "value": "tank \"A\"",
    "quality": 64},
  {"name": "plant/set", "uuid": "00000000-0000-4000-8000-00000000000c", "type": "double", "value": 0.5,
    "simulation": {"kind": "sine", "period": "1s"}}],
 "elements": [{"skill": "MQTT", "class": "Client", "name": "b", "uuid": "00000000-0000-4000-8000-000000000001",
   "tasks": {"reconnect": "250ms"},
  "config": {"brokerAddress": "broker.invalid:1884", "clientID": "plant-1", "mqttVersion": "3.1",
    "birth": {"topic": "plant/birth", "QoS": 1, "payload": {"@DataPoint": "plant/label"}},
      "lastWill": {"topic": "plant/will", "payload": "gone"}},
  "children": [{"class": "Topic", "name": "level", "uuid": "00000000-0000-4000-8000-000000000002",
    "tasks": {"publish": "1.5s"},
     "config": {"topic": "plant/level", "qos": 2, "retained": true, "extraAttributes": ["unit"],
                "payload": {"@Array": [{"@DataPoint": "plant/level"}, {"@Attribute": "b#clientID"}]}}},
    {"class": "Topic", "name": "fixed", "uuid": "00000000-0000-4000-8000-000000000003",
      "config": {"topic": "plant/fixed", "payload": "on\tline"}},
    {"class": "Command", "name": "set", "uuid": "00000000-0000-4000-8000-000000000004",
      "config": {"topic": "plant/set/cmd", "payload": [
      {"@DataPoint": {"dataPoint": "plant/set", "jsonPath": "$.v[1]"}},
      {"@DataPoint": {"dataPoint": "plant/label", "jsonPath": "$['a b']", "asJSONText": true}}]}}]}]})";

TEST(Runner, ValidateAndRenderShowWhatTheModelResolvedTo) {
  testing::TempDir dir;
  auto model = dir.writeFile("plant.json", kPlantModel);
  // One line per data point and element in model order, each with what it resolved to: the port
  // from the address, 3.1 as the key spells it, the old-style will for abnormal ends only,
  // "retained" without "requireForBirth" gating the birth message, extra attributes after value
  // and quality, a topic without a cycle of its own every second.
  const std::vector<std::vector<std::string_view>> expected = {
      {R"({"dataPoint":"plant/level","uuid":"00000000-0000-4000-8000-00000000000a","type":"integer","value":7,"quality":192,"access":"readWrite"})"},
      {R"("value":"tank \"A\"","quality":64,)"}, {R"("simulation":{"kind":"sine","period":1}})"},
      {R"({"element":"b","name":"b","skill":"MQTT","class":"Client","uuid":"00000000-0000-4000-8000-000000000001",)",
       R"("brokerAddress":"broker.invalid","portNumber":1884,"clientID":"plant-1","mqttVersion":"3.1","tls":"off",)",
       R"("birth":{"topic":"plant/birth","QoS":1,"retained":false,"attributeNames":["value","quality"],"waitsFor":["plant/level"]},)",
       R"("will":{"topic":"plant/will","payload":"gone","QoS":0,"retained":false,"abnormalDisconnectOnly":true},)",
       R"("tasks":{"reconnect":0.25}})"},
      {R"("QoS":2,"retained":true,"requireForBirth":true,"attributeNames":["value","quality","unit"],)",
       R"("payload":"template","tasks":{"publish":1.5}})"},
      {R"("payload":"fixed","tasks":{"publish":1}})"}, {R"("jsonPath":"$['a b']","asJSONText":true}],)"},
  };
  Runner runner({"validate", model.string()});
  ASSERT_EQ(runner.waitForExit(), 0) << runner.errors();
  EXPECT_EQ(runner.errors(), "");
  // Birth and will on different topics: the one warning of this model comes after what it resolved to.
  ASSERT_EQ(runner.lines().size(), expected.size() + 1) << runner.output();
  for (std::size_t i = 0; i < expected.size(); ++i) {
    for (auto part : expected[i]) EXPECT_NE(runner.lines()[i].find(part), std::string::npos) << runner.lines()[i];
  }
  EXPECT_TRUE(runner.lines().back().starts_with(R"({"warning":"the birth message and the will are on different)"));

  // Each message once from the initial values: the birth message first, then the topics in model
  // order; a fixed text goes out unchanged (its tab included).
  auto result = runToEnd({"render", model.string()});
  ASSERT_EQ(result.exitCode, 0) << result.errors;
  EXPECT_EQ(result.output,
            "plant/birth\t{\"value\":\"tank \\\"A\\\"\",\"quality\":64}\n"
            "plant/level\t[{\"value\":7,\"quality\":192,\"unit\":\"mm\"},\"plant-1\"]\n"
            "plant/fixed\ton\tline\n");
}

struct ErrorCase {
  const char* fault;
  std::string model;     // written to m.json
  const char* expected;  // standard error, after the directory
  std::vector<const char*> subcommands = {"validate", "render", "run", "listen"};
};

// A model of client "b" at "h" with these children, after these data points.
std::string hModel(std::string_view children, std::string_view points = "") {
  return R"({"dataPoints": [)" + std::string(points) + R"(],
 "elements": [{"skill": "MQTT", "class": "Client", "name": "b", "config": {"brokerAddress": "h"},
  "children": [)" + std::string(children) + "]}]}";
}

TEST(Runner, ConfigurationErrorsAreLocatedAndExitWithStatusTwo) {
  const ErrorCase cases[] = {
      {"malformed JSON", "{\"elements\": [}", "m.json:1:15: "},
      {"unknown key names the element", replaced(hModel(""), R"("h"})", R"("h", "QoS": 1})"),
       "m.json:2:98: unknown parameter \"QoS\" (element \"b\")\n"},
      {"a command path that does not parse",
       hModel(R"({"class": "Command", "name": "c", "config": {"topic": "t",
   "payload": [{"@DataPoint": {"dataPoint": "p", "jsonPath": "$..v"}}]}})",
              R"({"name": "p", "type": "integer"})"),
       "m.json:4:62: JSON path descendant segments are not supported (element \"b/c\")\n"},
      {"a prepare error names the element at its declaration",
       hModel(R"({"class": "Topic", "name": "t", "config": {"topic": "t", "payload": {"@DataPoint": "p"}}})",
              R"({"name": "p", "type": "integer", "access": "writeOnly"})"),
       "m.json:3:16: element \"b/t\": MQTT topic \"b/t\": data point \"p\" is write-only\n"},
      {"listen: a model without commands", hModel(""),
       "m.json: the model has no Command elements: nothing to listen to\n", {"listen"}},
      {"listen: a command that would write a read-only point",
       hModel(R"({"class": "Command", "name": "c",
   "config": {"topic": "t", "payload": [{"@DataPoint": {"dataPoint": "p", "jsonPath": "$"}}]}})",
              R"({"name": "p", "type": "integer", "access": "readOnly"})"),
       "m.json:3:16: element \"b/c\": data point \"p\" is read-only\n",
       {"listen"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    testing::TempDir dir;
    auto model = dir.writeFile("m.json", c.model);
    // run and listen stop before anything starts or connects: no output at all.
    for (const char* subcommand : c.subcommands) {
      SCOPED_TRACE(subcommand);
      auto result = runToEnd({subcommand, model.string()});
      EXPECT_EQ(result.exitCode, 2);
      EXPECT_EQ(result.output, "");
      std::string expected = dir.path().string() + "/" + c.expected;
      EXPECT_EQ(result.errors.substr(0, expected.size()), expected) << result.errors;
    }
  }
  auto missing = runToEnd({"validate", "/nonexistent/m.json"});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_EQ(missing.errors, "/nonexistent/m.json:0:0: cannot open model file \"/nonexistent/m.json\"\n");
}

// ---- files that are no model files ----

TEST(Runner, FilesThatAreNoRegularFilesAreRefusedAtOnce) {
  testing::TempDir dir;
  // A FIFO without a writer (the open must not wait), a directory, an endless device, and a file
  // one byte above the limit (sparse: it costs no disk).
  const auto fifo = dir / "fifo.json", directory = dir / "directory.json", huge = dir / "huge.json";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::filesystem::create_directory(directory);
  std::ofstream{huge};
  std::filesystem::resize_file(huge, (std::uintmax_t{256} << 20) + 1);
  const auto model = dir.writeFile("m.json", R"({"elements": []})");
  struct FileCase {
    std::vector<std::string> arguments;  // the file follows
    std::string file, reason;
    int status = 2;
  };
  const FileCase cases[] = {
      {{"run"}, fifo, "not a regular file"},
      {{"validate"}, fifo, "not a regular file"},
      {{"render"}, fifo, "not a regular file"},
      {{"listen"}, fifo, "not a regular file"},
      {{"tls-probe"}, fifo, "not a regular file"},
      {{"validate", model, "--sample"}, fifo, "not a regular file"},
      {{"path", "$"}, fifo, "not a regular file", 3},  // path keeps its status for a document it cannot read
      {{"run"}, "/dev/zero", "not a regular file"},
      {{"validate"}, directory, "not a regular file"},
      {{"render"}, huge, "larger than 256 MiB"},
      {{"path", "$"}, huge, "larger than 256 MiB", 3},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.file + " for " + c.arguments.front());
    c.arguments.push_back(c.file);
    Runner runner(c.arguments);
    EXPECT_EQ(runner.waitForExit(10s), c.status) << "hangs, or ended otherwise: " << runner.errors();
    EXPECT_EQ(runner.errors(), "corvane-run: " + c.file + ": " + c.reason + "\n");
    EXPECT_EQ(runner.output(), "");
  }
  // Certificate and key files: judged when the client is prepared, before OpenSSL opens them.
  const auto& certificates = testing::Certificates::shared();
  const std::pair<std::string, std::string> tls[] = {
      // Old-style paths are not looked up at load.
      {R"("useTLS": true, "caCertificateFile": ")" + fifo.string() + "\"",
       R"(could not set CA certificate file of OpenSSL context for MQTT client "b" to ")" + fifo.string() +
           R"(": not a regular file)"},
      {R"("TLS": {"enabled": true, "clientCertificate": {"certificateFile": ")" +
           certificates.client().certificate.string() + R"(", "privateKeyFile": ")" + huge.string() + "\"}}",
       R"(could not load private key for MQTT client "b" from file ")" + huge.string() + R"(": larger than 256 MiB)"},
  };
  for (const auto& [config, message] : tls) {
    auto clientModel =
        dir.writeFile("tls.json", R"({"elements": [{"skill": "MQTT", "class": "Client", "name": "b", "config": {
      "brokerAddress": "127.0.0.1:1", )" +
                                      config + "}}]}");
    for (const char* subcommand : {"validate", "tls-probe"}) {
      SCOPED_TRACE(message + " for " + subcommand);
      Runner runner({subcommand, clientModel.string()});
      EXPECT_EQ(runner.waitForExit(10s), 2) << "hangs, or ended otherwise: " << runner.errors();
      EXPECT_TRUE(runner.errors().ends_with("element \"b\": " + message + "\n")) << runner.errors();
    }
  }
}

// A model large enough to take seconds to load: SIGTERM meanwhile ends the run at once, as the
// signal does by default, rather than after the load (nothing is connected yet).
TEST(Runner, StopSignalWhileALargeModelLoadsEndsTheRunAtOnce) {
  testing::TempDir dir;
  const auto model = dir / "large.json";
  std::ofstream out(model);
  out << R"({"dataPoints": [{"name": "p", "type": "double"})";
  for (int i = 0; i < 1000000; ++i) out << R"(, {"name": "plant/point)" << i << R"(", "type": "double"})";
  out << "]}" << std::flush;
  Runner runner({"run", model.string(), "--events"});
  // Once the runner holds the whole text, it is parsing it and creating the model.
  for (const auto deadline = Clock::now() + 20s;; std::this_thread::sleep_for(2ms)) {
    std::ifstream status("/proc/" + std::to_string(runner.pid()) + "/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("VmRSS:")) continue;
    if (line.size() > 6 && std::stoull(line.substr(6)) * 1024 > std::filesystem::file_size(model)) break;
    ASSERT_LT(Clock::now(), deadline) << "the runner never read the model";
  }
  runner.signal(SIGTERM);
  runner.waitForExit(10s);
  EXPECT_EQ(runner.endingSignal(), SIGTERM) << runner.errors();
  // It never got as far as running.
  EXPECT_TRUE(runner.lines().empty()) << runner.lines().front();
}

// ---- path ----

// One row per exit status: selected, nothing selected, no expression, no document.
TEST(Runner, PathSelectsLikeACommandAndExitsByWhatWentWrong) {
  const std::tuple<const char*, const char*, int, const char*, const char*> cases[] = {
      {"$.a.b[1]", "{ \"a\" : {\"b\": [1, {\"c\": [true, null], \"a\": 2.5}]}}", 0, "{\"c\":[true,null],\"a\":2.5}\n",
       ""},
      {"$.b", R"({"a": 1})", 1, "", "failed to find a JSON object member called \"b\"\n"},
      {"a", "{}", 2, "", "expected root identifier '$' at 0, found a\n"},
      {"$", R"({"a": 1)", 3, "", "1:8: expected ',' or '}' after object member, found end of JSON text\n"},
  };
  for (const auto& [expression, document, exitCode, output, errors] : cases) {
    auto result = runToEnd({"path", expression}, document);
    EXPECT_EQ(result.exitCode, exitCode) << expression << ": " << result.errors;
    EXPECT_EQ(result.output, output);
    EXPECT_EQ(result.errors, errors);
  }
}

// ---- how a run ends ----

// A client with a birth message, a topic and a command. The topic does not publish again for an
// hour: after the birth message the runner has nothing more to say, so the birth line arrives
// only if every line is flushed as it is written.
std::string liveModel(int port) {
  return replaced(R"({"dataPoints": [{"name": "p/level", "type": "integer", "value": 7}],
  "elements": [{"skill": "MQTT", "class": "Client", "name": "b", "tasks": {"reconnect": "100ms"},
    "config": {"brokerAddress": "127.0.0.1:PORT", "clientID": "runner-e2e", "birth": {"topic": "t/birth",
      "payload": "up"}},
    "children": [{"class": "Topic", "name": "level", "config": {"topic": "t/level",
      "payload": {"@DataPoint": "p/level"}}, "tasks": {"publish": "1h"}},
      {"class": "Command", "name": "set", "config": {"topic": "t/set",
       "payload": [{"@DataPoint": {"dataPoint": "p/level", "jsonPath": "$"}}]}}]}]})",
                  "PORT", std::to_string(port));
}

// Connections to the loopback port in their handshake (SYN_SENT) on this machine.
int connecting(int port) {
  std::ifstream table("/proc/net/tcp");
  char remote[16];
  std::snprintf(remote, sizeof remote, ":%04X 02 ", port);
  int count = 0;
  for (std::string line; std::getline(table, line);) count += line.find(remote) != std::string::npos;
  return count;
}

enum class Broker { there, refuses, neverAnswers };

struct EndCase {
  const char *name, *duration;
  int signal;  // its name is the "reason" of the stopping line; 0: the duration
  Broker broker;
  std::chrono::seconds limit;  // from the signal, or from the start
};

// Every way a run ends is orderly (status 0, the stopping line, the disconnection recorded before
// the runner leaves) and on time, also while a connect never completes (the listener's queue is
// full): cleanup waits at most 5 s.
TEST(Runner, EveryWayARunEndsIsOrderlyAndOnTime) {
  testing::Broker broker;
  broker.start();
  testing::SilentListener full(true);
  const EndCase cases[] = {
      {"SIGHUP: the terminal closed", nullptr, SIGHUP, Broker::there, 5s},
      {"SIGTERM, a duration beyond a hundred years is no deadline", "1e10", SIGTERM, Broker::there, 5s},
      {"--duration, the broker refuses every connection", "0.5", 0, Broker::refuses, 4s},
      {"SIGTERM while the connect never completes", nullptr, SIGTERM, Broker::neverAnswers, 6s},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir dir;
    const int port = c.broker == Broker::there ? broker.port() : c.broker == Broker::refuses ? 1 : full.port();
    std::vector<std::string> arguments{"run", dir.writeFile("live.json", liveModel(port)).string(), "--events"};
    if (c.duration) arguments.insert(arguments.end(), {"--duration", c.duration});
    const int before = connecting(full.port());  // the listener's own second connection waits too
    auto stopped = Clock::now();
    Runner runner(arguments);
    if (c.broker == Broker::there) {
      ASSERT_TRUE(runner.waitForLine(holds({R"("type":"event")", R"("event":"birth")"}))) << runner.output();
    }
    for (const auto deadline = Clock::now() + 10s;
         c.broker == Broker::neverAnswers && connecting(full.port()) == before; std::this_thread::sleep_for(5ms)) {
      ASSERT_LT(Clock::now(), deadline) << "no connect under way";
    }
    if (c.signal != 0) {
      stopped = Clock::now();
      runner.signal(c.signal);
    }
    EXPECT_EQ(runner.waitForExit(10s), 0) << runner.errors();
    EXPECT_LT(Clock::now() - stopped, c.limit);
    const std::string reason = c.signal ? std::string("SIG") + sigabbrev_np(c.signal) : "duration";
    EXPECT_TRUE(runner.waitForLine(holds({R"("type":"stopping")", R"("reason":")" + reason + "\""}), 0ms))
        << runner.output();
    EXPECT_EQ(runner.output().find(R"("event":"disconnected")") != std::string::npos, c.broker == Broker::there)
        << runner.output();
  }
}

}  // namespace
}  // namespace corvane::run
