// TLS connections against a real mosquitto TLS listener: every way of trusting the broker, client
// certificates, pinning, and the precise reason a verification failed.
#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <system_error>

#include "broker.hpp"
#include "certificates.hpp"
#include "clientModel.hpp"
#include "errors/mosquittoErrors.hpp"
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

struct TlsCase {
  const char* name;
  const CertificateFiles& brokerCertificate;
  bool brokerRequiresClientCertificate;
  std::string members;  // the client's TLS settings
  bool defaultStoreIsTestCa;
  std::optional<std::error_code> error;  // nothing: the client connects
  const char* host = "127.0.0.1";
};

TEST(ClientTls, ConnectsOrRecordsWhyVerificationFailed) {
  const auto& certs = Certificates::shared();
  const std::string caFile = R"("useTLS": true, "caCertificateFile": )" + quoted(certs.caFile());
  const std::string clientCertificate = R"("clientCertificate": {"certificateFile": )" +
                                        quoted(certs.client().certificate) +
                                        R"(, "privateKeyFile": )" + quoted(certs.client().key) + "}";
  const TlsCase cases[] = {
      {"trusted CA file", certs.server(), false, caFile, false, std::nullopt},
      {"trusted CA directory", certs.server(), false,
       R"("useTLS": true, "caCertificateDirectory": )" + quoted(certs.caDirectory()), false, std::nullopt},
      {"default store", certs.server(), false, R"("TLS": {"enabled": true})", true, std::nullopt},
      {"client certificate required and given", certs.server(), true, caFile + ", " + clientCertificate, false,
       std::nullopt},
      {"pinned certificate presented", certs.selfSignedServer(), false,
       R"("TLS": {"enabled": true, "serverCertificate": )" + quoted(certs.twoCertificatesFile()) + "}", false,
       std::nullopt},
      {"verification skipped for a certificate of another host", certs.wrongHostServer(), false,
       R"("useTLS": true, "verifyCertificate": false)", false, std::nullopt},
      {"second certificate of the pinned file presented", certs.otherSelfSignedServer(), false,
       R"("TLS": {"enabled": true, "serverCertificate": )" + quoted(certs.twoCertificatesFile()) + "}", false,
       make_error_code(CustomError::ServerCertificateMismatch)},
      {"broker reached by host name", certs.server(), false, caFile, false, std::nullopt, "localhost"},
      // The broker sends the test CA along with its certificate: an untrusted self-signed root.
      {"wrong CA", certs.server(), false, R"("useTLS": true, "caCertificateFile": )" + quoted(certs.wrongCaFile()),
       false, ssl::makeCertificateVerificationError(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN)},
      {"default store without the test CA", certs.server(), false, R"("TLS": {"enabled": true})", false,
       ssl::makeCertificateVerificationError(X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN)},
      {"certificate of another host, broker reached by address", certs.wrongHostServer(), false, caFile, false,
       ssl::makeCertificateVerificationError(X509_V_ERR_IP_ADDRESS_MISMATCH)},
      {"certificate of another host, broker reached by name", certs.wrongHostServer(), false, caFile, false,
       ssl::makeCertificateVerificationError(X509_V_ERR_HOSTNAME_MISMATCH), "localhost"},
      {"expired certificate", certs.expiredServer(), false, caFile, false,
       ssl::makeCertificateVerificationError(X509_V_ERR_CERT_HAS_EXPIRED)},
      {"client certificate required, none given", certs.server(), true, caFile, false, 
       ssl::makeError(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_TLSV13_ALERT_CERTIFICATE_REQUIRED))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Broker broker({.plainListener = false,
                   .tlsListener = TlsListenerOptions{.caFile = certs.caFile(),
                                                     .server = c.brokerCertificate,
                                                     .requireCertificate = c.brokerRequiresClientCertificate}});
    broker.start();
    ClientModel m(clientConfig(broker.tlsPort(), "tls", c.members, c.host));
    {
      std::optional<CertificateFileVariable> store;
      if (c.defaultStoreIsTestCa) store.emplace(certs.caFile());
      m.prepare();
    }
    m.client().activate();
    if (!c.error) {
      EXPECT_TRUE(eventually([&] { return m.client().data().deviceState; }))
          << describe(m.client().data().error) << broker.logReport();
    } else {
      EXPECT_TRUE(eventually([&] { return m.client().data().error == *c.error; })) << describe(m.client().data().error);
    }
  }
}

struct SetUpCase {
  const char* name;
  std::string members;
  std::string message;  // what() of the std::system_error, the code's message appended
  std::error_code error;
};

TEST(ClientTls, SetUpFailuresNameTheClientTheFileAndTheOpenSslReason) {
  const auto& certs = Certificates::shared();
  corvane::testing::TempDir directory;
  const auto noPem = directory.writeFile("no-pem.pem", "no certificate in here\n");
  const auto missing = (directory / "missing.pem").string();
  const auto noSuchFile = std::error_code(ENOENT, std::system_category());
  const auto noCertificate = ssl::makeError(ERR_PACK(ERR_LIB_X509, 0, X509_R_NO_CERTIFICATE_FOUND));
  // OpenSSL 3 queues the decoder's complaint first.
  const auto noKey = ssl::makeError(ERR_PACK(ERR_LIB_OSSL_DECODER, 0, ERR_R_UNSUPPORTED));
  const SetUpCase cases[] = {
      // The old form checks nothing but emptiness; libmosquitto rejects a will topic with wildcards.
      {"will that libmosquitto refuses", R"("lastWill": {"topic": "a/+", "payload": "x"})",
       "Error setting will message for MQTT broker \"127.0.0.1:1\"", makeMosquittoError(MOSQ_ERR_INVAL)},
      {"pinned file without a certificate",
       R"("TLS": {"enabled": true, "serverCertificate": )" + quoted(noPem) + "}",
       "could not load server certificate for MQTT client \"broker\" from \"" + noPem.string() + "\"", noCertificate},
      {"missing CA file", R"("useTLS": true, "caCertificateFile": )" + quoted(std::filesystem::path(missing)),
       "could not set CA certificate file of OpenSSL context for MQTT client \"broker\" to \"" + missing + "\"",
       noSuchFile},
      {"missing client certificate",
       R"("useTLS": true, "clientCertificate": {"certificateFile": )" + quoted(std::filesystem::path(missing)) + R"(, "privateKeyFile": )" +
           quoted(certs.client().key) + "}",
       "could not load client certificate for MQTT client \"broker\" from file \"" + missing + "\"", noSuchFile},
      {"private key file holding no key",
       R"("useTLS": true, "clientCertificate": {"certificateFile": )" + quoted(certs.client().certificate) +
           R"(, "privateKeyFile": )" + quoted(noPem) + "}",
       "could not load private key for MQTT client \"broker\" from file \"" + noPem.string() + "\"", noKey},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ClientModel m(clientConfig(1, "setup", c.members));
    m.client().realize();
    try {
      m.client().prepare();
      ADD_FAILURE() << "prepared";
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code(), c.error) << describe(e.code());
      EXPECT_EQ(e.what(), c.message + ": " + c.error.message());
    }
    EXPECT_EQ(ERR_peek_error(), 0u) << "OpenSSL errors left in the queue";
  }
}

}  // namespace
}  // namespace corvane::plugins::mqttClient::testing
