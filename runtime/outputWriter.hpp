#pragma once
// Standard output (or error) of the long-running subcommands, written by one thread of its own. The
// model's threads (network threads inside libmosquitto callbacks, task workers, the simulation)
// only hand whole lines over; a reader that pauses (a log shipper that hiccups, `less`, a full
// disk, a terminal stopped with Ctrl-S) holds up the writer thread alone. When the reader falls so
// far behind that the queue is full, lines are dropped and counted, and the next line written is
// preceded by a line that says how many were lost. A write that fails (a full disk, an I/O error)
// loses the lines it carried, counted the same way and told once writing works again; only a
// reader that has gone (EPIPE) ends the writer.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>

#include <corvane/time.hpp>

namespace corvane::run {

// What a writer's queue holds at most, besides the batch being written: the burst of a large model
// (its initial state alone is a line per element and data point) fits, a reader gone for long does
// not.
struct OutputLimits {
  std::size_t lines = 16384;
  std::size_t bytes = std::size_t{8} << 20;
};

class OutputWriter {
 public:
  using Limits = OutputLimits;
  // The line (with its line break) that stands for `lines` lost pieces, the first lost at `since`.
  using DroppedText = std::function<std::string(std::uint64_t lines, TimeStamp since)>;
  // How long the end of a run waits for what is still queued.
  static constexpr std::chrono::milliseconds kFinishLimit{1000};

  // `descriptor` stays open and owned by the caller. `onBroken` runs on the writer thread once the
  // reader has gone (a closed pipe: EPIPE); nothing is written after it.
  OutputWriter(int descriptor, DroppedText dropped, std::function<void()> onBroken = {}, Limits limits = {});
  // finish(kFinishLimit) unless finished already.
  ~OutputWriter();
  OutputWriter(const OutputWriter&) = delete;
  OutputWriter& operator=(const OutputWriter&) = delete;

  // Any thread: queues `text` (whole lines, line breaks included) and returns at once, without I/O;
  // drops and counts it when the queue is full.
  void write(std::string text);
  // Queues `text` only when everything queued before has been written: a redraw that would replace
  // a frame still on its way is skipped rather than queued. True when queued.
  bool writeIfIdle(std::string text);
  // Waits at most `limit` for the queue to be written, then ends the writer thread. What the reader
  // has not taken by then is lost: the writer thread is left behind in a write that never returns,
  // to end with the process.
  void finish(std::chrono::milliseconds limit = kFinishLimit);

  // The pieces dropped so far, reported or not.
  std::uint64_t droppedTotal() const;

  // The pieces failed writes lost, and the last such write's error.
  struct WriteFailures {
    std::uint64_t lines = 0;
    std::error_code error;
  };
  WriteFailures writeFailures() const;

 private:
  struct Piece;
  struct State;
  static void drain(const std::shared_ptr<State>& state);

  // Shared with the writer thread, which may outlive this object when the reader never reads.
  std::shared_ptr<State> state_;
  std::thread thread_;  // the writer: the only one that touches the descriptor
  bool finished_ = false;
};

// Exit status of `run` and `listen` when failed writes lost lines of standard output.
inline constexpr int kOutputLost = 1;

// After finish(): when failed writes lost lines, says so on standard error ("corvane-run COMMAND: N
// lines of standard output lost: CATEGORY VALUE: MESSAGE") and returns kOutputLost; else 0.
int lostOutputStatus(const OutputWriter& writer, std::string_view command);

// The event log's `dropped` line: {"type":"dropped","lines":N,"since":TIME}.
std::string droppedJsonLine(std::uint64_t lines, TimeStamp since);

}  // namespace corvane::run
