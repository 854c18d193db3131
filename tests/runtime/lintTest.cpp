// corvane-run validate's warnings, end to end: the built binary on model files. Nothing connects,
// so no broker is needed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "certificates.hpp"
#include "childProcess.hpp"
#include "runnerProcess.hpp"
#include "tempDir.hpp"

namespace corvane::run {
namespace {

bool isWarning(const std::string& line) { return line.starts_with(R"({"warning":)"); }

std::vector<std::string> warningsOf(const std::vector<std::string>& lines) {
  std::vector<std::string> warnings;
  for (const auto& line : lines) {
    if (isWarning(line)) warnings.push_back(line);
  }
  return warnings;
}

// Text as it stands inside a JSON string of the output.
std::string escaped(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out;
}

// The "line" and "column" members of a warning at the first occurrence of `at` in `text`.
std::string locationOf(std::string_view text, std::string_view at) {
  auto offset = text.find(at);
  if (offset == std::string_view::npos) throw std::logic_error("no \"" + std::string(at) + "\" in the model");
  auto lineStart = text.rfind('\n', offset);
  std::size_t line = 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n'));
  std::size_t column = offset - (lineStart == std::string_view::npos ? 0 : lineStart + 1) + 1;
  return "\"line\":" + std::to_string(line) + ",\"column\":" + std::to_string(column) + "}";
}

// One client "b" on 127.0.0.1:1883 with these configuration members, children and further
// top-level elements. p/int holds 7 so that a test can see it was not written.
std::string clientModel(std::string_view config, std::string_view children = "", std::string_view more = "") {
  std::string text = R"({"dataPoints": [
  {"name": "p/int", "type": "integer", "value": 7},
  {"name": "p/text", "type": "string"},
  {"name": "p/level", "type": "double", "attributes": {"unit": "mm"}}],
 "elements": [
  {"skill": "MQTT", "class": "Client", "name": "b",
   "config": {"brokerAddress": "127.0.0.1:1883", "clientID": "lint-1",
     )";
  text += config;
  text += "},\n   \"children\": [";
  text += children;
  text += "]}";
  if (!more.empty()) text += ",\n  " + std::string(more);
  text += "]}\n";
  return text;
}

// Files the certificate rows need beyond the shared set: what prepare accepts but lint does not.
class LintFiles {
 public:
  static const LintFiles& shared() {
    static const LintFiles files;
    return files;
  }
  std::filesystem::path otherTypeKey;    // Ed25519: loads beside an EC certificate without complaint
  std::filesystem::path shortLived;      // EC certificate, 10 days
  std::filesystem::path shortLivedKey;
  std::filesystem::path crlOnly;         // a CA file OpenSSL loads, with no certificate in it
  std::filesystem::path emptyDirectory;
  std::filesystem::path unhashedDirectory;  // the test CA, but not under its subject hash

 private:
  LintFiles() {
    const auto& ca = testing::Certificates::shared().ca();
    auto config = dir_.writeFile("openssl.cnf",
                                 "[req]\ndistinguished_name = dn\nprompt = no\n[dn]\n"
                                 "[ca]\ndefault_ca = c\n[c]\ndatabase = " + (dir_ / "index.txt").string() +
                                     "\ndefault_md = sha256\ndefault_crl_days = 30\n");
    dir_.writeFile("index.txt", "");
    otherTypeKey = dir_ / "ed25519.key";
    shortLived = dir_ / "short.pem";
    shortLivedKey = dir_ / "short.key";
    crlOnly = dir_ / "crl.pem";
    openssl({"genpkey", "-algorithm", "ED25519", "-out", otherTypeKey});
    openssl({"req", "-x509", "-config", config, "-subj", "/CN=Corvane Short Client", "-days", "10", "-newkey", "ec",
             "-pkeyopt", "ec_paramgen_curve:P-256", "-noenc", "-keyout", shortLivedKey, "-out", shortLived});
    openssl({"ca", "-gencrl", "-config", config, "-keyfile", ca.key, "-cert", ca.certificate, "-out", crlOnly});
    emptyDirectory = dir_ / "empty";
    std::filesystem::create_directory(emptyDirectory);
    unhashedDirectory = dir_ / "unhashed";
    std::filesystem::create_directory(unhashedDirectory);
    std::filesystem::copy_file(ca.certificate, unhashedDirectory / "ca.pem");
  }
  static void openssl(const std::vector<std::filesystem::path>& args) {
    std::vector<std::string> command{"openssl"};
    for (const auto& arg : args) command.push_back(arg.string());
    auto result = testing::runProcess(command);
    if (result.exitCode != 0) throw std::runtime_error("openssl failed: " + result.output);
  }
  testing::TempDir dir_{"corvane-lint-files"};
};

// Certificate and directory paths of a row.
std::string withFiles(std::string text) {
  const auto& shared = testing::Certificates::shared();
  const auto& files = LintFiles::shared();
  text = replaced(text, "CLIENT_PEM", shared.client().certificate.string());
  text = replaced(text, "CLIENT_KEY", shared.client().key.string());
  text = replaced(text, "SERVER_KEY", shared.server().key.string());
  text = replaced(text, "OTHER_TYPE_KEY", files.otherTypeKey.string());
  text = replaced(text, "SHORT_PEM", files.shortLived.string());
  text = replaced(text, "SHORT_KEY", files.shortLivedKey.string());
  text = replaced(text, "EXPIRED_PEM", shared.expiredServer().certificate.string());
  text = replaced(text, "PINNED_PEM", shared.selfSignedServer().certificate.string());
  text = replaced(text, "CA_PEM", shared.caFile().string());
  text = replaced(text, "CA_DIRECTORY", shared.caDirectory().string());
  text = replaced(text, "CRL_ONLY", files.crlOnly.string());
  text = replaced(text, "EMPTY_DIRECTORY", files.emptyDirectory.string());
  text = replaced(text, "UNHASHED_DIRECTORY", files.unhashedDirectory.string());
  return text;
}

struct WarningCase {
  const char* fault;
  const char* config;    // members of client "b"'s configuration
  const char* children;  // of "b"
  const char* more;      // further top-level elements
  const char* element;
  const char* at;        // where the warning points: the first occurrence of this text
  const char* warning;   // part of the warning's text, unescaped
};

TEST(Lint, EachFaultGivesOneWarningAtItsKey) {
  const WarningCase cases[] = {
      {"retained will that no retained birth replaces",
       R"("birth": {"topic": "s", "payload": "on"},
     "will": {"topic": "s", "retained": true, "payload": "off"})",
       "", "", "b", R"("retained": true, "payload": "off")",
       R"(the will on "s" is retained, but no retained birth message on that topic replaces it)"},
      {"retained birth that no retained will replaces",
       R"("birth": {"topic": "s", "retained": true, "payload": "on"},
     "lastWill": {"topic": "s", "payload": "off"})",
       "", "", "b", R"("retained": true, "payload": "on")",
       R"(the birth message on "s" is retained, but no retained will on that topic replaces it)"},
      {"birth and will on different topics",
       R"("birth": {"topic": "s/birth", "payload": "on"},
     "will": {"topic": "s/will", "payload": "off"})",
       "", "", "b", R"("topic": "s/will")",
       R"(the birth message and the will are on different topics ("s/birth", "s/will"))"},
      {"client key of another type than its certificate",
       R"("TLS": {"enabled": true,
       "clientCertificate": {"certificateFile": "CLIENT_PEM", "privateKeyFile": "OTHER_TYPE_KEY"}})",
       "", "", "b", R"("clientCertificate")", R"((EC) does not match its private key)"},
      // A ten-day certificate made moments ago ends in ten days, rounded.
      {"client certificate that ends within 30 days",
       R"("useTLS": true,
     "clientCertificate": {"certificateFile": "SHORT_PEM", "privateKeyFile": "SHORT_KEY"})",
       "", "", "b", R"("clientCertificate")",
       R"(client certificate "CN=Corvane Short Client" from "SHORT_PEM" expires on *, in 10 days)"},
      {"pinned server certificate that has expired",
       R"("TLS": {"enabled": true, "serverCertificate": "EXPIRED_PEM"})", "", "", "b", R"("serverCertificate")",
       R"(pinned server certificate "CN=localhost" from "EXPIRED_PEM" expired on 2020-01-02T00:00:00Z: the TLS handshake fails)"},
      {"CA directory without certificates",
       R"("useTLS": true, "caCertificateDirectory": "EMPTY_DIRECTORY")", "", "", "b", R"("caCertificateDirectory")",
       R"(holds no certificate: no broker certificate can be verified)"},
      {"CA directory whose certificate OpenSSL cannot look up",
       R"("useTLS": true, "caCertificateDirectory": "UNHASHED_DIRECTORY")", "", "", "b",
       R"("caCertificateDirectory")", R"(none under the subject-hash names (HASH.0) that OpenSSL looks up)"},
      {"CA file holding only a revocation list",
       R"("useTLS": true, "caCertificateFile": "CRL_ONLY")", "", "", "b", R"("caCertificateFile")",
       R"(holds no certificate: no broker certificate can be verified against it)"},
      {"client identifier twice on one broker", R"("keepaliveInterval": 30)", "",
       R"({"skill": "MQTT", "class": "Client", "name": "b2", "config": {"brokerAddress": "127.0.0.1", "clientID": "lint-1"}})",
       "b2", R"("clientID": "lint-1"})",
       R"(client identifier "lint-1" is also used by client "b" on the same broker (127.0.0.1:1883))"},
      {"topic attribute that its data point lacks", R"("keepaliveInterval": 30)",
       R"({"class": "Topic", "name": "t", "config": {"topic": "x", "extraAttributes": ["unit", "colour"],
        "payload": {"@Object": [{"key": "level", "value": {"@DataPoint": "p/level"}}]}}})",
       "", "b/t", R"("colour")",
       R"(the topic names attribute "colour" in "extraAttributes", which data point "p/level" does not have)"},
      {"birth message attribute that its data point lacks",
       R"("birth": {"topic": "s", "extraAttributes": ["unit"],
       "payload": {"@Array": [{"@DataPoint": "p/level"}, {"@DataPoint": "p/int"}]}})",
       "", "", "b", R"("unit"])",
       R"(the birth message names attribute "unit" in "extraAttributes", which data point "p/int" does not have)"},
      // Loading leaves a topic's characters to libmosquitto, which refuses these on every call.
      {"topic name with a newline", R"("keepaliveInterval": 30)",
       R"({"class": "Topic", "name": "t", "config": {"topic": "a\nb", "payload": "p"}})", "", "b/t",
       R"("topic": "a\nb")",
       "holds U+000A, a control character, which libmosquitto refuses: every publication fails with Mosquitto 18: "
       "Malformed UTF-8"},
      {"command topic with a non-character", R"("keepaliveInterval": 30)",
       R"({"class": "Command", "name": "c", "config": {"topic": "c\uffff", "payload": []}})", "", "b/c",
       R"("topic": "c\uffff")",
       "holds U+FFFF, a non-character, which libmosquitto refuses: every subscription fails with Mosquitto 18: "
       "Malformed UTF-8"},
      {"birth message topic with a C1 control character", R"("birth": {"topic": "s\u0085", "payload": "on"})", "",
       "", "b", R"("topic": "s\u0085")",
       "holds U+0085, a control character, which libmosquitto refuses: every birth message fails with Mosquitto 18: "
       "Malformed UTF-8"},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string text = withFiles(clientModel(c.config, c.children, c.more));
    auto model = dir.writeFile("m.json", text);
    Runner runner({"validate", model.string()});
    ASSERT_EQ(runner.waitForExit(), 0) << runner.errors();
    auto warnings = warningsOf(runner.lines());
    ASSERT_EQ(warnings.size(), 1u) << runner.output();
    const std::string& warning = warnings.front();
    // The text with its files; "*" stands for a date.
    const std::string said = withFiles(c.warning);
    const auto star = said.find('*');
    EXPECT_NE(warning.find(escaped(said.substr(0, star))), std::string::npos) << warning;
    if (star != std::string::npos) {
      EXPECT_NE(warning.find(escaped(said.substr(star + 1))), std::string::npos) << warning;
    }
    EXPECT_NE(warning.find(R"("element":")" + std::string(c.element) + R"(","file":")" + model.string() + "\","),
              std::string::npos)
        << warning;
    EXPECT_TRUE(warning.ends_with(locationOf(text, c.at))) << warning << "\nexpected " << locationOf(text, c.at);
    // After what the model resolved to, which stays as it was.
    EXPECT_EQ(runner.lines().back(), warning);
    EXPECT_FALSE(isWarning(runner.lines()[runner.lines().size() - 2]));
  }
}

