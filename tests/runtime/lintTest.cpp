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

// Text as it stands inside a JSON string of the output.
std::string escaped(const std::string& text) { return replaced(replaced(text, "\\", "\\\\"), "\"", "\\\""); }

// The "line" and "column" members of a warning at the first occurrence of `at` in `text`.
std::string locationOf(std::string_view text, std::string_view at) {
  auto offset = text.find(at);
  if (offset == std::string_view::npos) throw std::logic_error("no \"" + std::string(at) + "\" in the model");
  const auto line = 1 + std::count(text.begin(), text.begin() + static_cast<long>(offset), '\n');
  // From the line feed before (npos, one before the text, on the first line), counted from 1.
  return "\"line\":" + std::to_string(line) + ",\"column\":" + std::to_string(offset - text.rfind('\n', offset)) + "}";
}

// One client "b" on 127.0.0.1:1883 with these configuration members, children and further
// top-level elements. p/int holds 7 so that a test can see it was not written.
std::string clientModel(std::string_view config, std::string_view children = "", std::string_view more = "") {
  std::string text = R"({"dataPoints": [{"name": "p/int", "type": "integer", "value": 7},
  {"name": "p/text", "type": "string"}, {"name": "p/level", "type": "double", "attributes": {"unit": "mm"}}],
 "elements": [{"skill": "MQTT", "class": "Client", "name": "b",
   "config": {"brokerAddress": "127.0.0.1:1883", "clientID": "lint-1",
     )" + std::string(config) + "},\n   \"children\": [" + std::string(children) + "]}";
  return text + (more.empty() ? "" : ",\n  " + std::string(more)) + "]}\n";
}

// Certificate and directory paths of a row; the files the certificate rows need beyond the shared
// set (what prepare accepts but lint does not) are made once.
std::string withFiles(std::string text) {
  static const testing::TempDir dir{"corvane-lint-files"};
  static const auto files = [] {
    const auto& certs = testing::Certificates::shared();
    // Ed25519: loads beside an EC certificate without complaint.
    auto key = testing::runProcess({"openssl", "genpkey", "-algorithm", "ED25519", "-out", dir / "ed25519.key"});
    if (key.exitCode != 0) throw std::runtime_error("openssl genpkey failed: " + key.output);
    // The shared key as its owner alone may read it, and as anyone may.
    for (const auto& [name, mode] : {std::pair{"own.key", 0600}, std::pair{"open.key", 0644}}) {
      std::filesystem::copy_file(certs.client().key, dir / name);
      std::filesystem::permissions(dir / name, static_cast<std::filesystem::perms>(mode));
    }
    std::filesystem::create_directory(dir / "empty");
    std::filesystem::create_directory(dir / "unhashed");  // the test CA, but not under its subject hash
    std::filesystem::copy_file(certs.ca().certificate, dir / "unhashed" / "ca.pem");
    return std::vector<std::pair<std::string, std::filesystem::path>>{
        {"CLIENT_PEM", certs.client().certificate}, {"CLIENT_KEY", dir / "own.key"}, {"OPEN_KEY", dir / "open.key"}, {"CA_PEM", certs.caFile()},
        {"SERVER_KEY", certs.server().key}, {"CA_DIRECTORY", certs.caDirectory()},
        {"OTHER_TYPE_KEY", dir / "ed25519.key"}, {"EXPIRED_PEM", certs.expiredServer().certificate},
        {"EMPTY_DIRECTORY", dir / "empty"}, {"UNHASHED_DIRECTORY", dir / "unhashed"}};
  }();
  for (const auto& [name, path] : files) text = replaced(text, name, path.string());
  return text;
}

// `at`: where the warning points, the first occurrence of this text; `warning`: part of its text,
// unescaped (nullptr: no warning at all); `config`: members of client "b"'s configuration (a later
// "brokerAddress" wins); `children` of "b"; `more` top-level elements; `modelMode`: the model file's.
struct WarningCase {
  const char *fault, *element, *at, *warning, *config, *children = "", *more = "";
  std::filesystem::perms modelMode = std::filesystem::perms::owner_read | std::filesystem::perms::owner_write;
};

