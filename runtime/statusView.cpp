#include "runOutput.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>

#include <corvane/utils/network.hpp>

#include "errors/customError.hpp"
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

// The screen's size; a terminal that does not say gets the classic 24 by 80.
std::pair<std::size_t, std::size_t> screenSize() {
  winsize size{};
  if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_row == 0 || size.ws_col == 0) return {24, 80};
  return {size.ws_row, size.ws_col};
}

// At most `columns` characters of `text` (well-formed UTF-8 once shown): a line the terminal
// wrapped would push the top of the view off the screen.
std::string cut(std::string text, std::size_t columns) {
  std::size_t characters = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && characters++ == columns) {
      text.resize(i);
      break;
    }
  }
  return text;
}

// What the summary counts an element under: its connection error, its publication error, its
// subscription error or that its last message had errors; empty when it has no problem.
std::string problemOf(const WatchedElement& e) {
  switch (e.kind) {
    case WatchedElement::Kind::kClient:
      if (auto client = e.client.lock()) {
        auto d = client->data();
        if (!d.deviceState) return d.error ? errorText(d.error) : "not connected yet";
      }
      break;
    case WatchedElement::Kind::kTopic:
      if (auto topic = e.topic.lock()) {
        auto d = topic->data();
        if (d.error && d.error != mqtt::CustomError::NotPublishedYet) return errorText(d.error);
      }
      break;
    case WatchedElement::Kind::kCommand:
      if (auto command = e.command.lock()) {
        if (auto s = command->subscribeData(); s.error) return errorText(s.error);
        // The summary holds a text before any message too.
        if (auto r = command->receiveData(); r.time != kNever && !r.errorSummary.empty()) return "errors in the last message";
      }
      break;
    case WatchedElement::Kind::kOther: break;
  }
  return {};
}

std::string_view kindName(WatchedElement::Kind kind) {
  switch (kind) {
    case WatchedElement::Kind::kClient: return "clients";
    case WatchedElement::Kind::kTopic: return "topics";
    case WatchedElement::Kind::kCommand: return "commands";
    case WatchedElement::Kind::kOther: break;
  }
  return "elements";
}

}  // namespace

StatusView::StatusView(const WatchedModel& model, const Ledger& ledger, OutputWriter& out)
    : model_(model),
      ledger_(ledger),
      out_(out),
      startedAt_(std::chrono::steady_clock::now()),
      problem_(model.elements().size()) {
  for (const auto& e : model.elements()) {
    clients_ += e.kind == WatchedElement::Kind::kClient;
    topics_ += e.kind == WatchedElement::Kind::kTopic;
    commands_ += e.kind == WatchedElement::Kind::kCommand;
  }
}

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
  {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < problem_.size(); ++i) classify(i);
  }
  drawer_ = std::thread([this] { drawLoop(); });
}

void StatusView::recordCommitted(std::size_t element, TimeStamp) {
  {
    std::lock_guard lock(mutex_);
    classify(element);
  }
  dirty_ = true;
}

void StatusView::classify(std::size_t element) {
  auto problem = problemOf(model_.elements()[element]);
  auto& old = problem_[element];
  if (problem == old) return;
  const auto kind = model_.elements()[element].kind;
  if (!old.empty()) {
    auto found = byProblem_.find({kind, old});
    if (--found->second == 0) byProblem_.erase(found);
  }
  if (problem.empty()) {
    withProblem_.erase(element);
  } else {
    ++byProblem_[{kind, problem}];
    withProblem_.insert(element);
  }
  old = std::move(problem);
}

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
  const auto [rows, columns] = screenSize();
  out_.write(std::string(kClearScreen) + frame(rows > 4 ? rows - 2 : rows, columns));
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
  const auto [rows, columns] = screenSize();
  if (!out_.writeIfIdle(std::string(kClearScreen) + frame(rows, columns))) dirty_ = true;
}

std::vector<std::string> StatusView::elementLines(std::size_t i) const {
  std::vector<std::string> lines;
  auto line = [&](const std::string& text) {
    // The ledger's failures and refusals come on lines of their own.
    for (std::size_t at = 0, end; at <= text.size(); at = end + 1) {
      end = std::min(text.find('\n', at), text.size());
      lines.push_back(text.substr(at, end - at));
    }
  };
  const auto& e = model_.elements()[i];
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
      return lines;
    }
    case WatchedElement::Kind::kTopic: {
      auto topic = e.topic.lock();
      if (!topic) break;
      auto d = topic->data();
      line("  Topic      " + shown(e.path) + "  -> " + shown(topic->topicName()));
      line("             " + padded(d.state ? "published" : "not published", 15) + "last " +
           timeText(d.publishTime) + "  " + errorText(d.error));
      line("             " + ledgerText(ledger_.topic(i)));
      return lines;
    }
    case WatchedElement::Kind::kCommand: {
      auto command = e.command.lock();
      if (!command) break;
      auto s = command->subscribeData();
      auto r = command->receiveData();
      line("  Command    " + shown(e.path) + "  <- " + shown(command->topicName()));
      line("             " + padded(s.subscribed ? "subscribed" : "not subscribed", 15) + "since " +
           timeText(s.time) + "  " + errorText(s.error));
      line("             last message " + timeText(r.time) + "  QoS " + std::to_string(r.qos) + "  retained " +
           (r.retained ? "yes" : "no") + "  errors: " + summaryText(r.errorSummary));
      return lines;
    }
    case WatchedElement::Kind::kOther:
      line("");
      line("Element " + shown(e.path) + "  (" + shown(e.skillName) + " " + shown(e.className) + ")");
      break;
  }
  return lines;
}