TEST(Lint, AModelThatBehavesAsWrittenGivesNoWarning) {
  // Birth and will retained on one topic; a matching client key; a valid pinned certificate; a
  // hashed CA directory and a CA file; one identifier on two ports of one host; attributes the
  // data point has; a sample every entry takes.
  const std::string text = withFiles(clientModel(
      R"("birth": {"topic": "s", "retained": true, "extraAttributes": ["unit"], "payload": {"@DataPoint": "p/level"}},
     "will": {"topic": "s", "retained": true, "payload": "off"},
     "TLS": {"enabled": true,
       "clientCertificate": {"certificateFile": "CLIENT_PEM", "privateKeyFile": "CLIENT_KEY"}})",
      R"({"class": "Topic", "name": "t", "config": {"topic": "x", "extraAttributes": ["unit"],
        "payload": {"@DataPoint": "p/level"}}},
       {"class": "Command", "name": "c", "config": {"topic": "y", "payload": [
        {"@DataPoint": {"dataPoint": "p/int", "jsonPath": "$.n"}},
        {"@DataPoint": {"dataPoint": "p/text", "jsonPath": "$.o"}},
        {"@DataPoint": {"dataPoint": "p/text", "jsonPath": "$.o", "asJSONText": true}}]}})",
      R"({"skill": "MQTT", "class": "Client", "name": "b2",
   "config": {"brokerAddress": "127.0.0.1:1884", "clientID": "lint-1",
              "useTLS": true, "caCertificateDirectory": "CA_DIRECTORY", "caCertificateFile": "CA_PEM"}},
  {"skill": "MQTT", "class": "Client", "name": "b3",
   "config": {"TLS": {"enabled": true, "serverCertificate": "PINNED_PEM"}, "brokerAddress": "127.0.0.1:1885"}})"));
  testing::TempDir dir;
  auto model = dir.writeFile("clean.json", text);
  auto sample = dir.writeFile("sample.json", R"({"n": 42, "o": {"a": [1, 2]}})");
  auto result = runToEnd({"validate", "--strict", model.string(), "--sample", sample.string()});
  EXPECT_EQ(result.exitCode, 0) << result.errors;
  EXPECT_EQ(result.errors, "");
  EXPECT_EQ(result.output.find(R"("warning")"), std::string::npos) << result.output;
  // The sample went into stand-ins: the model's own point kept its value.
  EXPECT_NE(result.output.find(R"({"dataPoint":"p/int",)"), std::string::npos);
  EXPECT_NE(result.output.find(R"("type":"integer","value":7,)"), std::string::npos) << result.output;
}

