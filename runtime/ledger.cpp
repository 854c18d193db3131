#include "ledger.hpp"

#include <numeric>
#include <optional>
#include <utility>

#include "errors/customError.hpp"
#include "errors/mosquittoErrors.hpp"
#include "skill/attributes.hpp"

namespace corvane::run {

namespace {

// The publish run in progress on this thread: its topic (element index), whether the client was
// connected when it started, and the error it committed.
struct RunInProgress {
  std::size_t topic = SIZE_MAX;
  bool connectedAtStart = false;
  std::optional<ErrorKey> failure;
};
thread_local RunInProgress tRun;

std::uint64_t total(const std::map<ErrorKey, std::uint64_t>& counts) {
  return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0},
                         [](std::uint64_t sum, const auto& entry) { return sum + entry.second; });
}

std::string errorCounts(const std::map<ErrorKey, std::uint64_t>& counts) {
  JsonLine line;
  for (const auto& [key, count] : counts) line.add(key.text(), count);
  return line.text();
}

}  // namespace

ErrorKey ErrorKey::of(std::error_code error) {
  return {error.category().name(), error.value(), error.message()};
}

std::string ErrorKey::text() const { return category + " " + std::to_string(value) + ": " + message; }

std::uint64_t TopicLedger::failedTotal() const { return total(failed); }
std::uint64_t TopicLedger::refusedTotal() const { return total(refused); }

bool TopicLedger::addsUp() const {
  return runs == notConnected + confirmed + failedTotal() + refusedTotal() + unconfirmed + pending;
}

Ledger::Ledger(const WatchedModel& model)
    : model_(model),
      topics_(model.elements().size()),
      clients_(model.elements().size()),
      commands_(model.elements().size()) {
  const auto& elements = model.elements();
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (elements[i].kind != WatchedElement::Kind::kTopic) continue;
    topicByPath_.emplace(elements[i].path, i);
  }
}

void Ledger::taskRun(const runtime::TaskEntry& task, TimeStamp time, bool finished) {
  if (task.role.name != mqtt::attributes::kPublishTask.name) return;
  auto found = topicByPath_.find(task.elementPath);
  if (found == topicByPath_.end()) return;
  auto topic = model_.elements()[found->second].topic.lock();
  if (!topic) return;
  auto& state = topics_[found->second];

  auto connected = [&] { return topic->client().connectionState() == mqtt::ConnectionState::Connected; };
  if (!finished) {
    // Pending from the start, so that an answer arriving before the run returns finds it.
    {
      std::lock_guard lock(mutex_);
      ++state.counts.runs;
      state.pending.push_back(time);
      ++state.counts.pending;
    }
    tRun = RunInProgress{found->second, connected(), std::nullopt};
    return;
  }

  auto run = std::exchange(tRun, RunInProgress{});
  // The topic sends nothing unless its client is connected when it looks, between these two looks
  // of ours: not connected before and after, the run sent nothing. Otherwise its answer decides.
  bool notConnected = !run.failure && !run.connectedAtStart && !connected();
  if (!run.failure && !notConnected) return;
  std::lock_guard lock(mutex_);
  // Nothing was sent, so no answer will come: runs of a topic do not overlap and answers take the
  // oldest pending run, so the newest pending run is this one.
  if (!state.pending.empty()) {
    state.pending.pop_back();
    --state.counts.pending;
  } else if (state.counts.unconfirmed > 0) {
    --state.counts.unconfirmed;
  }
  if (notConnected) {
    ++state.counts.notConnected;
  } else {
    ++state.counts.failed[*run.failure];
  }
}

bool Ledger::takePending(TopicState& topic) {
  if (!topic.pending.empty()) {
    topic.pending.pop_front();
    --topic.counts.pending;
    return true;
  }
  if (topic.counts.unconfirmed > 0) {
    --topic.counts.unconfirmed;
    return true;
  }
  return false;
}

