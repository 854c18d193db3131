#include "corvane/memory.hpp"

#include <memory>

namespace corvane::memory {

namespace {
class DataResource final : public MemoryResource {
 public:
  void* allocate(std::size_t size, std::size_t alignment) override {
    return ::operator new(size, std::align_val_t(alignment));
  }
  void deallocate(void* p, std::size_t, std::size_t alignment) noexcept override {
    ::operator delete(p, std::align_val_t(alignment));
  }
};

std::mutex observerMutex;
std::shared_ptr<const CommitObserver> observer;
}  // namespace

MemoryResource& memoryResources::data() noexcept {
  static DataResource resource;
  return resource;
}

void setCommitObserver(CommitObserver function) {
  auto next = function ? std::make_shared<const CommitObserver>(std::move(function)) : nullptr;
  std::lock_guard lock(observerMutex);
  observer = std::move(next);
}

void detail::notifyCommit(const void* block, TimeStamp time) {
  std::shared_ptr<const CommitObserver> current;
  {
    std::lock_guard lock(observerMutex);
    current = observer;
  }
  if (current) (*current)(block, time);
}

}  // namespace corvane::memory