TEST(Lint, StrictTurnsWarningsIntoStatusOneButLeavesErrorsAtTwo) {
  testing::TempDir dir;
  auto warned = dir.writeFile("warned.json", clientModel(R"("will": {"topic": "s", "retained": true, "payload": "off"})"));
  auto result = runToEnd({"validate", "--strict", warned.string()});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_NE(result.output.find(R"({"warning":"the will on \"s\" is retained)"), std::string::npos) << result.output;
  EXPECT_EQ(runToEnd({"validate", warned.string()}).exitCode, 0);

  // A key of the certificate's own type that does not match it is refused when the client is
  // prepared: a configuration error, not a warning.
  auto refused = dir.writeFile(
      "refused.json",
      withFiles(clientModel(R"("TLS": {"enabled": true,
       "clientCertificate": {"certificateFile": "CLIENT_PEM", "privateKeyFile": "SERVER_KEY"}})")));
  result = runToEnd({"validate", "--strict", refused.string()});
  EXPECT_EQ(result.exitCode, 2);
  EXPECT_EQ(result.output, "");
  EXPECT_NE(result.errors.find("key values mismatch"), std::string::npos) << result.errors;
}

struct SampleCase {
  const char* fault;
  const char* point;
  const char* path;
  bool asJsonText;
  const char* sample;
  const char* warning;  // part of the text, unescaped; nullptr: the entry takes what it selects
};

TEST(Lint, SampleEntriesAreCheckedAsTheCommandWouldWriteThem) {
  const SampleCase cases[] = {
      {"text that is no number for an integer", "p/int", "$.v", false, R"({"v": "abc"})",
       R"(JSON path "$.v" selects "abc" in the sample, which data point "p/int" (integer) cannot take: )"
       R"(Corvane.Conversion 1: the value is not a number)"},
      {"object for a double", "p/level", "$.v", false, R"({"v": {"a": 1}})",
       R"(selects {"a":1} in the sample, which data point "p/level" (double) cannot take: )"
       R"(Corvane.Conversion 3: the value cannot be converted to the data point's type)"},
      {"fraction for an integer", "p/int", "$['v']", false, R"({"v": 5.5})",
       R"(selects 5.5 in the sample, which data point "p/int" (integer) cannot take: Corvane.Conversion 2: )"},
      {"object as JSON text for an integer", "p/int", "$.v", true, R"({"v": {"a": 1}})",
       R"(which data point "p/int" (integer) cannot take as JSON text: Corvane.Conversion 1: the value is not a number)"},
      {"long value cut short", "p/int", "$.v", false, R"({"v": "0123456789012345678901234567890123456789012345678901234567890123456789"})",
       R"(selects "01234567890123456789012345678901234567890123456789012345... in the sample)"},
      {"member that is not there", "p/int", "$.w", false, R"({"v": 1})",
       R"(JSON path "$.w" selects nothing in the sample for data point "p/int": )"
       R"(failed to find a JSON object member called "w")"},
      {"integer for an integer", "p/int", "$.v", false, R"({"v": 42})", nullptr},
      {"object for text, as its JSON text", "p/text", "$.v", false, R"({"v": {"a": 1}})", nullptr},
      {"whole message as JSON text", "p/text", "$", true, R"([1, "two"])", nullptr},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string entry = std::string(R"({"@DataPoint": {"dataPoint": ")") + c.point + R"(", "jsonPath": ")" +
                              escaped(c.path) + "\"" + (c.asJsonText ? R"(, "asJSONText": true)" : "") + "}}";
    const std::string text = clientModel(R"("keepaliveInterval": 30)",
                                         R"({"class": "Command", "name": "c", "config": {"topic": "y", "payload": [
        )" + entry + "]}}");
    auto model = dir.writeFile("m.json", text);
    auto sample = dir.writeFile("sample.json", c.sample);
    Runner runner({"validate", model.string(), "--sample", sample.string()});
    ASSERT_EQ(runner.waitForExit(), 0) << runner.errors();
    auto warnings = warningsOf(runner.lines());
    if (c.warning == nullptr) {
      EXPECT_EQ(warnings.size(), 0u) << runner.output();
      continue;
    }
    ASSERT_EQ(warnings.size(), 1u) << runner.output();
    EXPECT_NE(warnings[0].find(escaped(c.warning)), std::string::npos) << warnings[0];
    EXPECT_NE(warnings[0].find(R"("element":"b/c")"), std::string::npos) << warnings[0];
    EXPECT_TRUE(warnings[0].ends_with(locationOf(text, R"("jsonPath")"))) << warnings[0];
  }
}

