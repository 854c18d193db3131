#pragma once
// One thing lint found: what it means, on which element, and where the file says it.
#include <string>
#include <vector>

#include <corvane/utils/json.hpp>

namespace corvane::run {

struct LintWarning {
  std::string text;     // one sentence
  std::string element;  // the element's path
  utils::json::decoder::Location location;
};

using LintWarnings = std::vector<LintWarning>;

}  // namespace corvane::run
