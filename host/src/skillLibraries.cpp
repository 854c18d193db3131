#include <dlfcn.h>

#include <string>

#include "corvane/runtime.hpp"

namespace corvane::runtime {

// Loaded before any element is created, so that their skills have registered themselves.
void Model::loadLibraries(const std::vector<std::filesystem::path>& libraries) {
  for (const auto& library : libraries) {
    void* handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) throw ModelError(fileName_, {}, std::string("cannot load skill library: ") + dlerror());
    libraries_.push_back(handle);
  }
}

// Unloaded last, in reverse order, once nothing of theirs is left.
void Model::unloadLibraries() {
  for (auto it = libraries_.rbegin(); it != libraries_.rend(); ++it) dlclose(*it);
  libraries_.clear();
}

}  // namespace corvane::runtime