constexpr const char* kTwoCommands = R"({"class": "Command", "name": "c1", "config": {"topic": "y1", "payload": [
        {"@DataPoint": {"dataPoint": "p/int", "jsonPath": "$.v"}}]}},
       {"class": "Command", "name": "c2", "config": {"topic": "y2", "payload": [
        {"@DataPoint": {"dataPoint": "p/level", "jsonPath": "$.w"}}]}},
       {"class": "Topic", "name": "t", "config": {"topic": "x", "payload": "on"}})";

struct SampleErrorCase {
  const char* fault;
  const char* sample;  // nullptr: no such file
  std::vector<std::string> extra;
  const char* errors;  // standard error, after the sample file's path where it starts with ":"
};

TEST(Lint, SampleAndCommandOptions) {
  const SampleErrorCase cases[] = {
      {"sample that is not JSON", "{\"v\": ", {}, ":1:7: "},
      {"sample with a member twice", R"({"v": 1, "v": 2})", {}, R"(:1:10: duplicate member "v" in JSON object)"},
      {"sample file that is not there", nullptr, {}, "cannot open sample file \""},
      {"command option naming a topic", R"({"v": 1})", {"--command", "b/t"}, "no command element \"b/t\" in the model\n"},
      {"command option naming nothing", R"({"v": 1})", {"--command", "b/nope"},
       "no command element \"b/nope\" in the model\n"},
  };
  testing::TempDir dir;
  auto model = dir.writeFile("m.json", clientModel(R"("keepaliveInterval": 30)", kTwoCommands));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    auto sample = c.sample ? dir.writeFile("sample.json", c.sample) : dir / "missing.json";
    std::vector<std::string> args{"validate", "--strict", model.string(), "--sample", sample.string()};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    auto result = runToEnd(args);
    EXPECT_EQ(result.exitCode, 2);
    EXPECT_EQ(result.output, "");
    std::string expected = c.errors[0] == ':' ? sample.string() + c.errors : std::string(c.errors);
    EXPECT_EQ(result.errors.substr(0, expected.size()), expected) << result.errors;
  }
  // --command limits the sample to the commands it names.
  auto sample = dir.writeFile("sample.json", R"({"v": "abc"})");
  for (const auto& [command, warnings] : {std::pair{"", 2u}, std::pair{"b/c2", 1u}}) {
    std::vector<std::string> args{"validate", model.string(), "--sample", sample.string()};
    if (*command) args.insert(args.end(), {"--command", command});
    Runner runner(args);
    ASSERT_EQ(runner.waitForExit(), 0);
    EXPECT_EQ(warningsOf(runner.lines()).size(), warnings) << runner.output();
    if (*command) {
      EXPECT_NE(runner.output().find(R"(\"p/level\")"), std::string::npos) << runner.output();
    }
  }
}

}  // namespace
}  // namespace corvane::run
