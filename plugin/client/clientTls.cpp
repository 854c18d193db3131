// The client's own OpenSSL context, and the verification callback that finds the client's pinned
// certificate through it.
#include "client/client.hpp"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <string>
#include <system_error>

#include "client/addressLookup.hpp"
#include "errors/customError.hpp"
#include "ssl/callbackState.hpp"
#include "ssl/errors.hpp"
#include "ssl/tlsContext.hpp"

namespace corvane::plugins::mqttClient {

namespace {

[[noreturn]] void fail(std::error_code code, const std::string& message) { throw std::system_error(code, message); }

std::string fill(std::string text, const std::string& a, const std::string& b = {}) {
  if (auto at = text.find("{}"); at != std::string::npos) text.replace(at, 2, a);
  if (auto at = text.find("{}"); at != std::string::npos) text.replace(at, 2, b);
  return text;
}

// OpenSSL's verification callback: pins the broker's own certificate when one is configured and
// records why a check failed.
int verifyServerCertificate(int preverify, X509_STORE_CTX* store) {
  auto* connection = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (!connection) return preverify;
  SSL_CTX* context = SSL_get_SSL_CTX(connection);
  if (!context) return preverify;
  auto* client = static_cast<Client*>(SSL_CTX_get_ex_data(context, ssl::sslContextIndex()));
  if (!client) return preverify;
  if (preverify != 0) {
    X509* pinned = client->pinnedCertificate();
    if (!pinned) return 1;
    if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
    if (X509_cmp(X509_STORE_CTX_get_current_cert(store), pinned) == 0) return 1;
    callbackState().callbackError = make_error_code(CustomError::ServerCertificateMismatch);
    return 0;
  }
  callbackState().callbackError = ssl::makeCertificateVerificationError(X509_STORE_CTX_get_error(store));
  return 0;
}

// libmosquitto is handed the broker's looked-up address and would name that in the handshake: the
// broker is told the configured name instead, as name-based virtual hosts and routing proxies need.
void onHandshakeStep(const SSL* connection, int where, int result) {
  if ((where & SSL_CB_HANDSHAKE_START) != 0) {
    const auto* client = static_cast<const Client*>(
        SSL_CTX_get_ex_data(SSL_get_SSL_CTX(connection), ssl::sslContextIndex()));
    const char* named = SSL_get_servername(connection, TLSEXT_NAMETYPE_host_name);
    if (client && !isNumericAddress(client->brokerHost()) && (!named || client->brokerHost() != named)) {
      SSL_set_tlsext_host_name(const_cast<SSL*>(connection), client->brokerHost().c_str());
    }
  }
  ssl::onHandshakeStep(connection, where, result);
}

}  // namespace

void Client::createTlsContext() {
  if (!tlsConfig_) return;
  ssl::ClearErrorsOnExit clear;
  const TlsConfig tls = *tlsConfig_;
  const std::string& key = primaryKey();
  auto failHere = [&](const std::string& message) { fail(ssl::makeError(ssl::takeError()), message); };

  ERR_clear_error();
  sslContext_.reset(SSL_CTX_new(TLS_client_method()));
  if (!sslContext_) failHere(fill("could not create OpenSSL context for MQTT client \"{}\"", key));
  SSL_CTX* context = sslContext_.get();
  SSL_CTX_set_ex_data(context, ssl::sslContextIndex(), this);
  SSL_CTX_set_info_callback(context, onHandshakeStep);
  if (SSL_CTX_ctrl(context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) == 0) {
    failHere(fill("could not set minimum protocol version of MQTT client \"{}\" to TLS 1.2", key));
  }
  if (tls.skipVerification) {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, verifyServerCertificate);
  }
  if (!tls.serverCertificate) {
    if (!tls.caCertificateFile && !tls.caCertificateDirectory) {
      // The system's default trust store (SSL_CERT_FILE / SSL_CERT_DIR are honoured).
      if (SSL_CTX_set_default_verify_paths(context) == 0) {
        failHere(fill("could not set CA certificate store of OpenSSL context for MQTT client \"{}\" to \"{}\"",
                           key, "default"));
      }
    }
    if (tls.caCertificateDirectory &&
        SSL_CTX_load_verify_dir(context, tls.caCertificateDirectory->c_str()) == 0) {
      failHere(fill("could not set CA certificate directory of OpenSSL context for MQTT client \"{}\" to \"{}\"",
                         key, *tls.caCertificateDirectory));
    }
    if (tls.caCertificateFile) {
      const std::string message = fill(
          "could not set CA certificate file of OpenSSL context for MQTT client \"{}\" to \"{}\"", key,
          *tls.caCertificateFile);
      if (auto error = ssl::checkCertificateFile(*tls.caCertificateFile)) fail(error, message);
      if (SSL_CTX_load_verify_file(context, tls.caCertificateFile->c_str()) == 0) failHere(message);
    }
  } else {
    auto certificates = ssl::loadServerCertificates(*tls.serverCertificate);
    if (!certificates) {
      fail(certificates.error(), fill("could not load server certificate for MQTT client \"{}\" from \"{}\"",
                                                key, tls.serverCertificate->string()));
    }
    X509_up_ref(certificates->front().get());
    pinnedCertificate_.reset(certificates->front().get());
    X509_STORE* store = SSL_CTX_get_cert_store(context);
    for (const auto& certificate : *certificates) X509_STORE_add_cert(store, certificate.get());
  }
  if (!tls.serverCertificate) {
    // A broker reached by address is named by an IP entry of its certificate, which a host-name
    // check never matches: compare the address instead.
    X509_VERIFY_PARAM* parameters = SSL_CTX_get0_param(context);
    if (X509_VERIFY_PARAM_set1_ip_asc(parameters, brokerHost_.c_str()) == 0) {
      X509_VERIFY_PARAM_set1_host(parameters, brokerHost_.data(), brokerHost_.size());
    }
  }
  if (!tls.clientCertificate.empty()) {
    const std::string certificatePath = tls.clientCertificate.certificatePath().string();
    const std::string keyPath = tls.clientCertificate.privateKeyPath().string();
    const std::string certificateMessage =
        fill("could not load client certificate for MQTT client \"{}\" from file \"{}\"", key, certificatePath);
    const std::string keyMessage =
        fill("could not load private key for MQTT client \"{}\" from file \"{}\"", key, keyPath);
    // Judged just before OpenSSL opens them by name.
    if (auto error = ssl::checkCertificateFile(certificatePath)) fail(error, certificateMessage);
    if (SSL_CTX_use_certificate_chain_file(context, certificatePath.c_str()) == 0) failHere(certificateMessage);
    if (auto error = ssl::checkCertificateFile(keyPath)) fail(error, keyMessage);
    if (SSL_CTX_use_PrivateKey_file(context, keyPath.c_str(), SSL_FILETYPE_PEM) == 0) failHere(keyMessage);
  }
  ERR_clear_error();
}

}  // namespace corvane::plugins::mqttClient
