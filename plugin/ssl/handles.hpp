#pragma once
// Owning handles for every OpenSSL object the skill and its runner hold, and the guard that leaves
// no OpenSSL error in the thread's queue.
#include <memory>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

namespace corvane::plugins::mqttClient::ssl {

// Releases an object with the OpenSSL call given.
template <auto release>
struct Release {
  template <class T>
  void operator()(T* p) const noexcept {
    release(p);
  }
};

// A chain as OpenSSL hands it out: the stack and every certificate on it are the holder's.
inline void freeX509Stack(STACK_OF(X509) * stack) noexcept { sk_X509_pop_free(stack, X509_free); }

using SslCtxHandle = std::unique_ptr<SSL_CTX, Release<SSL_CTX_free>>;
using SslHandle = std::unique_ptr<SSL, Release<SSL_free>>;
using X509Handle = std::unique_ptr<X509, Release<X509_free>>;
using X509StackHandle = std::unique_ptr<STACK_OF(X509), Release<freeX509Stack>>;
using X509StoreHandle = std::unique_ptr<X509_STORE, Release<X509_STORE_free>>;
using X509StoreCtxHandle = std::unique_ptr<X509_STORE_CTX, Release<X509_STORE_CTX_free>>;
using GeneralNamesHandle = std::unique_ptr<GENERAL_NAMES, Release<GENERAL_NAMES_free>>;
using PkeyHandle = std::unique_ptr<EVP_PKEY, Release<EVP_PKEY_free>>;
using BioHandle = std::unique_ptr<BIO, Release<BIO_free_all>>;

// Leaves no OpenSSL error in the thread's queue, however the operation ends.
struct ClearErrorsOnExit {
  ClearErrorsOnExit() = default;
  ClearErrorsOnExit(const ClearErrorsOnExit&) = delete;
  ClearErrorsOnExit& operator=(const ClearErrorsOnExit&) = delete;
  ~ClearErrorsOnExit() { ERR_clear_error(); }
};

}  // namespace corvane::plugins::mqttClient::ssl
