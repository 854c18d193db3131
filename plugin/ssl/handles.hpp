#pragma once
// Owning handles for every OpenSSL object the skill holds.
#include <memory>

#include <openssl/bio.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace corvane::plugins::mqttClient::ssl {

struct SslCtxFree {
  void operator()(SSL_CTX* p) const noexcept { SSL_CTX_free(p); }
};
struct X509Free {
  void operator()(X509* p) const noexcept { X509_free(p); }
};
struct BioFreeAll {
  void operator()(BIO* p) const noexcept { BIO_free_all(p); }
};
using SslCtxHandle = std::unique_ptr<SSL_CTX, SslCtxFree>;
using X509Handle = std::unique_ptr<X509, X509Free>;
using BioHandle = std::unique_ptr<BIO, BioFreeAll>;

}  // namespace corvane::plugins::mqttClient::ssl
