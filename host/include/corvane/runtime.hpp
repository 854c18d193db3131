#pragma once
// The runtime core: a model file of data points and skill elements, loaded, resolved, realized,
// prepared, run on a task scheduler and shut down in order.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "corvane/config.hpp"
#include "corvane/data.hpp"
#include "corvane/model.hpp"
#include "corvane/process.hpp"
#include "corvane/skill.hpp"

namespace corvane::runtime {

// How a simulated data point changes each period.
struct Simulation {
  enum class Kind { kCounter, kSine, kRandomWalk };
  Kind kind = Kind::kCounter;
  std::chrono::nanoseconds period{std::chrono::seconds(1)};
  double amplitude = 1.0;  // sine amplitude, random-walk step
  double offset = 0.0;     // sine centre
};

// A data point: one typed value with a quality and named extra attributes. Reads and writes are
// safe from any thread.
class DataPoint final : public model::Element {
 public:
  DataPoint(std::string name, utils::core::Uuid uuid, data::DataType type);

  model::ElementCategory category() const noexcept override { return model::ElementCategory::kDataPoint; }
  data::ReadHandle attributeReadHandle(std::string_view name) const override;
  data::WriteHandle attributeWriteHandle(const model::Attribute& attribute) override;
  bool forEachAttribute(const model::ForEachAttributeFunction& function) const override;

  data::DataType type() const noexcept { return type_; }
  // Converts to the point's type; an error code when it cannot (nothing changes then).
  std::error_code setValue(const data::Value& value, TimeStamp time = now());
  data::Value value() const;
  std::int64_t quality() const;
  void setQuality(std::int64_t quality);
  void setExtraAttribute(std::string name, data::Value value);  // only before operation
  TimeStamp changeTime() const;
  std::uint64_t changeCount() const noexcept { return changes_.load(); }
  // A write-only or read-only value (for tests of the refusals).
  void setAccess(bool readable, bool writable) noexcept { readable_ = readable; writable_ = writable; }
  bool readable() const noexcept { return readable_; }
  bool writable() const noexcept { return writable_; }

  std::optional<Simulation> simulation;

  // Called after every successful write of the value (any thread).
  void setChangeListener(std::function<void(const DataPoint&)> listener) { listener_ = std::move(listener); }

 private:
  friend class ValueSink;
  friend class ValueSource;
  data::DataType type_;
  mutable std::mutex mutex_;
  data::Value value_;
  std::int64_t quality_ = 192;  // good
  TimeStamp changeTime_ = kNever;
  std::map<std::string, data::Value, std::less<>> extra_;
  std::atomic<std::uint64_t> changes_{0};
  std::function<void(const DataPoint&)> listener_;
  bool readable_ = true;
  bool writable_ = true;
};

// One task of one element, as the model file schedules it.
struct TaskEntry {
  std::string elementPath;
  process::Task::Role role;
  std::shared_ptr<process::Task> task;
  std::chrono::nanoseconds cycle;
  std::atomic<std::uint64_t> runs{0};
};

// A skill element of the model and its place in it.
struct ElementEntry {
  std::shared_ptr<skill::Element> element;
  std::shared_ptr<model::Element> node;
  std::string skillName;
  std::string className;
  std::string path;
  std::size_t parent = SIZE_MAX;  // index of the parent entry
  utils::json::decoder::Location location;
};

// A configuration error located in the model file: what() is "FILE:LINE:COLUMN: message".
class ModelError : public std::runtime_error {
 public:
  ModelError(const std::string& file, utils::json::decoder::Location location, const std::string& message);
  const std::string& message() const noexcept { return message_; }
  utils::json::decoder::Location location() const noexcept { return location_; }

