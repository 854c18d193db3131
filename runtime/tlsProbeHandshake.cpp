#include "tlsProbeHandshake.hpp"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <optional>
#include <utility>

#include "client/addressLookup.hpp"
#include "errors/mosquittoErrors.hpp"
#include "ssl/callbackState.hpp"
#include "ssl/errors.hpp"
#include "ssl/handles.hpp"

namespace corvane::run {

namespace {

namespace mqtt = plugins::mqttClient;
using Clock = std::chrono::steady_clock;

// How long a completed TLS 1.3 handshake waits for the broker's first word: its session tickets
// when it accepts the client, an alert when it rejects the client's certificate (which TLS 1.3
// checks only after the client has finished its part of the handshake).
constexpr std::chrono::milliseconds kVerdictWait{500};

const std::error_code kTimedOut(ETIMEDOUT, std::system_category());

class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(Socket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Socket& operator=(Socket&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const noexcept { return fd_; }
  explicit operator bool() const noexcept { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// True once the socket is ready for `events`; false when the deadline came first.
bool waitFor(int fd, short events, Clock::time_point deadline) {
  while (true) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) return false;
    pollfd entry{fd, events, 0};
    int ready = ::poll(&entry, 1, static_cast<int>(left));
    if (ready > 0) return true;
    if (ready < 0 && errno != EINTR) return true;  // the next call on the socket says what is wrong
  }
}

// ---- name lookup ----

// The broker's addresses, or the code the client records when the name does not resolve;
// ETIMEDOUT when the deadline comes first.
std::error_code lookUp(const std::string& host, std::uint16_t port, Clock::time_point deadline,
                       std::optional<mqtt::AddressLookup>& lookup) {
  try {
    lookup.emplace(host, port);
  } catch (const std::system_error& e) {
    return e.code();
  }
  if (!lookup->wait(deadline)) return kTimedOut;
  return lookup->error();
}

// Tries the addresses in order, as libmosquitto does; the error is that of the last one tried.
std::error_code connectTo(const addrinfo* addresses, Socket& connected, Clock::time_point deadline) {
  std::error_code error(ECONNREFUSED, std::system_category());
  for (const addrinfo* address = addresses; address; address = address->ai_next) {
    Socket socket(::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                           address->ai_protocol));
    if (!socket) {
      error = {errno, std::system_category()};
      continue;
    }
    if (::connect(socket.fd(), address->ai_addr, address->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        error = {errno, std::system_category()};
        continue;
      }
      if (!waitFor(socket.fd(), POLLOUT, deadline)) return kTimedOut;
      int socketError = 0;
      socklen_t length = sizeof socketError;
      if (::getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &socketError, &length) != 0) socketError = errno;
      if (socketError != 0) {
        error = {socketError, std::system_category()};
        continue;
      }
    }
    connected = std::move(socket);
    return {};
  }
  return error;
}

// ---- TLS ----

// What the client records for a failed TLS step: the verification callback's verdict first, then
// the earliest error of OpenSSL's queue (the first line libmosquitto logs), else libmosquitto's own
// TLS error.
std::error_code tlsFailure() {
  if (mqtt::callbackState().callbackError.value() != 0) return mqtt::callbackState().callbackError;
  if (unsigned long code = ERR_peek_error()) return mqtt::ssl::makeError(code);
  return mqtt::makeMosquittoError(MOSQ_ERR_TLS);
}

// The handshake, driven on a non-blocking socket until the deadline. A failed read or write of
// the socket itself is tried again once the socket is ready, as libmosquitto does: the connection's
// end then shows as the precise TLS error the client records.
std::error_code handshake(SSL* ssl, int fd, Clock::time_point deadline) {
  constexpr int kSocketRetries = 5;
  for (int socketFailures = 0;;) {
    ERR_clear_error();
    errno = 0;
    int result = SSL_connect(ssl);
    if (result == 1) return {};
    const int savedErrno = errno;
    switch (SSL_get_error(ssl, result)) {
      case SSL_ERROR_WANT_READ:
        if (!waitFor(fd, POLLIN, deadline)) return kTimedOut;
        break;
      case SSL_ERROR_WANT_WRITE:
        if (!waitFor(fd, POLLOUT, deadline)) return kTimedOut;
        break;
      case SSL_ERROR_SYSCALL:
        if (++socketFailures > kSocketRetries) {
          return savedErrno != 0 ? std::error_code(savedErrno, std::system_category())
                                 : mqtt::makeMosquittoError(MOSQ_ERR_CONN_LOST);
        }
        if (!waitFor(fd, POLLIN, deadline)) return kTimedOut;
        break;
      default: return tlsFailure();
    }
  }
}

// Reads what the broker says right after a TLS 1.3 handshake (see kVerdictWait), and what the
// client would make of it: the earliest OpenSSL error that libmosquitto logs, else a lost
// connection or libmosquitto's TLS error.
std::error_code brokerVerdict(SSL* ssl, int fd, Clock::time_point deadline) {
  if (SSL_version(ssl) != TLS1_3_VERSION) return {};
  if (!waitFor(fd, POLLIN, std::min(deadline, Clock::now() + kVerdictWait))) return {};
  char buffer[256];
  ERR_clear_error();
  int result = SSL_read(ssl, buffer, sizeof buffer);
  if (result > 0) return {};
  switch (SSL_get_error(ssl, result)) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE: return {};
    default:
      if (unsigned long code = ERR_peek_error()) return mqtt::ssl::makeError(code);
      return mqtt::makeMosquittoError(result == 0 ? MOSQ_ERR_CONN_LOST : MOSQ_ERR_TLS);
  }
}

