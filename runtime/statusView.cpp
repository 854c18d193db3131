#include "runOutput.hpp"

#include <algorithm>
#include <sstream>

#include <corvane/utils/network.hpp>

#include "terminalText.hpp"

namespace corvane::run {

namespace {

// Clear the screen and go home: the frame is then written over it in one piece.
constexpr std::string_view kClearScreen = "\x1b[H\x1b[2J";

std::string padded(std::string text, std::size_t width) {
  const std::size_t columns = terminalWidth(text);
  if (columns < width) text.append(width - columns, ' ');
  return text;
}

// Text from outside: names from the model file, broker and topic names, values, error texts.
std::string shown(std::string_view text) { return terminalText(text); }

std::string timeText(TimeStamp time) { return formatTime(time); }

// Error messages come from libmosquitto, OpenSSL, the system and brokers' reason strings.
std::string errorText(std::error_code error) { return shown(data::describeError(error)); }

// A receive error summary holds one "\n"-introduced line per failed entry; they quote what was
// received.
std::string summaryText(const std::string& summary) {
  if (summary.empty()) return "none";
  std::string text;
  std::istringstream lines(summary);
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) continue;
    if (!text.empty()) text += "; ";
    text += shown(line);
  }
  return text;
}

// One topic's delivery ledger; failures and refusals with their codes on lines of their own.
std::string ledgerText(const TopicLedger& t) {
  std::string text = "runs " + std::to_string(t.runs) + "  confirmed " + std::to_string(t.confirmed) +
                     "  not connected " + std::to_string(t.notConnected) + "  failed " +
                     std::to_string(t.failedTotal()) + "  refused " + std::to_string(t.refusedTotal()) +
                     "  unconfirmed " + std::to_string(t.unconfirmed);
  if (t.unconfirmed > 0) text += " (last " + timeText(t.lastUnconfirmed) + ")";
  if (t.pending > 0) text += "  waiting " + std::to_string(t.pending);
  for (const auto& [key, count] : t.failed) text += "\n               failed " + std::to_string(count) + "x  " + shown(key.text());
  for (const auto& [key, count] : t.refused) text += "\n               refused " + std::to_string(count) + "x  " + shown(key.text());
  return text;
}

std::string duration(std::chrono::steady_clock::duration elapsed) {
  auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return buffer;
}

}  // namespace

StatusView::StatusView(const WatchedModel& model, const Ledger& ledger, OutputWriter& out)
    : model_(model), ledger_(ledger), out_(out), startedAt_(std::chrono::steady_clock::now()) {}

StatusView::~StatusView() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (drawer_.joinable()) drawer_.join();
}

void StatusView::started(TimeStamp) {
  startedAt_ = std::chrono::steady_clock::now();
  drawer_ = std::thread([this] { drawLoop(); });
}

void StatusView::recordCommitted(std::size_t, TimeStamp) { dirty_ = true; }

void StatusView::eventRaised(std::size_t element, std::string_view event, TimeStamp time) {
  {
    std::lock_guard lock(mutex_);
    recent_.push_back(timeText(time) + "  " + shown(model_.elements()[element].path) + "  " + shown(event));
    while (recent_.size() > kRecentEvents) recent_.pop_front();
  }
  dirty_ = true;
}

void StatusView::dataPointChanged(const runtime::DataPoint&) { dirty_ = true; }

// Runs turn unconfirmed without a commit of their own.
void StatusView::tick(TimeStamp) { dirty_ = true; }

void StatusView::stopping(TimeStamp, std::string_view reason) {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (drawer_.joinable()) drawer_.join();
  // The last frame stays on the screen (queued behind one still on its way); what follows is
  // written below it.
  out_.write(std::string(kClearScreen) + frame());
  out_.write("\nstopping (" + shown(reason) + "): disconnecting...\n");
}

void StatusView::stopped(TimeStamp) { out_.write("stopped\n"); }