 private:
  std::string message_;
  utils::json::decoder::Location location_;
};

// The largest file the runtime reads whole: model files and the documents its tools are given.
inline constexpr std::uintmax_t kFileSizeLimit = std::uintmax_t{256} << 20;

// A file refused before anything of it is read: not a regular file (a FIFO, a device, a
// directory), or larger than kFileSizeLimit. what() is "FILE: reason".
class FileRefused : public std::runtime_error {
 public:
  FileRefused(const std::string& file, const std::string& reason)
      : std::runtime_error(file + ": " + reason), reason_(reason) {}
  const std::string& reason() const noexcept { return reason_; }

 private:
  std::string reason_;
};

// The whole text of a regular file. The file is opened without waiting (a FIFO without a writer
// would block the open) and judged by the opened descriptor, not by its name, so nothing can
// swap it in between. FileRefused as above; std::system_error (errno) when it cannot be opened
// or read.
std::string readRegularFile(const std::filesystem::path& file);

struct LoadOptions {
  // Skill libraries to load before creating elements (dlopen). Skills already linked in (tests)
  // need none.
  std::vector<std::filesystem::path> libraries;
};

class Model : public config::Resolver {
 public:
  Model();
  ~Model() override;
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

  // Create, load and resolve every element. ModelError for configuration errors, FileRefused for
  // a file that is no model file at all (readRegularFile).
  void load(const std::filesystem::path& file, const LoadOptions& options = {});
  void loadText(std::string_view text, const std::filesystem::path& baseDirectory,
                const std::string& fileName = "<model>", const LoadOptions& options = {});
  // realize then prepare every element, parents first. ModelError (element located) on failure.
  void realizeAndPrepare();
  // Run every task: pre-operational stages, then operational stages on their cycles from
  // `threads` worker threads, until stop() (or the duration ends).
  void start(unsigned threads = 4);
  void stop();  // post-operational stages, then the element cleanup
  // Called on the worker thread just before (`finished` false) and just after (true) every
  // operational run of a task, with the run's time stamp. Set before start().
  using RunObserver = std::function<void(const TaskEntry& task, TimeStamp time, bool finished)>;
  void setRunObserver(RunObserver observer) { runObserver_ = std::move(observer); }
  // Runs one task's operational stage now (tests).
  void runTaskOnce(const std::string& elementPath, std::string_view roleName);
  // cleanup of every element, then destruction in reverse creation order.
  void shutdown();

  std::shared_ptr<model::Element> findElement(std::string_view path) const override;
  std::shared_ptr<DataPoint> dataPoint(std::string_view path) const;
  std::shared_ptr<skill::Element> skillElement(std::string_view path) const;
  const std::vector<ElementEntry>& elements() const noexcept { return elements_; }
  const std::vector<std::shared_ptr<DataPoint>>& dataPoints() const noexcept { return dataPoints_; }
  const std::vector<std::unique_ptr<TaskEntry>>& tasks() const noexcept { return tasks_; }
  const std::string& fileName() const noexcept { return fileName_; }
  // The model file's text as it was loaded.
  std::string_view text() const noexcept;

 private:
  class Factory;
  struct Impl;
  void loadOwnedText(std::string text, const std::filesystem::path& baseDirectory, const std::string& fileName,
                     const LoadOptions& options);
  void loadLibraries(const std::vector<std::filesystem::path>& libraries);
  void unloadLibraries();
  void simulate();  // the simulator thread
  void runOperational(TaskEntry& entry);
  [[noreturn]] void fail(utils::json::decoder::Location location, const std::string& message) const;

  std::string fileName_;
  std::vector<std::shared_ptr<DataPoint>> dataPoints_;
  std::vector<ElementEntry> elements_;
  std::vector<std::unique_ptr<TaskEntry>> tasks_;
  std::map<std::string, std::shared_ptr<model::Element>, std::less<>> byPath_;
  std::map<std::string, std::unique_ptr<skill::Skill>, std::less<>> skills_;
  std::vector<void*> libraries_;
  std::unique_ptr<Impl> impl_;
  RunObserver runObserver_;
};

// A UUID derived from a model path, stable across restarts (SHA-256 based, version 8 layout).
utils::core::Uuid uuidFromPath(std::string_view path);

}  // namespace corvane::runtime
