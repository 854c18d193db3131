#pragma once
// State records in the runtime's data memory. Readers copy a consistent record under the block's
// lock; a writer opens a sentinel, fills a staged copy and commits it in one step, then the events
// of the change are raised.
#include <atomic>
#include <cstddef>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <span>

#include "corvane/data.hpp"
#include "corvane/process.hpp"
#include "corvane/time.hpp"

namespace corvane::memory {

class MemoryResource {
 public:
  virtual ~MemoryResource() = default;
  virtual void* allocate(std::size_t size, std::size_t alignment) = 0;
  virtual void deallocate(void* p, std::size_t size, std::size_t alignment) noexcept = 0;
};
namespace memoryResources {
MemoryResource& data() noexcept;
}

// Builds, copies and destroys the records of one block.
class BlockHandler {
 public:
  virtual ~BlockHandler() = default;
  virtual std::size_t size() const noexcept = 0;
  virtual std::size_t alignment() const noexcept = 0;
  virtual void construct(void* p) const = 0;
  virtual void copy(void* target, const void* source) const = 0;
  virtual void destroy(void* p) const noexcept = 0;
};

// Observes every commit of every block (the runner's status view and event lines).
using CommitObserver = std::function<void(const void* block, TimeStamp time)>;
void setCommitObserver(CommitObserver observer);

namespace detail {
void notifyCommit(const void* block, TimeStamp time);
}

template <class T>
struct Object {
  using Type = T;
  // The default handler: T's default constructor gives the initial record.
  class Handler : public BlockHandler {
   public:
    std::size_t size() const noexcept override { return sizeof(T); }
    std::size_t alignment() const noexcept override { return alignof(T); }
    void construct(void* p) const override { ::new (p) T(); }
    void copy(void* target, const void* source) const override {
      *static_cast<T*>(target) = *static_cast<const T*>(source);
    }
    void destroy(void* p) const noexcept override { static_cast<T*>(p)->~T(); }
  };
  static const Handler& defaultHandler() {
    static const Handler handler;
    return handler;
  }
};

template <class Layout>
class MemoryBlock;

template <class T>
class WriteSentinel;

template <class T>
class MemoryBlock<Object<T>> {
 public:
  MemoryBlock() = default;
  ~MemoryBlock() { reset(); }
  MemoryBlock(const MemoryBlock&) = delete;
  MemoryBlock& operator=(const MemoryBlock&) = delete;

  static MemoryBlock create(MemoryResource& resource, const BlockHandler& handler) {
    MemoryBlock block;
    block.open(resource, handler);
    return block;
  }
  MemoryBlock(MemoryBlock&& other) noexcept { *this = std::move(other); }
  MemoryBlock& operator=(MemoryBlock&& other) noexcept {
    if (this != &other) {
      reset();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  // Creates the record in place (used by elements in realize()).
  void open(MemoryResource& resource, const BlockHandler& handler) {
    reset();
    state_ = std::make_shared<State>();
    state_->resource = &resource;
    state_->handler = &handler;
    state_->record = static_cast<T*>(resource.allocate(handler.size(), handler.alignment()));
    handler.construct(state_->record);
  }
  bool exists() const noexcept { return state_ != nullptr; }

  // A consistent copy of the committed record.
  T read() const {
    std::lock_guard lock(state_->dataMutex);
    return *state_->record;
  }
  // Reads one field under the lock.
  template <class F>
  F readField(F T::*field) const {
    std::lock_guard lock(state_->dataMutex);
    return state_->record->*field;
  }
  std::uint64_t commitCount() const noexcept { return state_->commits.load(); }
  const void* identity() const noexcept { return state_.get(); }

  // Read access that keeps the record alive while a handle exists.
  struct Shared {
    std::shared_ptr<const void> keepAlive;
    std::mutex* mutex;
    const T* record;
  };
  Shared share() const { return {state_, &state_->dataMutex, state_->record}; }

 private:
  friend class WriteSentinel<T>;
  struct State {
    MemoryResource* resource = nullptr;
    const BlockHandler* handler = nullptr;
    T* record = nullptr;
    std::mutex writeMutex;  // one writer at a time, held from open to commit
    std::mutex dataMutex;   // held only while copying
    std::atomic<std::uint64_t> commits{0};
    ~State() {
      if (record) {
        handler->destroy(record);
        resource->deallocate(record, handler->size(), handler->alignment());
      }
    }
  };
  void reset() { state_.reset(); }
  std::shared_ptr<State> state_;
};

// One change of a record. The placement starts as a copy of the committed record (so fields the
// writer leaves alone keep their values); commit() publishes it and raises the events.
template <class T>
class WriteSentinel {
 public:
  struct CopyOld {};  // the writer reads oldData()
  struct Plain {};    // the writer overwrites what it changes
  explicit WriteSentinel(MemoryBlock<Object<T>>& block) : WriteSentinel(block, CopyOld{}) {}
  WriteSentinel(MemoryBlock<Object<T>>& block, Plain) : WriteSentinel(block, CopyOld{}) {}
  WriteSentinel(MemoryBlock<Object<T>>& block, CopyOld)
      : state_(block.state_), lock_(state_->writeMutex) {
    std::lock_guard data(state_->dataMutex);
    placement_.emplace(*state_->record);
    old_.emplace(*state_->record);
  }
  WriteSentinel(const WriteSentinel&) = delete;
  WriteSentinel& operator=(const WriteSentinel&) = delete;

  T& placement() noexcept { return *placement_; }
  const T& oldData() const noexcept { return *old_; }

  void commit(TimeStamp time, std::span<const process::Event* const> events = {}) {
    {
      std::lock_guard data(state_->dataMutex);
      *state_->record = std::move(*placement_);
    }
    state_->commits.fetch_add(1);
    lock_.unlock();
    detail::notifyCommit(state_.get(), time);
    for (const process::Event* e : events) e->raise(time);
  }
  void commit(TimeStamp time, std::initializer_list<const process::Event*> events) {
    commit(time, std::span<const process::Event* const>(events.begin(), events.size()));
  }

 private:
  std::shared_ptr<typename MemoryBlock<Object<T>>::State> state_;
  std::unique_lock<std::mutex> lock_;
  std::optional<T> placement_;
  std::optional<T> old_;
};

namespace detail {
template <class T, class F>
class FieldSource final : public data::ReadSource {
 public:
  FieldSource(typename MemoryBlock<Object<T>>::Shared shared, F T::*field)
      : shared_(std::move(shared)), field_(field) {}
  data::NativeType nativeType() const noexcept override { return data::detail::nativeTypeFor<F>(); }
  std::error_code read(data::Value& out) const override {
    std::unique_lock lock(*shared_.mutex);
    F copy = shared_.record->*field_;
    lock.unlock();
    out = data::detail::toValue(copy);
    return {};
  }

 private:
  typename MemoryBlock<Object<T>>::Shared shared_;
  F T::*field_;
};
}  // namespace detail

// A read handle on one field of a block's record; it keeps the record alive.
template <class T, class F>
data::ReadHandle fieldReadHandle(const MemoryBlock<Object<T>>& block, F T::*field) {
  return data::ReadHandle(std::make_shared<detail::FieldSource<T, F>>(block.share(), field));
}

}  // namespace corvane::memory