// ---- certificate facts ----

std::string bioText(BIO* bio) {
  char* data = nullptr;
  long length = BIO_get_mem_data(bio, &data);
  return length > 0 ? std::string(data, static_cast<std::size_t>(length)) : std::string();
}

// "CN = localhost, O = Example": OpenSSL's one-line form, UTF-8 left as it is.
std::string nameText(const X509_NAME* name) {
  mqtt::ssl::BioHandle bio(BIO_new(BIO_s_mem()));
  if (!bio) return {};
  X509_NAME_print_ex(bio.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
  return bioText(bio.get());
}

std::vector<std::string> altNames(X509* certificate) {
  std::vector<std::string> names;
  mqtt::ssl::GeneralNamesHandle all(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
  if (!all) return names;
  for (int i = 0; i < sk_GENERAL_NAME_num(all.get()); ++i) {
    mqtt::ssl::BioHandle bio(BIO_new(BIO_s_mem()));
    if (!bio) break;
    GENERAL_NAME_print(bio.get(), sk_GENERAL_NAME_value(all.get(), i));
    names.push_back(bioText(bio.get()));
  }
  return names;
}

std::string fingerprint(X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1) return {};
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    if (i != 0) text += ':';
    text += kHex[digest[i] >> 4];
    text += kHex[digest[i] & 0xF];
  }
  return text;
}

std::string pemText(X509* certificate) {
  mqtt::ssl::BioHandle bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), certificate) != 1) return {};
  return bioText(bio.get());
}

CertificateFacts describe(X509* certificate) {
  CertificateFacts facts;
  facts.subject = nameText(X509_get_subject_name(certificate));
  facts.issuer = nameText(X509_get_issuer_name(certificate));
  facts.subjectAltNames = altNames(certificate);
  facts.notBefore = certificateTime(X509_get0_notBefore(certificate));
  facts.notAfter = certificateTime(X509_get0_notAfter(certificate));
  int days = 0, seconds = 0;
  if (ASN1_TIME_diff(&days, &seconds, nullptr, X509_get0_notAfter(certificate)) == 1) facts.daysLeft = days;
  facts.sha256 = fingerprint(certificate);
  facts.selfSigned = X509_self_signed(certificate, 0) == 1;
  facts.pem = pemText(certificate);
  return facts;
}

// ---- checks by hand ----

// The broker's chain against `trusted` with the parameters of the client's handshake, but without
// the broker's name, which is checked on its own. `built` (when given) receives the chain as far as
// the verification built it, whether it verified or not: the broker's own certificate first, then
// its issuers from what the broker sent and from `trusted`.
std::error_code verifyChain(SSL_CTX* context, X509_STORE* trusted, STACK_OF(X509)* chain,
                            mqtt::ssl::X509StackHandle* built = nullptr) {
  mqtt::ssl::X509StoreCtxHandle store(X509_STORE_CTX_new());
  if (!store || X509_STORE_CTX_init(store.get(), trusted, sk_X509_value(chain, 0), chain) != 1) {
    return mqtt::ssl::makeError(mqtt::ssl::takeError());
  }
  // As OpenSSL sets up the verification of a server's chain in the handshake.
  X509_STORE_CTX_set_default(store.get(), "ssl_server");
  X509_VERIFY_PARAM* parameters = X509_STORE_CTX_get0_param(store.get());
  X509_VERIFY_PARAM_set1(parameters, SSL_CTX_get0_param(context));
  X509_VERIFY_PARAM_set_auth_level(parameters, SSL_CTX_get_security_level(context));
  X509_VERIFY_PARAM_set1_host(parameters, nullptr, 0);
  X509_VERIFY_PARAM_set1_ip(parameters, nullptr, 0);
  const int verified = X509_verify_cert(store.get());
  ERR_clear_error();
  if (built) built->reset(X509_STORE_CTX_get1_chain(store.get()));
  if (verified == 1) return {};
  return mqtt::ssl::makeCertificateVerificationError(X509_STORE_CTX_get_error(store.get()));
}

