// Model-file loading: configuration objects of clients, topics and commands, mutated freely. Every
// input must load or be refused with a located configuration error; nothing else may escape.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string_view>

#include <corvane/runtime.hpp>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  corvane::runtime::Model model;
  try {
    // Files named in the configuration are looked up relative to a directory that holds none.
    model.loadText(text, std::filesystem::temp_directory_path() / "corvane-fuzz-model-none", "fuzz.json");
  } catch (const corvane::runtime::ModelError&) {
  }
  return 0;
}
