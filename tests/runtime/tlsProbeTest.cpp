// corvane-run tls-probe end to end: the built runner against a real mosquitto TLS listener with the
// test certificates, each client setting the way the client itself would meet it.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>

#include <corvane/data.hpp>

#include "broker.hpp"
#include "certificates.hpp"
#include "childProcess.hpp"
#include "errors/customError.hpp"
#include "files.hpp"
#include "loopbackPort.hpp"
#include "runnerProcess.hpp"
#include "ssl/errors.hpp"
#include "hangingLookups.hpp"
#include "tempDir.hpp"

namespace corvane::run {
namespace {

namespace mqtt = plugins::mqttClient;
using namespace corvane::testing;

std::string quoted(const std::filesystem::path& path) { return "\"" + path.string() + "\""; }

// One client element, on a line of its own: its declaration is at line 2, column 3 of the model.
std::string clientElement(const std::string& name, const std::string& address, const std::string& members,
                          const std::string& children = "") {
  return R"({"skill": "MQTT", "class": "Client", "name": ")" + name + R"(", "config": {"brokerAddress": ")" +
         address + R"(", "clientID": "probe")" + (members.empty() ? "" : ", " + members) + "}" +
         (children.empty() ? "" : R"(, "children": [)" + children + "]") + "}";
}

std::string modelText(const std::vector<std::string>& elements) {
  std::string text = "{\"elements\": [\n";
  for (std::size_t i = 0; i < elements.size(); ++i)
    text += "  " + elements[i] + (i + 1 < elements.size() ? ",\n" : "\n");
  return text + "]}\n";
}

// A member of the JSON report as the runner writes it.
std::string raw(const char* name, const std::string& json) { return "\"" + std::string(name) + "\":" + json; }
std::string text(const char* name, const std::string& value) { return raw(name, "\"" + value + "\""); }
std::string flag(const char* name, bool value) { return raw(name, value ? "true" : "false"); }

std::error_code verification(int result) { return mqtt::ssl::makeCertificateVerificationError(result); }


// `members`: the client's TLS settings; `error` nothing: the client would connect; `facts`: members
// the JSON report must hold.
struct ProbeCase {
  const char* fault;
  const CertificateFiles& brokerCertificate;
  std::string members;
  std::optional<std::error_code> error;
  std::vector<std::string> facts;
  bool requireClientCertificate = false;
};

TEST(TlsProbe, TellsWhetherAndWhyTheClientWouldGetThroughTls) {
  const auto& certs = Certificates::shared();
  const std::string caFile = R"("useTLS": true, "caCertificateFile": )" + quoted(certs.caFile());
  const std::string pinnedPair =
      R"("TLS": {"enabled": true, "serverCertificate": )" + quoted(certs.twoCertificatesFile()) + "}";
  const ProbeCase cases[] = {
      {"trusted CA", certs.server(), caFile, std::nullopt,
       {flag("chainVerifies", true), flag("hostMatches", true), raw("pinnedMatches", "null")}},
      {"expired certificate", certs.expiredServer(), caFile, verification(X509_V_ERR_CERT_HAS_EXPIRED),
       {flag("chainVerifies", false), text("chainError", "OpenSSL.certificateVerification 10: certificate has expired"),
        text("notAfter", "2020-01-02T00:00:00Z") + "," + raw("daysLeft", "-"), flag("hostMatches", true)}},
      {"pinned certificate presented", certs.selfSignedServer(), pinnedPair, std::nullopt,
       {text("trust", "pinnedCertificate"), flag("chainVerifies", true), raw("hostMatches", "null"),
        flag("pinnedMatches", true)}},
      {"second certificate of the pinned file presented", certs.otherSelfSignedServer(), pinnedPair,
       make_error_code(mqtt::CustomError::ServerCertificateMismatch),
       {flag("chainVerifies", true), flag("pinnedMatches", false)}},
      // TLS 1.3: the broker rejects the client only after the client has finished its handshake.
      {"client certificate required, none given", certs.server(), caFile,
       mqtt::ssl::makeError(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED)),
       {flag("handshake", true), flag("chainVerifies", true)}, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Broker broker({.plainListener = false, .tlsListener = TlsListenerOptions{
        .caFile = certs.caFile(), .server = c.brokerCertificate, .requireCertificate = c.requireClientCertificate}});
    broker.start();
    TempDir dir;
    const auto address = "127.0.0.1:" + std::to_string(broker.tlsPort());
    const auto model = dir.writeFile("m.json", modelText({clientElement("tls", address, c.members)}));
    auto result = runToEnd({"tls-probe", "--json", model.string(), "tls"});
    EXPECT_EQ(result.exitCode, c.error ? 1 : 0) << result.output << result.errors;
    EXPECT_EQ(result.errors, "");
    auto wanted = c.facts;
    const auto error = data::describeError(c.error.value_or(std::error_code()));
    wanted.push_back(flag("connects", !c.error) + "," + text("error", error));
    for (const auto& fact : wanted) EXPECT_NE(result.output.find(fact), std::string::npos) << fact << result.output;
    if (&c != cases) continue;
    // The same facts as text for a person.
    const auto report = runToEnd({"tls-probe", model.string(), "tls"}).output;
    EXPECT_TRUE(report.ends_with("\nResult        the client would connect\n")) << report;
  }
}