void Ledger::eventRaised(std::size_t element, std::string_view event, TimeStamp time) {
  const auto& e = model_.elements()[element];
  switch (e.kind) {
    case WatchedElement::Kind::kTopic:
      if (event == mqtt::attributes::kPublishedEvent.name) {
        std::lock_guard lock(mutex_);
        auto& state = topics_[element];
        if (takePending(state)) {
          ++state.counts.confirmed;
          state.counts.lastPublish = time;
        }
      }
      break;
    case WatchedElement::Kind::kClient: {
      std::lock_guard lock(mutex_);
      if (event == process::Event::kConnected.name) ++clients_[element].connects;
      if (event == process::Event::kDisconnected.name) ++clients_[element].disconnects;
      break;
    }
    case WatchedElement::Kind::kCommand:
      if (event == mqtt::attributes::kReceivedEvent.name) {
        // Raised right after the message's receive record was committed, on the network thread
        // that handles the next message only after this returns: the record is this message's.
        auto command = e.command.lock();
        bool withErrors = command && !command->receiveData().errorSummary.empty();
        std::lock_guard lock(mutex_);
        ++commands_[element].received;
        if (withErrors) ++commands_[element].withErrors;
      }
      break;
    case WatchedElement::Kind::kOther: break;
  }
}

void Ledger::recordCommitted(std::size_t element, TimeStamp) {
  if (model_.elements()[element].kind != WatchedElement::Kind::kTopic) return;
  auto topic = model_.elements()[element].topic.lock();
  if (!topic) return;
  auto record = topic->data();
  if (!record.error || record.error == mqtt::CustomError::NotPublishedYet) return;

  if (tRun.topic == element) {
    // Committed by the publish run on this thread: the publication failed before anything was sent.
    tRun.failure = ErrorKey::of(record.error);
    return;
  }
  // From the network thread: a refusal in the broker's acknowledgement comes while connected; a
  // connection loss is committed after the client has left the connected state.
  if (record.error.category() != mqtt::reasonCodeErrorCategory() ||
      topic->client().connectionState() != mqtt::ConnectionState::Connected) {
    return;
  }
  std::lock_guard lock(mutex_);
  auto& state = topics_[element];
  if (takePending(state)) ++state.counts.refused[ErrorKey::of(record.error)];
}

void Ledger::settle(TimeStamp now) {
  std::lock_guard lock(mutex_);
  for (auto& state : topics_) {
    while (!state.pending.empty() && now - state.pending.front() >= kGrace) {
      state.counts.lastUnconfirmed = state.pending.front();
      state.pending.pop_front();
      --state.counts.pending;
      ++state.counts.unconfirmed;
    }
  }
}

void Ledger::finish(TimeStamp) {
  std::lock_guard lock(mutex_);
  for (auto& state : topics_) {
    if (state.pending.empty()) continue;
    state.counts.lastUnconfirmed = state.pending.back();
    state.counts.unconfirmed += state.pending.size();
    state.counts.pending = 0;
    state.pending.clear();
  }
}

LedgerSnapshot Ledger::snapshot() const {
  std::lock_guard lock(mutex_);
  LedgerSnapshot copy;
  copy.topics.reserve(topics_.size());
  for (const auto& state : topics_) copy.topics.push_back(state.counts);
  copy.clients = clients_;
  copy.commands = commands_;
  return copy;
}

TopicLedger Ledger::topic(std::size_t element) const {
  std::lock_guard lock(mutex_);
  return topics_[element].counts;
}

JsonLine Ledger::line(TimeStamp time) const {
  auto counts = snapshot();
  JsonLine line;
  line.add("type", "ledger").addTime("time", time);
  std::string topics = "[";
  const auto& elements = model_.elements();
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (elements[i].kind != WatchedElement::Kind::kTopic) continue;
    const auto& c = counts.topics[i];
    if (topics.size() > 1) topics += ',';
    topics += JsonLine()
                  .add("element", elements[i].path)
                  .add("runs", c.runs)
                  .add("notConnected", c.notConnected)
                  .add("confirmed", c.confirmed)
                  .addRaw("failed", errorCounts(c.failed))
                  .addRaw("refused", errorCounts(c.refused))
                  .add("unconfirmed", c.unconfirmed)
                  .add("pending", c.pending)
                  .addTime("lastUnconfirmed", c.lastUnconfirmed)
                  .addTime("lastPublish", c.lastPublish)
                  .text();
  }
  topics += ']';
  line.addRaw("topics", topics);
  return line;
}

}  // namespace corvane::run
