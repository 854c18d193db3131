#pragma once
// Warnings about a model that loads and prepares but will not behave as its author expects:
// `validate` prints them after what the model resolved to.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <corvane/runtime.hpp>

#include "client/client.hpp"
#include "command/command.hpp"
#include "jsonLine.hpp"
#include "lintSource.hpp"

namespace corvane::run {

struct LintOptions {
  // A message (its text, as readSample gives it) to check command entries against.
  std::optional<std::string> sample;
  // The command elements the sample is for; empty means every command.
  std::vector<std::string> commands;
};

// One JSON object per warning: "warning" (a sentence), "element" (its path) and where the model
// file says it ("file", "line", "column": the offending key, else the element). `modelText` is
// the model file's text (the model keeps no locations of configuration keys). Throws
// std::runtime_error for a command path that names no command element, or text that is not JSON.
std::vector<JsonLine> lintModel(const runtime::Model& model, std::string_view modelText, const LintOptions& options);

// The text of a sample message file, checked to be one JSON document as a command decodes a
// message. Throws std::runtime_error: "FILE:LINE:COLUMN: message", or when it cannot be read;
// runtime::FileRefused for a file that is no document (as a model file).
std::string readSample(const std::string& file);

// One thing lint found: what it means, on which element, and where the file says it.
struct LintWarning {
  std::string text;     // one sentence
  std::string element;  // the element's path
  Location location;
};

using LintWarnings = std::vector<LintWarning>;

// A name, topic or file in a warning's sentence.
inline std::string inQuotes(std::string_view text) { return std::string("\"").append(text).append("\""); }

// Days before a certificate's end from which it is worth a warning.
inline constexpr int kExpiryWarningDays = 30;

// A client's TLS files, what prepare accepts but a handshake, or time, will not: a client
// certificate whose private key does not match it; a client or pinned server certificate that has
// expired or expires within kExpiryWarningDays; a CA file or directory from which OpenSSL gets no
// certificate.
void lintTls(const plugins::mqttClient::Client& client, const std::string& path, const LintSource& source,
             LintWarnings& warnings);

// What exposes a client's credentials or traffic, for a broker that is not on a loopback address
// (127.0.0.0/8, ::1, localhost): a user name or password sent without TLS, TLS that does not verify
// the broker; and, wherever the broker is, a client private key file that group or others may read.
void lintSecurity(const plugins::mqttClient::Client& client, const std::string& path, const LintSource& source,
                  LintWarnings& warnings);
// A model file that holds a password and that group or others may read: one warning, at the first
// password.
void lintModelFile(const runtime::Model& model, const LintSource& source, LintWarnings& warnings);

// A command against a sample message: each entry's path followed in it as the command follows it,
// and what it selects converted as the command would write it, into a stand-in of the target data
// point, so nothing in the model changes. Warns of an entry whose path selects nothing in the
// sample, or whose target data point cannot take what it selects.
void lintSample(const plugins::mqttClient::Command& command, const std::string& path, std::string_view sample,
                const LintSource& source, LintWarnings& warnings);

}  // namespace corvane::run