// What a client pins to trust the broker (see HandshakeFacts::pinnable): the chain the check by
// hand built when it reached a self-signed root, else what the broker sent. Then how a client
// pinning exactly that would verify the broker's chain: on a store holding those certificates
// alone and with no name checked, as the client sets up a pinned file.
void choosePinnable(SSL_CTX* context, STACK_OF(X509)* chain, STACK_OF(X509)* built, HandshakeFacts& facts) {
  std::vector<X509*> pinnable;
  const int builtLength = built ? sk_X509_num(built) : 0;
  if (builtLength > 0 && X509_self_signed(sk_X509_value(built, builtLength - 1), 0) == 1) {
    for (int i = 0; i < builtLength; ++i) pinnable.push_back(sk_X509_value(built, i));
  } else {
    // The broker's own certificate, and when that is not self-signed, the issuers it sent along.
    X509* leaf = sk_X509_value(chain, 0);
    const int sent = X509_self_signed(leaf, 0) == 1 ? 1 : sk_X509_num(chain);
    for (int i = 0; i < sent; ++i) pinnable.push_back(sk_X509_value(chain, i));
  }
  ERR_clear_error();
  mqtt::ssl::X509StoreHandle store(X509_STORE_new());
  if (!store) {
    facts.pinnableVerification = mqtt::ssl::makeError(mqtt::ssl::takeError());
    return;
  }
  for (X509* certificate : pinnable) {
    facts.pinnable.push_back(describe(certificate));
    X509_STORE_add_cert(store.get(), certificate);
  }
  ERR_clear_error();
  facts.pinnableVerification = verifyChain(context, store.get(), chain);
}

// The broker's name against its certificate as the client's context checks it: as an address when
// the name is one, else as a host name.
bool hostMatches(SSL_CTX* context, X509* certificate, const std::string& host) {
  const unsigned int flags = X509_VERIFY_PARAM_get_hostflags(SSL_CTX_get0_param(context));
  int result = X509_check_ip_asc(certificate, host.c_str(), flags);
  if (result == -2) result = X509_check_host(certificate, host.data(), host.size(), flags, nullptr);
  ERR_clear_error();
  return result == 1;
}

}  // namespace

std::string_view trustMode(const mqtt::Client::TlsConfig& tls) {
  if (tls.skipVerification) return "noVerification";
  if (tls.serverCertificate) return "pinnedCertificate";
  if (tls.caCertificateFile) return "caFile";
  if (tls.caCertificateDirectory) return "caDirectory";
  return "systemStore";
}

std::string certificateTime(const ASN1_TIME* time) {
  std::tm parts{};
  if (!time || ASN1_TIME_to_tm(time, &parts) != 1) return {};
  char text[32];
  std::size_t length = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts);
  return {text, length};
}

HandshakeFacts probeHandshake(const mqtt::Client& client, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  const std::string& host = client.brokerHost();
  HandshakeFacts facts;
  // libmosquitto names the broker in the ClientHello as it was configured, address or not.
  facts.serverName = host;

  std::optional<mqtt::AddressLookup> lookup;
  if (auto error = lookUp(host, client.brokerPort(), deadline, lookup)) {
    facts.error = error;
    return facts;
  }
  Socket socket;
  if (auto error = connectTo(lookup->addresses(), socket, deadline)) {
    facts.error = error;
    return facts;
  }
  facts.tcpConnected = true;

  SSL_CTX* context = client.sslContext();
  ERR_clear_error();
  mqtt::ssl::SslHandle ssl(SSL_new(context));
  if (!ssl || SSL_set_fd(ssl.get(), socket.fd()) != 1 ||
      SSL_ctrl(ssl.get(), SSL_CTRL_SET_TLSEXT_HOSTNAME, TLSEXT_NAMETYPE_host_name, const_cast<char*>(host.c_str())) != 1) {
    facts.error = mqtt::makeMosquittoError(MOSQ_ERR_TLS);
    ERR_clear_error();
    return facts;
  }

  // The verification callback records its verdict in the calling thread's record.
  mqtt::callbackState().reset();
  facts.error = handshake(ssl.get(), socket.fd(), deadline);
  if (!facts.error) {
    facts.handshakeDone = true;
    facts.protocol = SSL_get_version(ssl.get());
    facts.cipher = SSL_CIPHER_get_name(SSL_get_current_cipher(ssl.get()));
    facts.error = brokerVerdict(ssl.get(), socket.fd(), deadline);
  }
  mqtt::callbackState().reset();

  // The chain as received, also when its verification failed.
  if (STACK_OF(X509)* chain = SSL_get_peer_cert_chain(ssl.get()); chain && sk_X509_num(chain) > 0) {
    for (int i = 0; i < sk_X509_num(chain); ++i) facts.chain.push_back(describe(sk_X509_value(chain, i)));
    X509* leaf = sk_X509_value(chain, 0);
    mqtt::ssl::X509StackHandle built;
    facts.chainVerification = verifyChain(context, SSL_CTX_get_cert_store(context), chain, &built);
    choosePinnable(context, chain, built.get(), facts);
    if (X509* pinned = client.pinnedCertificate()) {
      facts.pinnedMatches = X509_cmp(leaf, pinned) == 0;
    } else {
      facts.hostMatches = hostMatches(context, leaf, host);
    }
  }

  if (facts.handshakeDone && !facts.error) SSL_shutdown(ssl.get());
  ERR_clear_error();
  return facts;
}

}  // namespace corvane::run
