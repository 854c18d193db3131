// What `run` writes, and that writing it never holds the model: the output writer and the terminal
// text directly, then corvane-run end to end with a reader that stalls and on a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iostream>
#include <string>
#include <string_view>
#include <thread>

#include "broker.hpp"
#include "outputWriter.hpp"
#include "runnerProcess.hpp"
#include "tempDir.hpp"
#include "terminalText.hpp"
#include "testPeer.hpp"

namespace corvane::run {
namespace {

// ---- terminal text ----

struct EscapeCase {
  const char* fault;
  std::string text;
  std::string shown;
};

TEST(TerminalText, EscapesWhatATerminalWouldActOn) {
  const EscapeCase cases[] = {
      {"window title and clear screen", "\x1b]0;pwned\a\x1b[2J", "\\x1b]0;pwned\\x07\\x1b[2J"},
      {"a forged line: line break and carriage return are not the view's", "ok\r\nforged", "ok\\x0d\\x0aforged"},
      {"tab and NUL", std::string("a\tb\0c", 5), "a\\x09b\\x00c"},
      {"DEL", "a\x7f", "a\\x7f"},
      {"C1 CSI encoded as UTF-8", "\xc2\x9b" "2J", "\\u009b2J"},
      {"C1 range ends at U+009F", "\xc2\x80\xc2\x9f\xc2\xa0", "\\u0080\\u009f\xc2\xa0"},
      {"raw C1 byte, not UTF-8", "\x9b" "2J", "\\x9b2J"},
      {"sequence cut short at the end", "ab\xe2\x82", "ab\\xe2\\x82"},
      {"overlong form of ESC", "\xc0\x9b", "\\xc0\\x9b"},
      {"overlong three-byte form", "\xe0\x80\x9b", "\\xe0\\x80\\x9b"},
      {"UTF-16 surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80"},
      {"beyond U+10FFFF", "\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},
      {"lead byte that never starts a character", "\xff", "\\xff"},
      {"well-formed text stays as it is", "Temp \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \\x1b",
       "Temp \xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \\x1b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    EXPECT_EQ(terminalText(c.text), c.shown);
  }
}

// ---- the output writer ----

// A pipe whose reader the test plays: small, so that it is full after a few kilobytes.
class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    ::fcntl(fds_[1], F_SETPIPE_SZ, 4096);
  }
  ~Pipe() {
    closeReader();
    closeWriter();
  }
  int writer() const noexcept { return fds_[1]; }
  void closeReader() { close(0); }
  void closeWriter() { close(1); }

  // Fills the pipe until it takes no more; returns the bytes written.
  std::size_t fill() const {
    const int flags = ::fcntl(fds_[1], F_GETFL);
    ::fcntl(fds_[1], F_SETFL, flags | O_NONBLOCK);
    const std::string block(512, '#');
    std::size_t total = 0;
    for (ssize_t n; (n = ::write(fds_[1], block.data(), block.size())) > 0;) total += static_cast<std::size_t>(n);
    ::fcntl(fds_[1], F_SETFL, flags);
    return total;
  }

  // Reads until `done` says the text is complete, the writer is closed or the deadline passes.
  std::string read(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout = 5s) const {
    std::string text;
    const auto deadline = Clock::now() + timeout;
    while (!done(text)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd ready{fds_[0], POLLIN, 0};
      if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0) break;
      char buffer[4096];
      const ssize_t n = ::read(fds_[0], buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  void close(int end) {
    if (fds_[end] >= 0) ::close(fds_[end]);
    fds_[end] = -1;
  }
  int fds_[2];
};

class OutputWriterTest : public ::testing::Test {
 protected:
  // The runner ignores SIGPIPE; the test process must too, or a closed reader would end it.
  void SetUp() override { previous_ = ::signal(SIGPIPE, SIG_IGN); }
  void TearDown() override { ::signal(SIGPIPE, previous_); }

  Pipe pipe;

 private:
  sighandler_t previous_ = SIG_DFL;
};

TEST_F(OutputWriterTest, EveryLineArrivesInOrderOrIsCountedWhereItWasLost) {
  const std::size_t filled = pipe.fill();
  OutputWriter writer(pipe.writer(), droppedJsonLine, {}, {.lines = 8, .bytes = std::size_t{1} << 20});
  // The reader takes nothing meanwhile: every write returns at once, most are dropped.
  constexpr int kLines = 100;
  for (int i = 0; i < kLines; ++i) writer.write("line " + std::to_string(i) + "\n");
  ASSERT_GT(writer.droppedTotal(), 0u);

  // The reader comes back. Walking its text: a line continues where the last one (and the losses
  // told since) left off; the losses are told before the next line after them, or at the end.
  int next = 0;
  std::size_t notices = 0;
  std::size_t walked = filled;
  const auto walk = [&](const std::string& text) {
    for (std::size_t end; text.size() > walked && (end = text.find('\n', walked)) != std::string::npos; walked = end + 1) {
      const std::string line = text.substr(walked, end - walked);
      if (line.starts_with("line ")) {
        EXPECT_EQ(line, "line " + std::to_string(next));
        next = std::stoi(line.substr(5)) + 1;
      } else if (line.starts_with(R"({"type":"dropped","lines":)")) {
        EXPECT_NE(line.find(R"(,"since":"20)"), std::string::npos) << line;
        next += std::stoi(line.substr(line.find("lines") + 7));
        ++notices;
      } else {
        ADD_FAILURE() << "unexpected line " << line;
      }
    }
    return next >= kLines;
  };
  const std::string text = pipe.read(walk);
  EXPECT_EQ(text.substr(0, filled), std::string(filled, '#')) << "lines went past the full pipe";
  EXPECT_EQ(next, kLines) << text.substr(filled);
  EXPECT_EQ(walked, text.size()) << "nothing after the last loss";
  EXPECT_GE(notices, 1u);
}

TEST_F(OutputWriterTest, AReaderThatHasGoneIsReportedOnceAndNothingMoreIsWritten) {
  std::atomic<int> reports{0};
  OutputWriter writer(pipe.writer(), droppedJsonLine, [&] { ++reports; });
  pipe.closeReader();
  writer.write("nobody reads this\n");
  const auto deadline = Clock::now() + 5s;
  while (reports == 0 && Clock::now() < deadline) std::this_thread::sleep_for(5ms);
  for (int i = 0; i < 10; ++i) writer.write("nor this\n");
  writer.finish();
  EXPECT_EQ(reports, 1);
}

TEST_F(OutputWriterTest, FinishGivesUpOnAReaderThatNeverReads) {
  const std::size_t filled = pipe.fill();
  {
    OutputWriter writer(pipe.writer(), droppedJsonLine);
    writer.write("never taken\n");
    writer.finish(std::chrono::milliseconds(100));
  }
  // Had the writer stayed in its write, this line would have gone out once the pipe had room.
  pipe.closeWriter();
  EXPECT_EQ(pipe.read([](const std::string&) { return false; }), std::string(filled, '#'));
}

TEST_F(OutputWriterTest, ARedrawIsSkippedWhileTheLastFrameIsOnItsWay) {
  const std::size_t filled = pipe.fill();
  OutputWriter writer(pipe.writer(), nullptr);
  EXPECT_TRUE(writer.writeIfIdle("frame 1\n"));
  EXPECT_FALSE(writer.writeIfIdle("frame 2\n"));
  std::string text = pipe.read([&](const std::string& t) { return t.size() >= filled + 8; });
  bool queued = false;
  for (auto deadline = Clock::now() + 5s; !queued && Clock::now() < deadline; std::this_thread::sleep_for(5ms)) {
    queued = writer.writeIfIdle("frame 3\n");
  }
  EXPECT_TRUE(queued);
  text += pipe.read([&](const std::string& t) { return text.size() + t.size() >= filled + 16; });
  EXPECT_EQ(text, std::string(filled, '#') + "frame 1\nframe 3\n");
}

// ---- end to end ----

// One client with a 5 s keepalive, a topic publishing the set point every 100 ms, a command that
// writes it (and a text point), and three counters changing every 10 ms: a few hundred lines a
// second, more than the queue holds over the stall.
constexpr std::string_view kModel = R"({
  "dataPoints": [
    {"name": "p/set", "type": "double", "value": 0},
    {"name": "p/text", "type": "string", "value": "plain"},
    {"name": "sim/a", "type": "double", "value": 0, "simulation": {"kind": "counter", "period": "10ms"}},
    {"name": "sim/b", "type": "double", "value": 0, "simulation": {"kind": "counter", "period": "10ms"}},
    {"name": "sim/c", "type": "double", "value": 0, "simulation": {"kind": "counter", "period": "10ms"}}
  ],
  "elements": [
    {"skill": "MQTT", "class": "Client", "name": "b",
     "config": {"brokerAddress": "127.0.0.1:PORT", "clientID": "stalled", "keepaliveInterval": 5,
                "will": {"topic": "t/will", "payload": "gone", "abnormalDisconnectOnly": true}},
     "tasks": {"reconnect": "1s"},
     "children": [
       {"class": "Topic", "name": "level", "config": {"topic": "t/level", "payload": {"@DataPoint": "p/set"}},
        "tasks": {"publish": "100ms"}},
       {"class": "Command", "name": "set",
        "config": {"topic": "t/set", "payload": [{"@DataPoint": {"dataPoint": "p/set", "jsonPath": "$.v"}},
                                                  {"@DataPoint": {"dataPoint": "p/text", "jsonPath": "$.s"}}]}}
     ]}
  ]
})";

class RunnerOutput : public ::testing::Test {
 protected:
  void SetUp() override {
    broker.start();
    peer.emplace(testing::PeerOptions{.port = broker.port()});
    ASSERT_TRUE(peer->connect().accepted()) << broker.logReport();
    peer->subscribe("t/#");
    model = dir.writeFile("model.json", replaced(std::string(kModel), "PORT", std::to_string(broker.port())));
  }

  testing::Broker broker;
  std::optional<testing::TestPeer> peer;
  testing::TempDir dir{"corvane-output"};
  std::filesystem::path model;
};

TEST_F(RunnerOutput, AStalledReaderHoldsNeitherTheConnectionNorTheStop) {
  Runner runner({"run", model.string(), "--events"});
  ASSERT_TRUE(runner.waitForLine(holds({R"("type":"command")", R"("element":"b/set")", R"("state":true)"})))
      << runner.output() << broker.logReport();

  // From here the test reads nothing for 25 s: the pipe is full within a second.
  const auto stall = Clock::now();
  peer->clearMessages();
  std::this_thread::sleep_for(20s);
  // A command received in the stall is applied and published again.
  peer->publishAndWait("t/set", R"({"v": 42.5})", 1);
  EXPECT_TRUE(peer->waitFor([](const auto& m) { return m.topic == "t/level" && m.payload.find("42.5") != std::string::npos; }));
  std::this_thread::sleep_for(stall + 25s - Clock::now());
  const auto stallEnd = Clock::now();

  // Publications kept arriving throughout, never a keepalive's length apart.
  auto arrived = stall;
  for (const auto& m : peer->messages()) {
    if (m.topic != "t/level") continue;
    EXPECT_LT(m.receivedAt - arrived, 5s);
    arrived = m.receivedAt;
  }
  EXPECT_LT(stallEnd - arrived, 5s);
  EXPECT_EQ(broker.log().find("exceeded timeout"), std::string::npos) << broker.logReport();
  EXPECT_EQ(broker.log().find("Client stalled disconnected"), std::string::npos) << broker.logReport();
  EXPECT_FALSE(peer->waitForTopic("t/will", 0ms));

  // The reader comes back: what the queue could not hold is told, with how much.
  auto dropped = runner.waitForLine(holds({R"("type":"dropped","lines":)", R"("since":"20)"}), 10s);
  ASSERT_TRUE(dropped) << runner.lines().size() << " lines read";

  // And stalls again, long enough for the pipe to fill: SIGTERM ends the run on time.
  std::this_thread::sleep_for(5s);
  const auto signalled = Clock::now();
  runner.signal(SIGTERM);
  EXPECT_EQ(runner.waitForExitUnread(10s), 0);
  const auto took = Clock::now() - signalled;
  EXPECT_LT(took, 6s);
  std::cout << "stopped " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
            << " ms after SIGTERM with a reader that does not read\n";
  EXPECT_TRUE(broker.waitForLog("Received DISCONNECT from stalled")) << broker.logReport();
  // The stall was real: the last lines never reached the reader, and only they are lost.
  runner.waitForExit(5s);
  EXPECT_FALSE(runner.waitForLine(holds({R"("type":"stopped")"}), 0ms));
}

struct GoneCase {
  const char* subcommand;
  std::vector<std::string> options;
  const char* ready;  // on standard error: the subcommand is under way
};

TEST_F(RunnerOutput, AReaderThatGoesAwayEndsTheRunAsSigtermDoes) {
  const GoneCase cases[] = {
      {"run", {"--events"}, ""},
      // listen writes a line only when a message comes.
      {"listen", {}, R"(subscribed to "t/set")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.subcommand);
    // What the broker logs from here on.
    const std::size_t from = broker.log().size();
    const auto logged = [&](std::string_view text) {
      for (const auto deadline = Clock::now() + 5s; Clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
        if (broker.log().find(text, from) != std::string::npos) return true;
      }
      return false;
    };
    std::vector<std::string> arguments{c.subcommand, model.string()};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    Runner runner(arguments);
    const auto deadline = Clock::now() + 5s;
    while (runner.errors().find(c.ready) == std::string::npos && Clock::now() < deadline) {
      runner.waitForLine([](const std::string&) { return false; }, 20ms);
    }
    ASSERT_TRUE(logged("Received SUBSCRIBE from stalled")) << runner.errors() << broker.logReport();
    runner.closeOutput();
    peer->publishAndWait("t/set", R"({"v": 1})", 1);
    EXPECT_EQ(runner.waitForExit(10s), 0) << runner.errors();
    // In order: the client takes its leave.
    EXPECT_TRUE(logged("Received DISCONNECT from stalled")) << broker.logReport();
  }
}

// corvane-run with a pseudo-terminal as its standard output: the status view.
class TerminalRunner {
 public:
  explicit TerminalRunner(const std::filesystem::path& model) {
    int terminal = -1;
    winsize size{.ws_row = 50, .ws_col = 200, .ws_xpixel = 0, .ws_ypixel = 0};
    if (::openpty(&master_, &terminal, nullptr, nullptr, &size) != 0) throw std::runtime_error("openpty failed");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      const int null = ::open("/dev/null", O_RDWR);
      ::dup2(null, 0);
      ::dup2(terminal, 1);
      ::dup2(null, 2);
      ::close_range(3, ~0U, 0);
      ::execl(kRunner, kRunner, "run", model.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(terminal);
  }
  ~TerminalRunner() {
    if (pid_ > 0 && !exited_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(master_);
  }

  // Reads what the terminal shows until `done` or the deadline; false when it was not done.
  bool readUntil(const std::function<bool(const std::string&)>& done, std::chrono::milliseconds timeout = 10s) {
    const auto deadline = Clock::now() + timeout;
    while (!done(shown_)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
      pollfd ready{master_, POLLIN, 0};
      if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0) return false;
      char buffer[4096];
      const ssize_t n = ::read(master_, buffer, sizeof buffer);
      if (n <= 0) return false;  // EIO: the runner has closed the terminal
      shown_.append(buffer, static_cast<std::size_t>(n));
    }
    return true;
  }

  std::optional<int> stop() {
    ::kill(pid_, SIGTERM);
    readUntil([](const std::string& text) { return text.ends_with("stopped\r\n"); });
    int status = 0;
    if (::waitpid(pid_, &status, 0) != pid_) return std::nullopt;
    exited_ = true;
    return WIFEXITED(status) ? std::optional(WEXITSTATUS(status)) : std::nullopt;
  }

  const std::string& shown() const noexcept { return shown_; }

 private:
  int master_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  std::string shown_;
};

TEST_F(RunnerOutput, TheStatusViewShowsEscapeSequencesFromOutsideAsText) {
  TerminalRunner runner(model);
  ASSERT_TRUE(runner.readUntil([](const std::string& text) { return text.find("subscribed    since") != std::string::npos; }))
      << runner.shown() << broker.logReport();
  // A string data point set to a new window title and a cleared screen, and a message that is no
  // JSON at all, whose error summary quotes it.
  peer->publishAndWait("t/set", R"({"v": 1, "s": "\u001b]0;pwned\u0007\u001b[2J"})", 1);
  peer->publishAndWait("t/set", "\x1b[2J\xc2\x9b" "31m", 1);
  EXPECT_TRUE(runner.readUntil([](const std::string& text) {
    return text.find(R"(\x1b]0;pwned\x07\x1b[2J)") != std::string::npos &&
           text.find(R"(errors: 1:1: invalid JSON value)") != std::string::npos;
  })) << runner.shown();
  EXPECT_EQ(runner.stop(), 0);

  // Nothing but the view's own clear-screen reaches the terminal as a control sequence.
  std::string text = replaced(runner.shown(), "\x1b[H\x1b[2J", "");
  EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
  EXPECT_EQ(text.find('\a'), std::string::npos) << text;
  EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << text;
}

}  // namespace
}  // namespace corvane::run