constexpr auto kReadableByAll = static_cast<std::filesystem::perms>(0644);

TEST(Lint, EachFaultGivesOneWarningAtItsKey) {
  const char* keepalive = R"("keepaliveInterval": 30)";
  const WarningCase cases[] = {
      {"retained will that no retained birth replaces", "b", R"("retained": true, "payload": "off")",
       R"(the will on "s" is retained, but no retained birth message on that topic replaces it)",
       R"("birth": {"topic": "s", "payload": "on"}, "will": {"topic": "s", "retained": true, "payload": "off"})"},
      // Beside it what gives no warning: a matching client key, a hashed CA directory, a CA file.
      {"birth and will on different topics", "b", R"("topic": "s/will")",
       R"(the birth message and the will are on different topics ("s/birth", "s/will"))",
       R"("birth": {"topic": "s/birth", "payload": "on"}, "will": {"topic": "s/will", "payload": "off"}, "useTLS": true,
     "caCertificateDirectory": "CA_DIRECTORY", "caCertificateFile": "CA_PEM",
     "clientCertificate": {"certificateFile": "CLIENT_PEM", "privateKeyFile": "CLIENT_KEY"})"},
      {"client key of another type than its certificate", "b", R"("clientCertificate")",
       R"((EC) does not match its private key)",
       R"("TLS": {"enabled": true, "clientCertificate": {"certificateFile": "CLIENT_PEM", "privateKeyFile": "OTHER_TYPE_KEY"}})"},
      {"pinned server certificate that has expired", "b", R"("serverCertificate")",
       R"(pinned server certificate "CN=localhost" from "EXPIRED_PEM" expired on 2020-01-02T00:00:00Z: the TLS handshake fails)",
       R"("TLS": {"enabled": true, "serverCertificate": "EXPIRED_PEM"})"},
      {"CA directory without certificates", "b", R"("caCertificateDirectory")",
       "holds no certificate: no broker certificate can be verified",
       R"("useTLS": true, "caCertificateDirectory": "EMPTY_DIRECTORY")"},
      {"CA directory whose certificate OpenSSL cannot look up", "b", R"("caCertificateDirectory")",
       "none under the subject-hash names (HASH.0) that OpenSSL looks up",
       R"("useTLS": true, "caCertificateDirectory": "UNHASHED_DIRECTORY")"},
      // Beside it, also no warning: the identifier on another port, birth and will retained on one topic.
      {"client identifier twice on one broker", "b2", R"("clientID": "lint-1"})",
       R"(client identifier "lint-1" is also used by client "b" on the same broker (127.0.0.1:1883))",
       R"("birth": {"topic": "s", "retained": true, "payload": "on"}, "will": {"topic": "s", "retained": true, "payload": "off"})", "",
       R"({"skill": "MQTT", "class": "Client", "name": "b2", "config": {"brokerAddress": "127.0.0.1", "clientID": "lint-1"}},
  {"skill": "MQTT", "class": "Client", "name": "b3",
   "config": {"brokerAddress": "127.0.0.1:1884", "clientID": "lint-1"}})"},
      {"topic attribute that its data point lacks", "b/t", R"("colour")",
       R"(the topic names attribute "colour" in "extraAttributes", which data point "p/level" does not have)",
       keepalive,
       R"({"class": "Topic", "name": "t", "config": {"topic": "x", "extraAttributes": ["unit", "colour"],
        "payload": {"@Object": [{"key": "level", "value": {"@DataPoint": "p/level"}}]}}})"},
      // Loading leaves a topic's characters to libmosquitto, which refuses these on every call.
      {"topic name with a newline", "b/t", R"("topic": "a\nb")",
       "holds U+000A, a control character, which libmosquitto refuses: every publication fails with Mosquitto 18: "
       "Malformed UTF-8",
       keepalive, R"({"class": "Topic", "name": "t", "config": {"topic": "a\nb", "payload": "p"}})"},
      {"command topic with a non-character", "b/c", R"("topic": "c\uffff")",
       "holds U+FFFF, a non-character, which libmosquitto refuses: every subscription fails with Mosquitto 18: "
       "Malformed UTF-8",
       keepalive, R"({"class": "Command", "name": "c", "config": {"topic": "c\uffff", "payload": []}})"},
      // What exposes credentials or traffic, each beside what stays on the machine or is kept private.
      {"password without TLS to a remote broker", "b", R"("password")",
       "credentials go to broker.example.net:1883 without TLS: the user name and password cross the network in clear text",
       R"("brokerAddress": "broker.example.net", "username": "u", "password": "p")"},
      {"user name without TLS to a remote broker", "b", R"("userName")", "the user name crosses the network",
       R"("brokerAddress": "10.0.0.1:1883", "userName": "u")"},
      {"credentials to a loopback broker by name", "b", "", nullptr,
       R"("brokerAddress": "LocalHost", "username": "u", "password": "p")"},
      {"credentials to another loopback address", "b", "", nullptr,
       R"("brokerAddress": "127.1.2.3", "username": "u", "password": "p")"},
      {"credentials to IPv6 loopback", "b", "", nullptr, R"("brokerAddress": "[::1]:1883", "username": "u")"},
      {"credentials over TLS to a remote broker", "b", "", nullptr,
       R"("brokerAddress": "broker.example.net", "useTLS": true, "username": "u", "password": "p")"},
      {"TLS without verification to a remote broker", "b", R"("verifyCertificate")",
       "TLS to [2001:db8::1]:8883 does not verify the broker's certificate: anyone on the path can read and change "
       "the traffic, credentials included",
       R"("brokerAddress": "2001:db8::1", "useTLS": true, "verifyCertificate": false)"},
      {"TLS without verification to loopback", "b", "", nullptr,
       R"("brokerAddress": "localhost", "useTLS": true, "verifyCertificate": false)"},
      {"client key that anyone may read", "b", R"("privateKeyFile": "OPEN_KEY")",
       R"(client private key file "OPEN_KEY" may be read by group and others (mode 0644): run "chmod 600 OPEN_KEY")",
       R"("TLS": {"enabled": true, "clientCertificate": {"certificateFile": "CLIENT_PEM", "privateKeyFile": "OPEN_KEY"}})"},
      {"model file with a password that anyone may read", "b", R"("password")",
       R"(model file "MODEL" holds a password and may be read by group and others (mode 0644): run "chmod 600 MODEL")",
       R"("username": "u", "password": "p")", "", "", kReadableByAll},
      {"model file without a password that anyone may read", "b", "", nullptr, R"("username": "u")", "", "",
       kReadableByAll},
  };
  testing::TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string text = withFiles(clientModel(c.config, c.children, c.more));
    auto model = dir.writeFile("m.json", text);
    std::filesystem::permissions(model, c.modelMode);
    Runner runner({"validate", model.string()});
    ASSERT_EQ(runner.waitForExit(), 0) << runner.errors();
    auto warnings = runner.linesHolding({R"({"warning":)"});
    ASSERT_EQ(warnings.size(), c.warning ? 1u : 0u) << runner.output();
    if (!c.warning) continue;
    const std::string& warning = warnings.front();
    EXPECT_NE(warning.find(escaped(replaced(withFiles(c.warning), "MODEL", model.string()))), std::string::npos)
        << warning;
    EXPECT_NE(warning.find(R"("element":")" + std::string(c.element) + R"(","file":")" + model.string() + "\","),
              std::string::npos)
        << warning;
    const auto at = locationOf(text, withFiles(c.at));
    EXPECT_TRUE(warning.ends_with(at)) << warning << "\nexpected " << at;
    EXPECT_EQ(runner.lines().back(), warning) << "not after what the model resolved to";
  }
}