void StatusView::drawLoop() {
  // The view's thread: redraws when something changed (and every second for the clock), never
  // more often than kRedrawInterval.
  auto lastDraw = std::chrono::steady_clock::time_point{};
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    auto now = std::chrono::steady_clock::now();
    if (dirty_.exchange(false) || now - lastDraw >= std::chrono::seconds(1)) {
      lock.unlock();
      draw();
      lock.lock();
      lastDraw = now;
    }
    wake_.wait_for(lock, kRedrawInterval, [&] { return stopping_; });
  }
}

void StatusView::draw() {
  if (!out_.writeIfIdle(std::string(kClearScreen) + frame())) dirty_ = true;
}

std::string StatusView::frame() const {
  std::string out;
  auto line = [&](const std::string& text) {
    out += text;
    out += '\n';
  };
  line("corvane-run  " + shown(model_.fileName()) + "  running " +
       duration(std::chrono::steady_clock::now() - startedAt_) + "  (Ctrl-C stops)");

  const auto& elements = model_.elements();
  auto ledger = ledger_.snapshot();
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const auto& e = elements[i];
    switch (e.kind) {
      case WatchedElement::Kind::kClient: {
        auto client = e.client.lock();
        if (!client) break;
        auto d = client->data();
        line("");
        line("Client " + shown(e.path) + "  " + shown(utils::network::Address::join(client->brokerHost(), client->brokerPort())) +
             "  clientID " + shown(client->clientId()) + "  MQTT " + std::string(mqtt::mqttVersionName(client->mqttVersion())) +
             (client->tlsConfig() ? "  TLS" : ""));
        std::string state(mqtt::connectionStateName(client->connectionState()));
        if (d.deviceState) {
          line("  state      connected since " + timeText(d.connectionTime));
        } else if (d.connectionTime == kNever) {
          line("  state      " + state + ", not connected yet");
        } else {
          line("  state      " + state + ", disconnected since " + timeText(d.connectionTime));
        }
        line("  error      " + errorText(d.error));
        if (client->birthMessage()) {
          line("  birth      " + shown(client->birthMessage()->topic) + "  last " + timeText(d.birthMessageTime));
        }
        break;
      }
      case WatchedElement::Kind::kTopic: {
        auto topic = e.topic.lock();
        if (!topic) break;
        auto d = topic->data();
        line("  Topic      " + shown(e.path) + "  -> " + shown(topic->topicName()));
        line("             " + padded(d.state ? "published" : "not published", 14) + "last " +
             timeText(d.publishTime) + "  " + errorText(d.error));
        line("             " + ledgerText(ledger.topics[i]));
        break;
      }
      case WatchedElement::Kind::kCommand: {
        auto command = e.command.lock();
        if (!command) break;
        auto s = command->subscribeData();
        auto r = command->receiveData();
        line("  Command    " + shown(e.path) + "  <- " + shown(command->topicName()));
        line("             " + padded(s.subscribed ? "subscribed" : "not subscribed", 14) + "since " +
             timeText(s.time) + "  " + errorText(s.error));
        line("             last message " + timeText(r.time) + "  QoS " + std::to_string(r.qos) + "  retained " +
             (r.retained ? "yes" : "no") + "  errors: " + summaryText(r.errorSummary));
        break;
      }
      case WatchedElement::Kind::kOther:
        line("");
        line("Element " + shown(e.path) + "  (" + shown(e.skillName) + " " + shown(e.className) + ")");
        break;
    }
  }

  if (!model_.dataPoints().empty()) {
    line("");
    line("Data points");
    std::size_t width = 0;
    for (const auto& p : model_.dataPoints()) width = std::max(width, terminalWidth(shown(p->primaryKey())));
    for (const auto& p : model_.dataPoints()) {
      std::string value = p->readable() ? shown(data::toText(p->value())) : "(write-only)";
      line("  " + padded(shown(p->primaryKey()), width + 2) + padded(value, 22) + "quality " +
           std::to_string(p->quality()) + "  changed " + timeText(p->changeTime()));
    }
  }

  std::lock_guard lock(mutex_);
  if (!recent_.empty()) {
    line("");
    line("Recent events");
    for (const auto& event : recent_) line("  " + event);
  }
  return out;
}

}  // namespace corvane::run
