#include "outputWriter.hpp"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <vector>

#include <corvane/data.hpp>

#include "jsonLine.hpp"

namespace corvane::run {

namespace {

// How long the writer waits for the reader before it looks again whether the end has come.
constexpr int kPollMilliseconds = 100;
// The most the writer takes from the queue at once.
constexpr std::size_t kBatchBytes = 64 * 1024;

enum class Outcome { kWritten, kBroken, kFailed, kAbandoned };

}  // namespace

// A piece as queued: whole lines, or the line that reports `reports` lost pieces.
struct OutputWriter::Piece {
  std::string text;
  std::uint64_t reports = 0;
  TimeStamp since = kNever;
};

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
  std::deque<Piece> queue;
  std::size_t queuedBytes = 0;
  bool writing = false;                // a batch is on its way to the reader
  std::uint64_t dropped = 0;           // lost since the last dropped line
  TimeStamp droppedSince = kNever;     // when the first of these was lost
  std::uint64_t droppedTotal = 0;
  // Lost to a failed write, before everything queued: told ahead of the next batch.
  std::uint64_t failed = 0;
  TimeStamp failedSince = kNever;
  bool cutLine = false;                // a failed write ended inside a line: the next starts anew
  WriteFailures failures;
  bool closing = false;                // finish() was called: nothing more is queued
  bool broken = false;                 // the reader has gone
  bool ended = false;                  // the writer thread is done with the descriptor
  std::atomic<bool> abandoned{false};  // finish() gave up waiting: stop between two writes

  // Writes all of `text` unless the reader goes away, a write fails (`error` says why) or finish()
  // gives up first; `written` counts the bytes that went out.
  Outcome writeAll(std::string_view text, std::size_t& written, int& error) const {
    written = 0;
    while (written < text.size()) {
      if (abandoned) return Outcome::kAbandoned;
      pollfd ready{descriptor, POLLOUT, 0};
      const int polled = ::poll(&ready, 1, kPollMilliseconds);
      if (polled < 0 && errno != EINTR) return error = errno, Outcome::kFailed;
      if (polled <= 0) continue;
      if (ready.revents & POLLNVAL) return error = EBADF, Outcome::kFailed;
      // With POLLERR or POLLHUP the write itself says what happened (EPIPE for a closed pipe).
      const ssize_t n = ::write(descriptor, text.data() + written, std::min(text.size() - written, chunk));
      if (n < 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
          // A descriptor set non-blocking by whoever started us: wait a little rather than spin.
          ::poll(nullptr, 0, 10);
          continue;
        }
        // Only a closed pipe means the reader has gone; a full disk or an I/O error may pass.
        error = errno;
        return error == EPIPE ? Outcome::kBroken : Outcome::kFailed;
      }
      written += static_cast<std::size_t>(n);
    }
    return Outcome::kWritten;
  }

  // Under mutex: the dropped line, when pieces were lost since the last one.
  void queueDroppedLine() {
    if (dropped == 0) return;
    if (droppedText) {
      auto text = droppedText(dropped, droppedSince);
      queuedBytes += text.size();
      queue.push_back({std::move(text), dropped, droppedSince});
    }
    dropped = 0;
  }

  // Under mutex: what a failed write lost, `text` from `written` on, counted to be told ahead of
  // the next batch; a report line among it is folded into the count it reported.
  void countFailed(const std::vector<Piece>& pieces, std::size_t written, int error) {
    std::size_t end = 0;
    for (const auto& piece : pieces) {
      const std::size_t start = end;
      end += piece.text.size();
      if (end <= written) continue;
      if (start < written) cutLine = true;
      const std::uint64_t lost = piece.reports > 0 ? piece.reports : 1;
      const TimeStamp since = piece.reports > 0 ? piece.since : now();
      if (failed == 0 || since < failedSince) failedSince = since;
      failed += lost;
      if (piece.reports == 0) {
        ++droppedTotal;
        ++failures.lines;
      }
    }
    failures.error = std::error_code(error, std::system_category());
  }

  // Under mutex: the next batch: the line that tells what failed writes lost, then at most
  // kBatchBytes of queued pieces (one at least); a line a failed write cut is ended first.
  std::vector<Piece> takeBatch() {
    std::vector<Piece> pieces;
    if (failed > 0 && droppedText) pieces.push_back({droppedText(failed, failedSince), failed, failedSince});
    failed = 0;
    std::size_t bytes = 0;
    while (!queue.empty() && (bytes == 0 || bytes + queue.front().text.size() <= kBatchBytes)) {
      bytes += queue.front().text.size();
      queuedBytes -= queue.front().text.size();
      pieces.push_back(std::move(queue.front()));
      queue.pop_front();
    }
    if (cutLine && !pieces.empty()) pieces.front().text.insert(0, 1, '\n');
    cutLine = false;
    return pieces;
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
    s.queue.push_back({std::move(text)});
  }
  s.wake.notify_one();
}

bool OutputWriter::writeIfIdle(std::string text) {
  auto& s = *state_;
  {
    std::lock_guard lock(s.mutex);
    if (s.closing || s.broken || s.writing || !s.queue.empty()) return false;
    s.queuedBytes += text.size();
    s.queue.push_back({std::move(text)});
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

OutputWriter::WriteFailures OutputWriter::writeFailures() const {
  std::lock_guard lock(state_->mutex);
  return state_->failures;
}

// The writer thread: takes what is queued, in order, and writes it; ends at finish() once the queue
// is written, or earlier when the reader has gone or finish() gives up. After a failed write it
// tries again with the next piece queued, and once more at the end to tell what was lost.
void OutputWriter::drain(const std::shared_ptr<State>& state) {
  auto& s = *state;
  std::unique_lock lock(s.mutex);
  bool toldAtEnd = false;
  for (;;) {
    s.wake.wait(lock, [&] { return !s.queue.empty() || s.dropped > 0 || s.closing || s.abandoned; });
    if (s.abandoned) break;
    // Everything before a loss has been written: its line need not wait for the next piece.
    if (s.queue.empty()) s.queueDroppedLine();
    if (s.queue.empty()) {
      if (!s.closing) continue;
      if (toldAtEnd || s.failed == 0) break;
      toldAtEnd = true;
    }
    const auto pieces = s.takeBatch();
    std::string batch;
    for (const auto& piece : pieces) batch += piece.text;
    s.writing = true;
    lock.unlock();
    std::size_t written = 0;
    int error = 0;
    const auto outcome = batch.empty() ? Outcome::kWritten : s.writeAll(batch, written, error);
    lock.lock();
    s.writing = false;
    s.written.notify_all();
    if (outcome == Outcome::kAbandoned) break;
    if (outcome == Outcome::kFailed) s.countFailed(pieces, written, error);
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

int lostOutputStatus(const OutputWriter& writer, std::string_view command) {
  const auto failures = writer.writeFailures();
  if (failures.lines == 0) return 0;
  std::fprintf(stderr, "corvane-run %.*s: %llu lines of standard output lost: %s\n", static_cast<int>(command.size()),
               command.data(), static_cast<unsigned long long>(failures.lines),
               data::describeError(failures.error).c_str());
  return kOutputLost;
}

std::string droppedJsonLine(std::uint64_t lines, TimeStamp since) {
  return JsonLine().add("type", "dropped").add("lines", lines).addTime("since", since).text() + "\n";
}

}  // namespace corvane::run
