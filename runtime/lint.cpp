#include "lint.hpp"

namespace corvane::run {

std::vector<JsonLine> lintModel(const runtime::Model&, const LintOptions&) { return {}; }

}  // namespace corvane::run
