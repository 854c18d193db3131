// TLS connections against a real mosquitto TLS listener: every way of trusting the broker, client
// certificates, pinning, and the precise reason a verification failed.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>

#include "broker.hpp"
#include "certificates.hpp"
#include "clientModel.hpp"
#include "errors/mosquittoErrors.hpp"
#include "relay.hpp"
#include "ssl/errors.hpp"
#include "tempDir.hpp"

namespace corvane::plugins::mqttClient {
namespace {

using namespace corvane::testing;

std::string quoted(const std::filesystem::path& path) { return std::string("\"").append(path.string()).append("\""); }

// The default trust store, pointed at the test CA for one client's prepare.
class CertificateFileVariable {
 public:
  explicit CertificateFileVariable(const std::filesystem::path& file) { ::setenv("SSL_CERT_FILE", file.c_str(), 1); }
  ~CertificateFileVariable() { ::unsetenv("SSL_CERT_FILE"); }
};

TEST(ClientTls, ConnectsOrRecordsWhyVerificationFailed) {
  const auto& certs = Certificates::shared();
  const std::string caFile = R"("useTLS": true, "caCertificateFile": )" + quoted(certs.caFile());
  const std::string store = R"("TLS": {"enabled": true})";
  const std::string pinned = R"("TLS": {"enabled": true, "serverCertificate": )" + quoted(certs.twoCertificatesFile()) + "}";
  const std::string clientCertificate = R"(, "clientCertificate": {"certificateFile": )" +
                                        quoted(certs.client().certificate) + R"(, "privateKeyFile": )" +
                                        quoted(certs.client().key) + "}";
  auto verification = [](int code) { return ssl::makeCertificateVerificationError(code); };
  struct Case {
    const CertificateFiles& brokerCertificate;
    bool brokerRequiresClientCertificate;
    std::string members;  // the client's TLS settings
    std::error_code error;  // none: the client connects
    const char* host = "127.0.0.1";
    bool testCaIsDefaultStore = false;
    bool slowHandshake = false;  // through a relay whose TCP handshake takes a second, as across a network
  };
  const Case cases[] = {
      {certs.server(), false, caFile, {}, "127.0.0.1", false, true},
      {certs.server(), false, caFile, {}, "localhost"},
      {certs.server(), false, R"("useTLS": true, "caCertificateDirectory": )" + quoted(certs.caDirectory()), {}},
      {certs.server(), false, store, {}, "127.0.0.1", true},
      {certs.server(), true, caFile + clientCertificate, {}, "127.0.0.1", false, true},
      {certs.selfSignedServer(), false, pinned, {}, "127.0.0.1", false, true},
      {certs.wrongHostServer(), false, R"("useTLS": true, "verifyCertificate": false)", {}},
      // Pinning takes the first certificate of the file only.
      {certs.otherSelfSignedServer(), false, pinned, make_error_code(CustomError::ServerCertificateMismatch)},
      // The broker sends the test CA along with its certificate: an untrusted self-signed root.
      {certs.server(), false, R"("useTLS": true, "caCertificateFile": )" + quoted(certs.wrongCaFile()),
       verification(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN)},
      {certs.server(), false, store, verification(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN)},
      {certs.wrongHostServer(), false, caFile, verification(X509_V_ERR_IP_ADDRESS_MISMATCH)},
      {certs.wrongHostServer(), false, caFile, verification(X509_V_ERR_HOSTNAME_MISMATCH), "localhost"},
      {certs.expiredServer(), false, caFile, verification(X509_V_ERR_CERT_HAS_EXPIRED)},
      {certs.server(), true, caFile, ssl::makeError(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.members + " at " + c.host + (c.slowHandshake ? " through a slow network" : ""));
    Broker broker({.plainListener = false,
                   .tlsListener = TlsListenerOptions{.caFile = certs.caFile(),
                                                     .server = c.brokerCertificate,
                                                     .requireCertificate = c.brokerRequiresClientCertificate}});
    broker.start();
    std::optional<Relay> relay;
    if (c.slowHandshake) relay.emplace(broker.tlsPort(), Relay::Options{.holdQueue = std::chrono::milliseconds(300)});
    ClientModel m(clientConfig(relay ? relay->port() : broker.tlsPort(), "tls", c.members, c.host));
    {
      std::optional<CertificateFileVariable> defaultStore;
      if (c.testCaIsDefaultStore) defaultStore.emplace(certs.caFile());
      m.prepare();
    }
    m.client().activate();
    if (!c.error) {
      EXPECT_TRUE(eventually([&] { return m.client().data().deviceState; })) << describe(m.client().data().error);
    } else {
      EXPECT_TRUE(eventually([&] { return m.client().data().error == c.error; })) << describe(m.client().data().error);
    }
  }
}

TEST(ClientTls, SetUpFailuresNameTheClientTheFileAndTheOpenSslReason) {
  const auto& certs = Certificates::shared();
  TempDir directory;
  const auto noPem = directory.writeFile("no-pem.pem", "no certificate in here\n").string();
  const auto missing = (directory / "missing.pem").string();
  const auto noSuchFile = std::error_code(ENOENT, std::system_category());
  auto clientCertificate = [](const std::string& certificate, const std::string& key) {
    return R"("useTLS": true, "clientCertificate": {"certificateFile": ")" + certificate + R"(", "privateKeyFile": ")" +
           key + "\"}";
  };
  // The client's members, what() of the std::system_error (the code's message appended), the code.
  const std::tuple<std::string, std::string, std::error_code> cases[] = {
      // The old form checks nothing but emptiness; libmosquitto rejects a will topic with wildcards.
      {R"("lastWill": {"topic": "a/+", "payload": "x"})", "Error setting will message for MQTT broker \"127.0.0.1:1\"",
       makeMosquittoError(MOSQ_ERR_INVAL)},
      {R"("TLS": {"enabled": true, "serverCertificate": ")" + noPem + "\"}",
       "could not load server certificate for MQTT client \"broker\" from \"" + noPem + "\"",
       ssl::makeError(ERR_PACK(ERR_LIB_X509, 0, X509_R_NO_CERTIFICATE_FOUND))},
      {R"("useTLS": true, "caCertificateFile": ")" + missing + "\"",
       "could not set CA certificate file of OpenSSL context for MQTT client \"broker\" to \"" + missing + "\"",
       noSuchFile},
      {clientCertificate(missing, certs.client().key),
       "could not load client certificate for MQTT client \"broker\" from file \"" + missing + "\"", noSuchFile},
      // OpenSSL 3 queues the decoder's complaint first.
      {clientCertificate(certs.client().certificate, noPem),
       "could not load private key for MQTT client \"broker\" from file \"" + noPem + "\"",
       ssl::makeError(ERR_PACK(ERR_LIB_OSSL_DECODER, 0, ERR_R_UNSUPPORTED))},
  };
  for (const auto& [members, message, error] : cases) {
    ClientModel m(clientConfig(1, "setup", members));
    m.client().realize();
    try {
      m.client().prepare();
      ADD_FAILURE() << "prepared " << members;
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code(), error) << describe(e.code());
      EXPECT_EQ(e.what(), message + ": " + error.message());
    }
    EXPECT_EQ(ERR_peek_error(), 0u) << "OpenSSL errors left in the queue";
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient
