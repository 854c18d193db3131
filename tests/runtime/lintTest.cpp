// corvane-run validate's warnings, end to end: the built binary on model files. Nothing connects,
// so no broker is needed.
#include <gtest/gtest.h>

#include <memory>

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

// Certificate and directory paths of a row; the files the certificate rows need beyond the shared
// set (what prepare accepts but lint does not) are made once.
std::string withFiles(std::string text) {
  static const testing::TempDir dir{"corvane-lint-files"};
  static const auto files = [] {
    const auto& shared = testing::Certificates::shared();
    const auto config = dir.writeFile("openssl.cnf", "[req]\ndistinguished_name = dn\nprompt = no\n[dn]\n"
                                                     "[ca]\ndefault_ca = c\n[c]\ndatabase = " + (dir / "index.txt").string() +
                                                         "\ndefault_md = sha256\ndefault_crl_days = 30\n");
    dir.writeFile("index.txt", "");
    const std::vector<std::string> commands[] = {
        // Ed25519: loads beside an EC certificate without complaint.
        {"genpkey", "-algorithm", "ED25519", "-out", dir / "ed25519.key"},
        {"req", "-x509", "-config", config, "-subj", "/CN=Corvane Short Client", "-days", "10", "-newkey", "ec",
         "-pkeyopt", "ec_paramgen_curve:P-256", "-noenc", "-keyout", dir / "short.key", "-out", dir / "short.pem"},
        // A CA file OpenSSL loads, with no certificate in it.
        {"ca", "-gencrl", "-config", config, "-keyfile", shared.ca().key, "-cert", shared.ca().certificate, "-out",
         dir / "crl.pem"}};
    for (auto command : commands) {
      command.insert(command.begin(), "openssl");
      if (testing::runProcess(command).exitCode != 0) throw std::runtime_error("openssl " + command[1] + " failed");
    }
    std::filesystem::create_directory(dir / "empty");
    std::filesystem::create_directory(dir / "unhashed");  // the test CA, but not under its subject hash
    std::filesystem::copy_file(shared.ca().certificate, dir / "unhashed" / "ca.pem");
    return std::vector<std::pair<std::string, std::filesystem::path>>{
        {"CLIENT_PEM", shared.client().certificate}, {"CLIENT_KEY", shared.client().key},
        {"SERVER_KEY", shared.server().key}, {"OTHER_TYPE_KEY", dir / "ed25519.key"},
        {"SHORT_PEM", dir / "short.pem"}, {"SHORT_KEY", dir / "short.key"},
        {"EXPIRED_PEM", shared.expiredServer().certificate}, {"PINNED_PEM", shared.selfSignedServer().certificate},
        {"CA_PEM", shared.caFile()}, {"CA_DIRECTORY", shared.caDirectory()}, {"CRL_ONLY", dir / "crl.pem"},
        {"EMPTY_DIRECTORY", dir / "empty"}, {"UNHASHED_DIRECTORY", dir / "unhashed"}};
  }();
  for (const auto& [name, path] : files) text = replaced(text, name, path.string());
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

// One command per entry a sample row tries; --command picks the row's.
std::string sampleCommands() {
  const char* entries[][4] = {{"int", "p/int", "$.v", ""},       {"level", "p/level", "$.v", ""},
                              {"index", "p/int", "$['v']", ""},  {"intText", "p/int", "$.v", ", \"asJSONText\": true"},
                              {"text", "p/text", "$.v", ""},     {"whole", "p/text", "$", ", \"asJSONText\": true"},
                              {"missing", "p/int", "$.w", ""}};
  std::string text = R"({"class": "Topic", "name": "t", "config": {"topic": "x", "payload": "on"}})";
  for (const auto& [name, point, path, more] : entries) {
    text += std::string(R"(, {"class": "Command", "name": ")") + name + R"(", "config": {"topic": ")" + name +
            R"(", "payload": [{"@DataPoint": {"dataPoint": ")" + point + R"(", "jsonPath": ")" + path + "\"" + more + "}}]}}";
  }
  return text;
}

struct StatusCase {
  const char* fault;
  std::vector<std::string> arguments;  // after "validate"; MODEL, SAMPLE and WARNED stand for files
  const char* sample;                  // nullptr: no such file
  int exitCode;
  std::size_t warnings;
  std::string said;  // part of standard output, or of standard error where it starts with "!"
};

// --strict turns warnings into status 1 but leaves errors at 2; the sample's values are checked as
// each command would write them, --command limits that to the commands it names.
TEST(Lint, StrictSampleAndCommandOptions) {
  testing::TempDir dir;
  const auto model = dir.writeFile("m.json", clientModel(R"("keepaliveInterval": 30)", sampleCommands()));
  const auto warned = dir.writeFile("warned.json", clientModel(R"("will": {"topic": "s", "retained": true, "payload": "off"})"));
  // A key of the certificate's own type that does not match it is refused when the client is
  // prepared: a configuration error, not a warning.
  const auto refused = dir.writeFile("refused.json", withFiles(clientModel(R"("TLS": {"enabled": true,
       "clientCertificate": {"certificateFile": "CLIENT_PEM", "privateKeyFile": "SERVER_KEY"}})")));
  const StatusCase cases[] = {
      {"warning, strict", {"--strict", "WARNED"}, "", 1, 1, R"({"warning":"the will on \"s\" is retained)"},
      {"warning", {"WARNED"}, "", 0, 1, R"({"warning":"the will on \"s\" is retained)"},
      {"mismatched key, strict", {"--strict", refused}, "", 2, 0, "!key values mismatch"},
      {"sample that is not JSON", {"--strict", "MODEL", "--sample", "SAMPLE"}, "{\"v\": ", 2, 0, "!SAMPLE:1:7: "},
      {"sample with a member twice", {"MODEL", "--sample", "SAMPLE"}, R"({"v": 1, "v": 2})", 2, 0,
       R"(!SAMPLE:1:10: duplicate member "v" in JSON object)"},
      {"sample file that is not there", {"MODEL", "--sample", "SAMPLE"}, nullptr, 2, 0, "!cannot open sample file \""},
      {"command option naming a topic", {"MODEL", "--sample", "SAMPLE", "--command", "b/t"}, "{}", 2, 0,
       "!no command element \"b/t\" in the model\n"},
      {"every command takes the sample", {"MODEL", "--sample", "SAMPLE"}, R"({"v": "abc"})", 0, 5, R"(\"p/level\")"},
      {"text that is no number for an integer", {"MODEL", "--sample", "SAMPLE", "--command", "b/int"},
       R"({"v": "abc"})", 0, 1,
       R"(JSON path \"$.v\" selects \"abc\" in the sample, which data point \"p/int\" (integer) cannot take: )"
       R"(Corvane.Conversion 1: the value is not a number)"},
      {"object for a double", {"MODEL", "--sample", "SAMPLE", "--command", "b/level"}, R"({"v": {"a": 1}})", 0, 1,
       R"(selects {\"a\":1} in the sample, which data point \"p/level\" (double) cannot take: )"
       R"(Corvane.Conversion 3: the value cannot be converted to the data point's type)"},
      {"fraction for an integer", {"MODEL", "--sample", "SAMPLE", "--command", "b/index"}, R"({"v": 5.5})", 0, 1,
       R"(selects 5.5 in the sample, which data point \"p/int\" (integer) cannot take: Corvane.Conversion 2: )"},
      {"object as JSON text for an integer", {"MODEL", "--sample", "SAMPLE", "--command", "b/intText"},
       R"({"v": {"a": 1}})", 0, 1,
       R"(which data point \"p/int\" (integer) cannot take as JSON text: Corvane.Conversion 1: the value is not a number)"},
      {"long value cut short", {"MODEL", "--sample", "SAMPLE", "--command", "b/int"},
       R"({"v": "0123456789012345678901234567890123456789012345678901234567890123456789"})", 0, 1,
       R"(selects \"01234567890123456789012345678901234567890123456789012345... in the sample)"},
      {"member that is not there", {"MODEL", "--sample", "SAMPLE", "--command", "b/missing"}, R"({"v": 1})", 0, 1,
       R"(JSON path \"$.w\" selects nothing in the sample for data point \"p/int\": )"
       R"(failed to find a JSON object member called \"w\")"},
      {"integer for an integer", {"MODEL", "--sample", "SAMPLE", "--command", "b/int"}, R"({"v": 42})", 0, 0, ""},
      {"object for text, as its JSON text", {"MODEL", "--sample", "SAMPLE", "--command", "b/text"}, R"({"v": {"a": 1}})",
       0, 0, ""},
      {"whole message as JSON text", {"MODEL", "--sample", "SAMPLE", "--command", "b/whole"}, R"([1, "two"])", 0, 0, ""},
  };
  for (auto c : cases) {
    SCOPED_TRACE(c.fault);
    const auto sample = c.sample ? dir.writeFile("sample.json", c.sample) : dir / "missing.json";
    auto files = [&](std::string text) {
      return replaced(replaced(replaced(text, "MODEL", model.string()), "SAMPLE", sample.string()), "WARNED",
                      warned.string());
    };
    for (auto& argument : c.arguments) argument = files(argument);
    c.arguments.insert(c.arguments.begin(), "validate");
    Runner runner(c.arguments);
    EXPECT_EQ(runner.waitForExit(), c.exitCode) << runner.errors();
    const bool onError = c.said.starts_with('!');
    const std::string& shown = onError ? runner.errors() : runner.output();
    EXPECT_NE(shown.find(files(c.said.substr(onError))), std::string::npos) << shown;
    EXPECT_EQ(warningsOf(runner.lines()).size(), c.warnings) << runner.output();
  }
}

}  // namespace
}  // namespace corvane::run