// One command per entry a sample row tries; --command picks the row's.
std::string sampleCommands() {
  const char* entries[][4] = {{"int", "p/int", "$.v", ""},
                              {"level", "p/level", "$.v", ""},
                              {"intText", "p/int", "$.v", ", \"asJSONText\": true"},
                              {"text", "p/text", "$.v", ""},
                              {"missing", "p/int", "$.w", ""}};
  std::string text = R"({"class": "Topic", "name": "t", "config": {"topic": "x", "payload": "on"}})";
  for (const auto& [name, point, path, more] : entries) {
    text += std::string(R"(, {"class": "Command", "name": ")") + name + R"(", "config": {"topic": ")" + name +
            R"(", "payload": [{"@DataPoint": {"dataPoint": ")" + point + R"(", "jsonPath": ")" + path + "\"" + more +
            "}}]}}";
  }
  return text;
}

// `arguments` after "validate" (MODEL, SAMPLE and WARNED stand for files); `sample` nullptr: no such
// file; `said`: part of standard output, or of standard error where it starts with "!".
struct StatusCase {
  const char* fault;
  std::vector<std::string> arguments;
  const char* sample;
  int exitCode;
  std::size_t warnings;
  std::string said;
};

// --strict turns warnings into status 1 but leaves errors at 2; the sample's values are checked as
// each command would write them, --command limits that to the commands it names.
TEST(Lint, StrictSampleAndCommandOptions) {
  testing::TempDir dir;
  const auto model = dir.writeFile("m.json", clientModel(R"("keepaliveInterval": 30)", sampleCommands()));
  const auto warned =
      dir.writeFile("warned.json", clientModel(R"("will": {"topic": "s", "retained": true, "payload": "off"})"));
  // A key of the certificate's own type that does not match it is refused when the client is
  // prepared: a configuration error, not a warning.
  const auto refused = dir.writeFile("refused.json", withFiles(clientModel(R"("TLS": {"enabled": true,
       "clientCertificate": {"certificateFile": "CLIENT_PEM", "privateKeyFile": "SERVER_KEY"}})")));
  auto only = [&](const char* command) {
    return std::vector<std::string>{"MODEL", "--sample", "SAMPLE", "--command", command};
  };
  const StatusCase cases[] = {
      {"warning, strict", {"--strict", "WARNED"}, "", 1, 1, R"({"warning":"the will on \"s\" is retained)"},
      {"mismatched key, strict", {"--strict", refused}, "", 2, 0, "!key values mismatch"},
      {"sample that is not JSON", {"--strict", "MODEL", "--sample", "SAMPLE"}, "{\"v\": ", 2, 0, "!SAMPLE:1:7: "},
      {"sample file that is not there", {"MODEL", "--sample", "SAMPLE"}, nullptr, 2, 0, "!cannot open sample file \""},
      {"command option naming a topic", only("b/t"), "{}", 2, 0, "!no command element \"b/t\" in the model\n"},
      {"every command takes the sample", {"MODEL", "--sample", "SAMPLE"}, R"({"v": "abc"})", 0, 4, R"(\"p/level\")"},
      {"text that is no number for an integer", only("b/int"), R"({"v": "abc"})", 0, 1,
       R"(JSON path \"$.v\" selects \"abc\" in the sample, which data point \"p/int\" (integer) cannot take: )"
       R"(Corvane.Conversion 1: the value is not a number)"},
      {"long value cut short", only("b/int"),
       R"({"v": "0123456789012345678901234567890123456789012345678901234567890123456789"})", 0, 1,
       R"(selects \"01234567890123456789012345678901234567890123456789012345... in the sample)"},
      {"member that is not there", only("b/missing"), R"({"v": 1})", 0, 1,
       R"(JSON path \"$.w\" selects nothing in the sample for data point \"p/int\": failed to find a JSON object member called \"w\")"},
      {"object for text, as its JSON text", only("b/text"), R"({"v": {"a": 1}})", 0, 0, ""},
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
    EXPECT_EQ(runner.linesHolding({R"({"warning":)"}).size(), c.warnings) << runner.output();
  }
}

}  // namespace
}  // namespace corvane::run
