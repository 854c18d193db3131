#pragma once
// A small command message read whole by simdjson's validating parser, and every entry's path
// followed in one pass over the parsed document. What this reading does not take (text that is not
// JSON, a number beyond 64 bits, a duplicate member, deep nesting) is left to the streaming reader,
// which reads it the same way and says why it refuses it.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "command/commandPayload.hpp"
#include "jsonPath/path.hpp"
#include "payload/jsonValue.hpp"

namespace corvane::plugins::mqttClient {

class ParsedMessage {
 public:
  // Larger messages are read by the streaming reader. A parser takes about 16 bytes per byte of
  // message and each client's thread keeps its own for the next message, so it is kept small.
  static constexpr std::size_t kMaxSize = std::size_t{4} << 10;

  ParsedMessage();
  ~ParsedMessage();
  ParsedMessage(const ParsedMessage&) = delete;
  ParsedMessage& operator=(const ParsedMessage&) = delete;

  // Parses and checks the whole message and finds where the paths of `paths` lead in it; false
  // when it is left to the streaming reader.
  bool read(const char* payload, std::size_t length, const CommandPayload::PathTree& paths);
  // What a path of the tree (ending at its node `node`) selects in the message read last, into
  // `selected`; false with `failure` saying why when it selects nothing (jsonPath::find's words).
  bool select(const jsonPath::Path& path, std::uint32_t node, JsonValue& selected, std::string& failure) const;

 private:
  struct Parser;
  class Scan;
  Parser* parser_;
  std::unique_ptr<Parser> own_;  // when the thread's parser is busy with another message
};

}  // namespace corvane::plugins::mqttClient