// `brokerSendsCa`: the listener has the CA file, and OpenSSL sends the CA along; `trusted`: the
// probing client's CA file; `written`: the files whose certificates the PEM file holds, in order;
// `textRows`: the report's rows from "PEM file" on, after the file's name; `pinnedError`: pinned,
// the client fails with this (nothing: it connects).
struct PemCase {
  const char* fault;
  const CertificateFiles& brokerCertificate;
  bool brokerSendsCa;
  std::filesystem::path trusted;
  std::vector<std::filesystem::path> written;
  std::string textRows;
  std::optional<std::error_code> pinnedError{};
};

TEST(TlsProbe, PemFileIsReadyToBePinnedOrSaysWhyNot) {
  const auto& certs = Certificates::shared();
  const std::string notReady = ", NOT ready to be pinned:\n";
  const std::string noRoot =
      "              it does not end in a self-signed root: the broker did not send one, and the client's\n"
      "              trust anchors do not complete the chain (append the root CA's certificate to the file)\n";
  const std::string pinnedFails = "              a client pinning it fails with ";
  const PemCase cases[] = {
      {"self-signed broker, not trusted yet: its certificate alone", certs.selfSignedServer(), true,
       certs.wrongCaFile(), {certs.selfSignedServer().certificate},
       ": the broker's own certificate, ready to be pinned\n"},
      {"broker that sends its own certificate alone, not trusted: nothing completes the chain", certs.server(), false,
       certs.wrongCaFile(), {certs.server().certificate},
       ": the broker's own certificate" + notReady + noRoot + pinnedFails +
           "OpenSSL.certificateVerification 20: unable to get local issuer certificate\n",
       verification(X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY)},
      {"complete chain of an expired certificate: pinning does not help", certs.expiredServer(), true, certs.caFile(),
       {certs.expiredServer().certificate, certs.caFile()},
       ": the broker's own certificate and its issuers" + notReady + pinnedFails +
           "OpenSSL.certificateVerification 10: certificate has expired\n",
       verification(X509_V_ERR_CERT_HAS_EXPIRED)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    Broker broker(
        {.plainListener = false,
         .tlsListener = TlsListenerOptions{.caFile = c.brokerSendsCa ? certs.caFile() : std::filesystem::path(),
                                           .server = c.brokerCertificate}});
    broker.start();
    TempDir dir;
    const auto address = "127.0.0.1:" + std::to_string(broker.tlsPort());
    const auto model = dir.writeFile(
        "m.json",
        modelText({clientElement("tls", address, R"("useTLS": true, "caCertificateFile": )" + quoted(c.trusted))}));
    const auto pem = dir / "broker.pem";
    auto first = runToEnd({"tls-probe", "--json", "--pem", pem.string(), model.string()});
    EXPECT_EQ(first.errors, "");
    const std::string ready = c.pinnedError ? "false" : "true";
    EXPECT_NE(first.output.find(text("pemFile", pem.string()) + "," +
                                raw("pemCertificates", std::to_string(c.written.size())) + "," +
                                raw("pemReady", ready) + "," + raw("pemReason", c.pinnedError ? "\"" : "null")),
              std::string::npos)
        << first.output;
    std::string expected;
    for (const auto& file : c.written) expected += readFile(file);
    EXPECT_EQ(readFile(pem), expected);

    auto report = runToEnd({"tls-probe", "--pem", pem.string(), model.string()});
    const auto rows = report.output.find("PEM file");
    ASSERT_NE(rows, std::string::npos) << report.output;
    EXPECT_EQ(report.output.substr(rows, report.output.find("Result", rows) - rows),
              "PEM file      " + pem.string() + c.textRows);

    // What the report promised: the client pinning the file connects, or fails as it said.
    const auto pinning = R"("TLS": {"enabled": true, "serverCertificate": )" + quoted(pem) + "}";
    const auto pinned = dir.writeFile("pinned.json", modelText({clientElement("tls", address, pinning)}));
    auto second = runToEnd({"tls-probe", "--json", pinned.string()});
    EXPECT_EQ(second.exitCode, c.pinnedError ? 1 : 0) << second.output << second.errors;
    EXPECT_NE(second.output.find(text("error", data::describeError(c.pinnedError.value_or(std::error_code())))),
              std::string::npos)
        << second.output;
  }
}

// `arguments` after the model; `said`: status 1, the start of the "error" member's text; 2, standard
// error after the directory.
struct UnreachableCase {
  const char* fault;
  std::vector<std::string> elements, arguments;
  int exitCode;
  std::string said;
};

// A broker out of reach is reported with its code in bounded time; a model the probe cannot use
// exits with 2 and says why.
TEST(TlsProbe, BrokerOutOfReachOrModelErrorSaysWhy) {
  HangingLookups hanging;
  Broker plain;
  plain.start();
  auto tls = [](const std::string& address) { return std::vector{clientElement("tls", address, R"("useTLS": true)")}; };
  const std::string useTls = R"("useTLS": true)";
  const auto topic = R"({"class": "Topic", "name": "t", "config": {"topic": "a/b", "payload": "x"}})";
  const auto a = clientElement("a", "127.0.0.1:1", useTls);
  const UnreachableCase cases[] = {
      {"nothing listening", tls("127.0.0.1:" + std::to_string(freeLoopbackPort())), {}, 1,
       "system 111: Connection refused\""},
      {"name lookup that never ends", tls(std::string(HangingLookups::kName) + ":8883"), {"--timeout", "0.5"}, 1,
       "system 110: Connection timed out\""},
      // The broker takes the ClientHello for a malformed MQTT packet and drops the connection.
      {"plain listener", tls("127.0.0.1:" + std::to_string(plain.port())), {}, 1,
       data::describeError(mqtt::ssl::makeError(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_UNEXPECTED_EOF_WHILE_READING))) + "\""},
      {"no client named and two in the model", {a, clientElement("b", "127.0.0.1:1", useTls)}, {}, 2,
       "m.json: the model has 2 MQTT clients (a, b): name the one to probe\n"},
      {"no element of that path", {a}, {"b"}, 2, "m.json: no element \"b\" (MQTT clients: a)\n"},
      {"client without TLS", {clientElement("plain", "127.0.0.1:1", "")}, {}, 2,
       "m.json:2:3: MQTT client \"plain\" does not use TLS\n"},
      {"element that is no client", {clientElement("a", "127.0.0.1:1", useTls, topic)}, {"a/t"}, 2,
       "m.json:2:147: element \"a/t\" is not an MQTT client (class MQTT Topic)\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    TempDir dir;
    std::vector<std::string> arguments{"tls-probe", "--json", dir.writeFile("m.json", modelText(c.elements)).string()};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    const auto started = Clock::now();
    auto result = runToEnd(arguments);
    EXPECT_LT(Clock::now() - started, 5s);
    EXPECT_EQ(result.exitCode, c.exitCode) << result.output << result.errors;
    if (c.exitCode == 2) {
      EXPECT_EQ(result.output, "");
      EXPECT_EQ(result.errors.substr(0, dir.path().string().size() + 1 + c.said.size()),
                dir.path().string() + "/" + c.said);
    } else {
      EXPECT_NE(result.output.find(R"("certificates":[],)"), std::string::npos) << result.output;
      EXPECT_NE(result.output.find(R"("connects":false,"error":")" + c.said), std::string::npos) << result.output;
    }
  }
}

}  // namespace
}  // namespace corvane::run