std::string StatusView::frame(std::size_t rows, std::size_t columns) const {
  std::vector<std::string> head, body, tail;
  head.push_back("corvane-run  " + shown(model_.fileName()) + "  running " +
                 duration(std::chrono::steady_clock::now() - startedAt_) + "  (Ctrl-C stops)");

  // What the summary and the order need, copied: the records are read with the lock released.
  std::vector<std::pair<std::size_t, std::string>> problems;  // elements per problem, with its text
  std::vector<std::size_t> first;  // the elements with a problem, as many as could be shown
  std::size_t notConnected = 0, failing = 0, withErrors = 0, withProblem = 0;
  {
    std::lock_guard lock(mutex_);
    for (const auto& [key, count] : byProblem_) {
      (key.first == WatchedElement::Kind::kClient    ? notConnected
       : key.first == WatchedElement::Kind::kTopic   ? failing
                                                     : withErrors) += count;
      problems.emplace_back(count, std::to_string(count) + " " + std::string(kindName(key.first)) + "  " + key.second);
    }
    withProblem = withProblem_.size();
    for (auto i : withProblem_) {
      if (first.size() == rows) break;
      first.push_back(i);
    }
    const std::size_t events = std::min(recent_.size(), rows / 5);
    if (events > 0) {
      tail.push_back("");
      tail.push_back("Recent events");
      for (auto it = recent_.end() - static_cast<std::ptrdiff_t>(events); it != recent_.end(); ++it) tail.push_back("  " + *it);
    }
  }
  if (clients_ + topics_ + commands_ > 0) {
    head.push_back("");
    head.push_back("Clients " + std::to_string(clients_ - notConnected) + " of " + std::to_string(clients_) +
                   " connected   Topics " + std::to_string(failing) + " of " + std::to_string(topics_) +
                   " failing   Commands " + std::to_string(withErrors) + " of " + std::to_string(commands_) +
                   " with errors");
    std::stable_sort(problems.begin(), problems.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
    for (std::size_t k = 0; k < problems.size() && k < kSummaryProblems; ++k) head.push_back("  " + problems[k].second);
    if (problems.size() > kSummaryProblems) {
      head.push_back("  and " + std::to_string(problems.size() - kSummaryProblems) + " other problems");
    }
  }

  // The elements with a problem first, then the rest in model order, each whole, as far as the
  // screen goes: a quarter of what is left stays for the data points when there are any.
  const auto& elements = model_.elements();
  const auto& points = model_.dataPoints();
  std::size_t room = rows > head.size() + tail.size() + 1 ? rows - head.size() - tail.size() - 1 : 0;
  const std::size_t pointRows = points.empty() ? 0 : std::min(points.size() + 2, room / 4);
  std::size_t shownElements = 0;
  auto show = [&](std::size_t i) {
    auto lines = elementLines(i);
    if (body.size() + lines.size() + pointRows > room) return false;
    body.insert(body.end(), lines.begin(), lines.end());
    ++shownElements;
    return true;
  };
  bool full = false;
  for (auto i : first) {
    if ((full = !show(i))) break;
  }
  for (std::size_t i = 0; !full && withProblem <= first.size() && i < elements.size(); ++i) {
    if (!std::binary_search(first.begin(), first.end(), i)) full = !show(i);
  }
  if (shownElements < elements.size()) {
    body.push_back("  (" + std::to_string(elements.size() - shownElements) + " more elements; problems first)");
  }

  if (!points.empty() && body.size() + 3 <= room) {
    body.push_back("");
    body.push_back("Data points");
    const std::size_t count = std::min(points.size(), room - body.size() - (room - body.size() < points.size() ? 1 : 0));
    std::size_t width = 0;
    for (std::size_t k = 0; k < count; ++k) width = std::max(width, terminalWidth(shown(points[k]->primaryKey())));
    for (std::size_t k = 0; k < count; ++k) {
      const auto& p = points[k];
      std::string value = p->readable() ? shown(data::toText(p->value())) : "(write-only)";
      body.push_back("  " + padded(shown(p->primaryKey()), width + 2) + padded(value, 22) + "quality " +
                     std::to_string(p->quality()) + "  changed " + timeText(p->changeTime()));
    }
    if (count < points.size()) body.push_back("  (" + std::to_string(points.size() - count) + " more data points)");
  }

  std::string out;
  for (const auto* part : {&head, &body, &tail}) {
    for (const auto& text : *part) {
      out += cut(text, columns);
      out += '\n';
    }
  }
  return out;
}

}  // namespace corvane::run
