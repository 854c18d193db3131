// What `run` writes, and that writing it never holds the model: the output writer and the terminal
// text directly, then corvane-run end to end with a reader that stalls and on a pseudo-terminal.

#include <gtest/gtest.h>

#include <fcntl.h>

#include <fstream>
#include <sstream>
#include <thread>
#include <tuple>
#include <utility>

#include "broker.hpp"
#include "outputWriter.hpp"
#include "runnerProcess.hpp"
#include "tempDir.hpp"
#include "terminalText.hpp"
#include "testPeer.hpp"

namespace corvane::run {
namespace {

TEST(TerminalText, EscapesWhatATerminalWouldActOn) {
  const std::tuple<const char*, std::string, std::string> cases[] = {  // fault, text, shown
      {"window title and clear screen", "\x1b]0;pwned\a\x1b[2J", "\\x1b]0;pwned\\x07\\x1b[2J"},
      {"a forged line: line breaks are the view's alone", "ok\r\nforged", "ok\\x0d\\x0aforged"},
      {"tab, NUL and DEL", std::string("\t\0\x7f", 3), "\\x09\\x00\\x7f"},
      {"C1 CSI as UTF-8 and as a raw byte; U+00A0 is past C1", "\xc2\x9b\x9b\xc2\xa0", "\\u009b\\x9b\xc2\xa0"},
      {"cut short, overlong, surrogate", "\xe2\x82|\xc0\x9b|\xed\xa0\x80", "\\xe2\\x82|\\xc0\\x9b|\\xed\\xa0\\x80"},
      {"well-formed text stays", "\xc3\xa9 \xf0\x9f\x98\x80 \\x1b", "\xc3\xa9 \xf0\x9f\x98\x80 \\x1b"},
  };
  for (const auto& [fault, text, shown] : cases) EXPECT_EQ(terminalText(text), shown) << fault;
}

// The writer's descriptor is switched under it between a file and /dev/full: what the full device
// refused is lost and counted, told once writing works again (before the next line, or at the end),
// and the writer keeps going.
TEST(OutputWriter, AFailedWriteLosesItsLinesAndTellsThemOnceWritingWorksAgain) {
  testing::TempDir dir{"corvane-output"};
  const auto file = dir / "out";
  const int target = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  const int out = ::fcntl(target, F_DUPFD_CLOEXEC, 0);
  ASSERT_TRUE(target >= 0 && full >= 0 && out >= 0);
  auto contents = [&] {
    std::ifstream in(file);
    return std::string(std::istreambuf_iterator<char>(in), {});
  };
  OutputWriter writer(out, [](std::uint64_t lines, TimeStamp) { return "dropped " + std::to_string(lines) + "\n"; });
  auto failingFor = [&](std::uint64_t lines, std::initializer_list<const char*> texts) {
    ::dup3(full, out, O_CLOEXEC);
    for (const char* text : texts) writer.write(text);
    EXPECT_TRUE(testing::eventually([&] { return writer.writeFailures().lines == lines; }, 5s))
        << writer.writeFailures().lines;
    ::dup3(target, out, O_CLOEXEC);
  };
  writer.write("a\n");
  ASSERT_TRUE(testing::eventually([&] { return contents() == "a\n"; }, 5s)) << contents();
  failingFor(2, {"b\n", "c\n"});
  writer.write("d\n");
  ASSERT_TRUE(testing::eventually([&] { return contents() == "a\ndropped 2\nd\n"; }, 5s)) << contents();
  failingFor(3, {"e\n"});
  writer.finish();
  EXPECT_EQ(contents(), "a\ndropped 2\nd\ndropped 1\n");
  EXPECT_EQ(writer.writeFailures().error, std::error_code(ENOSPC, std::system_category()));
  EXPECT_EQ(writer.droppedTotal(), 3u);
  for (int fd : {target, full, out}) ::close(fd);
}

// One client with a 5 s keepalive, a topic publishing the set point every 100 ms, a command that
// writes it and a text, and ten counters changing every 10 ms: more lines than the queue holds
// over a stall.
constexpr std::string_view kModel = R"({"dataPoints": [
  {"name": "p/set", "type": "double", "value": 0}, {"name": "p/text", "type": "string", "value": ""}COUNTERS],
 "elements": [{"skill": "MQTT", "class": "Client", "name": "b", "config": {"brokerAddress": "127.0.0.1:PORT",
   "clientID": "stalled",
    "keepaliveInterval": 5, "will": {"topic": "t/will", "payload": "gone", "abnormalDisconnectOnly": true}},
      "children": [
   {"class": "Topic", "name": "level", "config": {"topic": "t/level", "payload": {"@DataPoint": "p/set"}},
     "tasks": {"publish": "100ms"}},
   {"class": "Command", "name": "set", "config": {"topic": "t/set", "payload": [
     {"@DataPoint": {"dataPoint": "p/set", "jsonPath": "$.v"}},
     {"@DataPoint": {"dataPoint": "p/text", "jsonPath": "$.s"}}]}}]}]})";

class RunnerOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    broker.start();
    peer.emplace(testing::PeerOptions{.port = broker.port()});
    ASSERT_TRUE(peer->connect().accepted()) << broker.logReport();
    peer->subscribe("t/#");
    std::string counters;
    for (char c = 'a'; c <= 'j'; ++c) {
      counters += std::string(R"(, {"name": "sim/)") + c +
                  R"(", "type": "double", "simulation": {"kind": "counter", "period": "10ms"}})";
    }
    const auto text =
        replaced(replaced(std::string(kModel), "PORT", std::to_string(broker.port())), "COUNTERS", counters);
    model = dir.writeFile("model.json", text);
  }

  testing::Broker broker;
  std::optional<testing::TestPeer> peer;
  testing::TempDir dir{"corvane-output"};
  std::filesystem::path model;
};

