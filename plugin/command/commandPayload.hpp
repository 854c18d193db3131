#pragma once
// How a received message becomes data point writes: a list of entries, each a JSON path into the
// message and a target data point.
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <corvane/config.hpp>
#include <corvane/data.hpp>
#include <corvane/model.hpp>
#include <corvane/utils/json.hpp>

#include "jsonPath/path.hpp"
#include "payload/jsonValue.hpp"

namespace corvane::plugins::mqttClient {

class CommandPayload {
 public:
  class DataPoint {
   public:
    void loadDataPoint(utils::json::decoder::Value& value, config::Context& context);
    void prepare();
    // Success, or the one line of text that says why this entry was not written.
    std::optional<std::string> apply(const JsonValue& message) const;
    // The same with the path already followed: `selected` is the value it selected in the message,
    // or null when it selected nothing, for the reason `failure` gives.
    std::optional<std::string> write(const JsonValue* selected, const std::string& failure) const;
    // The write itself, through `handle` instead of the data point's own: what a selected value
    // becomes on its way into the point, also for a stand-in point that a dry run writes to. The
    // handle's answer; throws what rendering the value throws.
    std::error_code writeValue(const corvane::data::WriteHandle& handle, const JsonValue& selected) const;

    const jsonPath::Path& path() const noexcept { return path_; }
    const std::string& pathText() const noexcept { return pathText_; }
    bool asJsonText() const noexcept { return asJsonText_; }
    std::shared_ptr<corvane::model::Element> target() const { return dataPoint_.lock(); }

   private:
    std::weak_ptr<corvane::model::Element> dataPoint_;
    corvane::data::WriteHandle writeHandle_;
    jsonPath::Path path_;
    std::string pathText_;
    bool asJsonText_ = false;
  };

  // The largest message a command takes, in bytes. Reading a message takes about twice its size
  // (its text and the decoder's copy), so larger ones are refused whole, unread.
  static constexpr std::size_t kMaxMessageSize = std::size_t{64} << 20;

  // Appends the entries of a "payload" array.
  void load(utils::json::decoder::Value& value, config::Context& context);
  void prepare();
  // Decodes the message once and writes every entry; the summary is empty on full success, else
  // one "\n"-introduced line per failed entry. Throws (nothing written) when the message is larger
  // than kMaxMessageSize ("message of 268435200 bytes is larger than the 67108864 bytes a command
  // takes"), is not JSON, holds a duplicate member, or holds more than 1,000,000 JSON values
  // ("message has too many JSON values (more than 1000000)": the whole, every member value and
  // every array element count).
  std::string apply(const char* payload, std::size_t length) const;
  // What apply reads, without writing anything: the message is decoded and every entry's path
  // followed exactly as there, and `visit` gets each entry in order with the value its path
  // selected, or null and the reason it selected nothing. The values live only during the call.
  // Throws as apply does.
  using SelectionVisitor =
      std::function<void(const DataPoint& entry, const JsonValue* selected, const std::string& failure)>;
  void select(const char* payload, std::size_t length, const SelectionVisitor& visit) const;
  // The same, always by the reader that streams through the message (small messages are parsed
  // whole first): what both readers give must agree (tests).
  void selectStreaming(const char* payload, std::size_t length, const SelectionVisitor& visit) const;

  const std::vector<std::unique_ptr<DataPoint>>& entries() const noexcept { return entries_; }

  // The entries' paths as one tree, so that a message is read once for all of them.
  struct PathTree;

 private:
  void loadEntries(utils::json::decoder::Value& value, config::Context& context);

  std::vector<std::unique_ptr<DataPoint>> entries_;
  std::shared_ptr<const PathTree> paths_;  // of entries_
};

}  // namespace corvane::plugins::mqttClient
