#include "outputWriter.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <deque>
#include <mutex>

#include "jsonLine.hpp"

namespace corvane::run {

namespace {

// How long the writer waits for the reader before it looks again whether the end has come.
constexpr int kPollMilliseconds = 100;
// The most the writer takes from the queue at once.
constexpr std::size_t kBatchBytes = 64 * 1024;

enum class Outcome { kWritten, kBroken, kAbandoned };

}  // namespace

struct OutputWriter::State {
  int descriptor;
  DroppedText droppedText;
  std::function<void()> onBroken;
  Limits limits;
  // The most bytes one write() takes. A pipe, socket or terminal that polls writable takes PIPE_BUF
  // bytes without waiting; a regular file never waits for a reader.
  std::size_t chunk = PIPE_BUF;

  std::mutex mutex;                 // guards everything below but abandoned
  std::condition_variable wake;     // the writer thread: something to write, or the end
  std::condition_variable written;  // finish(): a batch was written, or the writer thread ended
  std::deque<std::string> queue;
  std::size_t queuedBytes = 0;
  bool writing = false;                // a batch is on its way to the reader
  std::uint64_t dropped = 0;           // lost since the last dropped line
  TimeStamp droppedSince = kNever;     // when the first of these was lost
  std::uint64_t droppedTotal = 0;
  bool closing = false;                // finish() was called: nothing more is queued
  bool broken = false;                 // the reader has gone
  bool ended = false;                  // the writer thread is done with the descriptor
  std::atomic<bool> abandoned{false};  // finish() gave up waiting: stop between two writes

  // Writes all of `text` unless the reader goes away or finish() gives up first.
  Outcome writeAll(std::string_view text) const {
    while (!text.empty()) {
      if (abandoned) return Outcome::kAbandoned;
      pollfd ready{descriptor, POLLOUT, 0};
      const int polled = ::poll(&ready, 1, kPollMilliseconds);
      if (polled < 0 && errno != EINTR) return Outcome::kBroken;
      if (polled <= 0) continue;
      if (ready.revents & POLLNVAL) return Outcome::kBroken;
      // With POLLERR or POLLHUP the write itself says what happened (EPIPE for a closed pipe).
      const ssize_t n = ::write(descriptor, text.data(), std::min(text.size(), chunk));
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          // A descriptor set non-blocking by whoever started us: wait a little rather than spin.
          ::poll(nullptr, 0, 10);
          continue;
        }
        return Outcome::kBroken;
      }
      text.remove_prefix(static_cast<std::size_t>(n));
    }
    return Outcome::kWritten;
  }

  // Under mutex: the dropped line, when pieces were lost since the last one.
  void queueDroppedLine() {
    if (dropped == 0) return;
    if (droppedText) {
      auto text = droppedText(dropped, droppedSince);
      queuedBytes += text.size();
      queue.push_back(std::move(text));
    }
    dropped = 0;
  }
};

OutputWriter::OutputWriter(int descriptor, DroppedText dropped, std::function<void()> onBroken, Limits limits)
    : state_(std::make_shared<State>()) {
  state_->descriptor = descriptor;
  state_->droppedText = std::move(dropped);
  state_->onBroken = std::move(onBroken);
  state_->limits = limits;
  struct stat status {};
  if (::fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode)) state_->chunk = SIZE_MAX;
  thread_ = std::thread([state = state_] { drain(state); });
}

OutputWriter::~OutputWriter() { finish(); }

void OutputWriter::write(std::string text) {
  auto& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (s.closing || s.broken) return;
    // A piece larger than the whole queue may go when nothing else waits: one piece stays bounded.
    if (!s.queue.empty() &&
        (s.queue.size() >= s.limits.lines || s.queuedBytes + text.size() > s.limits.bytes)) {
      if (s.dropped++ == 0) s.droppedSince = now();
      ++s.droppedTotal;
      return;
    }
    // The loss is told where it happened: after the lines queued before it, before this one.
    s.queueDroppedLine();
    s.queuedBytes += text.size();
    s.queue.push_back(std::move(text));
  }
  s.wake.notify_one();
}

bool OutputWriter::writeIfIdle(std::string text) {
  auto& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (s.closing || s.broken || s.writing || !s.queue.empty()) return false;
    s.queuedBytes += text.size();
    s.queue.push_back(std::move(text));
  }
  s.wake.notify_one();
  return true;
}

void OutputWriter::finish(std::chrono::milliseconds limit) {
  if (finished_) return;
  finished_ = true;
  auto& s = *state_;
  std::unique_lock lock(s.mutex);
  s.closing = true;
  s.wake.notify_all();
  bool ended = s.written.wait_for(lock, limit, [&] { return s.ended; });
  if (!ended) {
    s.abandoned = true;
    s.wake.notify_all();
    // Between two writes the thread notices within one poll.
    ended = s.written.wait_for(lock, std::chrono::milliseconds(2 * kPollMilliseconds), [&] { return s.ended; });
  }
  lock.unlock();
  if (ended) {
    thread_.join();
  } else {
    // Stuck in a write the reader never completes: it holds only the shared state, and ends with
    // the process.
    thread_.detach();
  }
}

std::uint64_t OutputWriter::droppedTotal() const {
  std::lock_guard lock(state_->mutex);
  return state_->droppedTotal;
}

// The writer thread: takes what is queued, in order, and writes it; ends at finish() once the queue
// is written, or earlier when the reader has gone or finish() gives up.
void OutputWriter::drain(const std::shared_ptr<State>& state) {
  auto& s = *state;
  std::unique_lock lock(s.mutex);
  for (;;) {
    s.wake.wait(lock, [&] { return !s.queue.empty() || s.dropped > 0 || s.closing || s.abandoned; });
    if (s.abandoned) break;
    // Everything before a loss has been written: its line need not wait for the next piece.
    if (s.queue.empty()) s.queueDroppedLine();
    if (s.queue.empty()) {
      if (s.closing) break;
      continue;
    }
    std::string batch;
    do {
      batch += s.queue.front();
      s.queuedBytes -= s.queue.front().size();
      s.queue.pop_front();
    } while (!s.queue.empty() && batch.size() + s.queue.front().size() <= kBatchBytes);
    s.writing = true;
    lock.unlock();
    const auto outcome = s.writeAll(batch);
    lock.lock();
    s.writing = false;
    s.written.notify_all();
    if (outcome == Outcome::kAbandoned) break;
    if (outcome == Outcome::kBroken) {
      s.broken = true;
      s.queue.clear();
      s.queuedBytes = 0;
      lock.unlock();
      if (s.onBroken) s.onBroken();
      lock.lock();
      break;
    }
  }
  s.ended = true;
  s.written.notify_all();
}

std::string droppedJsonLine(std::uint64_t lines, TimeStamp since) {
  return JsonLine().add("type", "dropped").add("lines", lines).addTime("since", since).text() + "\n";
}

}  // namespace corvane::run