TEST_F(RunnerOutput, AStalledReaderHoldsNeitherTheConnectionNorTheStop) {
  Runner runner({"run", model.string(), "--events"});
  ASSERT_TRUE(runner.waitForLine(holds({R"("type":"command")", R"("state":true)"}))) << broker.logReport();
  // From here the test reads nothing for 25 s: the pipe is full within a second or two.
  const auto stall = Clock::now();
  peer->clearMessages();
  std::this_thread::sleep_for(20s);
  // A command received in the stall is applied and published again.
  peer->publishAndWait("t/set", R"({"v": 42.5})", 1);
  EXPECT_TRUE(
      peer->waitFor([](const auto& m) { return m.topic == "t/level" && m.payload.find("42.5") != m.payload.npos; }));
  std::this_thread::sleep_for(stall + 25s - Clock::now());
  // Publications kept arriving throughout, never a keepalive apart; the broker kept the client.
  auto arrived = stall;
  for (const auto& m : peer->messages()) EXPECT_LT(m.receivedAt - std::exchange(arrived, m.receivedAt), 5s) << m.topic;
  EXPECT_LT(Clock::now() - arrived, 5s);
  EXPECT_EQ(broker.log().find("Client stalled disconnected"), std::string::npos) << broker.logReport();
  EXPECT_FALSE(peer->waitForTopic("t/will", 0ms));

  // The reader comes back: what the queue could not hold is told.
  EXPECT_TRUE(runner.waitForLine(holds({R"("type":"dropped","lines":)"}), 10s)) << runner.lines().size();
  // And stalls again, until the pipe is full (what it holds stops growing while the counters
  // change): SIGTERM ends the run on time, with status 0.
  for (int before = -1; runner.unread() != before; std::this_thread::sleep_for(200ms)) before = runner.unread();
  const auto signalled = Clock::now();
  runner.signal(SIGTERM);
  EXPECT_EQ(runner.waitForExitUnread(10s), 0);
  EXPECT_LT(Clock::now() - signalled, 6s) << "SIGTERM waited for the reader";
  EXPECT_TRUE(broker.waitForLog("Received DISCONNECT from stalled")) << broker.logReport();
  // The stall was real: only the last lines, never taken, are lost.
  runner.waitForExit(5s);
  EXPECT_FALSE(runner.waitForLine(holds({R"("type":"stopped")"}), 0ms));
}

TEST_F(RunnerOutput, AReaderThatGoesAwayEndsTheRunAsSigtermDoes) {
  Runner runner({"run", model.string(), "--events"});
  // Connected first: a run that ends before it connects disconnects nothing.
  ASSERT_TRUE(runner.waitForLine(holds({R"("type":"command")", R"("state":true)"}))) << broker.logReport();
  runner.closeOutput();
  EXPECT_EQ(runner.waitForExit(10s), 0) << runner.errors();
  EXPECT_TRUE(broker.waitForLog("Received DISCONNECT from stalled")) << broker.logReport();
}

// A full disk loses the event lines, not the run: the traffic goes on to the end, and the exit
// status says what was lost.
TEST_F(RunnerOutput, AFullDiskLosesLinesButNeitherTheTrafficNorTheExitStatus) {
  const auto started = Clock::now();
  auto result = testing::runProcess(
      {"/bin/sh", "-c", R"(exec "$0" run "$1" --events --duration 3 > /dev/full)", kRunner, model.string()});
  EXPECT_GT(Clock::now() - started, 3s) << "the run ended early";
  EXPECT_EQ(result.exitCode, 1) << result.output;
  EXPECT_TRUE(result.output.starts_with("corvane-run run: ") &&
              result.output.ends_with(" lines of standard output lost: system 28: No space left on device\n"))
      << result.output;
  // Published every 100 ms throughout.
  EXPECT_GE(std::ranges::count_if(peer->messages(), [](const auto& m) { return m.topic == "t/level"; }), 20)
      << broker.logReport();
  EXPECT_TRUE(broker.waitForLog("Received DISCONNECT from stalled")) << broker.logReport();
}

TEST_F(RunnerOutput, TheStatusViewShowsEscapeSequencesFromOutsideAsText) {
  Runner runner({"run", model.string()}, {}, true);
  ASSERT_TRUE(runner.waitForLine(holds({"subscribed     since"}))) << runner.output() << broker.logReport();
  // A new window title and a cleared screen for a string data point, and a message that is no
  // JSON at all, quoted by the error summary.
  peer->publishAndWait("t/set", R"({"v": 1, "s": "\u001b]0;pwned\u0007\u001b[2J"})", 1);
  peer->publishAndWait("t/set", "\x1b[2J\xc2\x9b" "31m", 1);
  EXPECT_TRUE(runner.waitForLine(holds({R"(p/text )", R"(\x1b]0;pwned\x07\x1b[2J)"}))) << runner.output();
  EXPECT_TRUE(runner.waitForLine(holds({"errors: 1:1: invalid JSON value"}))) << runner.output();
  runner.signal(SIGTERM);
  EXPECT_EQ(runner.waitForExit(10s), 0);
  // Nothing but the view's own clear-screen reaches the terminal as a control sequence.
  const std::string shown = replaced(runner.output(), "\x1b[H\x1b[2J", "");
  EXPECT_EQ(shown.find_first_of("\x1b\a"), std::string::npos) << shown;
  EXPECT_EQ(shown.find("\xc2\x9b"), std::string::npos) << shown;
}

}  // namespace
}  // namespace corvane::run
