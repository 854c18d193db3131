#pragma once
// The model file as it is written: its data points, ready to use, and its skill elements as they
// are declared, before any is created.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "corvane/runtime.hpp"

namespace corvane::runtime {

// An element as the model file declares it, before it is created.
struct Declaration {
  std::string skill;
  std::string className;
  std::string name;
  std::optional<utils::core::Uuid> uuid;
  std::string_view config;  // raw JSON text of "config"
  utils::json::decoder::Location configLocation;
  std::map<std::string, std::chrono::nanoseconds, std::less<>> cycles;
  std::vector<Declaration> children;
  utils::json::decoder::Location location;
};

// Throw the decoder's exceptions, located in the model file.
Declaration readDeclaration(utils::json::decoder::Value& value, bool child);
std::shared_ptr<DataPoint> readDataPoint(utils::json::decoder::Value& value);

}  // namespace corvane::runtime
