#pragma once
// One thing lint found: what it means, on which element, and where the file says it.
#include <string>
#include <string_view>
#include <vector>

#include <corvane/utils/json.hpp>

namespace corvane::run {

struct LintWarning {
  std::string text;     // one sentence
  std::string element;  // the element's path
  utils::json::decoder::Location location;
};

using LintWarnings = std::vector<LintWarning>;

// A name, topic or file in a warning's sentence.
inline std::string inQuotes(std::string_view text) { return std::string("\"").append(text).append("\""); }

}  // namespace corvane::run
