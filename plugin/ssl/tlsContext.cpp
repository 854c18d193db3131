#include "ssl/tlsContext.hpp"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <regex>
#include <string>

#include "client/client.hpp"
#include "errors/customError.hpp"
#include "ssl/callbackState.hpp"
#include "ssl/errors.hpp"

namespace corvane::plugins::mqttClient {

CallbackState& callbackState() noexcept {
  thread_local CallbackState state;
  return state;
}

namespace ssl {

namespace {
const int theContextIndex = CRYPTO_get_ex_new_index(CRYPTO_EX_INDEX_SSL_CTX, 0, nullptr, nullptr, nullptr, nullptr);

// The code OpenSSL leaves when the PEM data has simply ended.
constexpr unsigned long kPemNoStartLine = 0x0480006C;
// X509 library, "no certificate found".
constexpr unsigned long kX509NoCertificateFound = 0x05800087;

[[noreturn]] void fail(std::error_code code, std::string message) { throw std::system_error(code, message); }

// The largest certificate or key file read, as for every file the skill is given.
constexpr std::uintmax_t kFileSizeLimit = std::uintmax_t{256} << 20;

struct FileDescriptor {
  int fd = -1;
  FileDescriptor() = default;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd >= 0) ::close(fd);
  }
};

// OpenSSL would wait for a FIFO's writer, and read a device or a huge file without end.
std::error_code openRegularFile(const std::filesystem::path& path, FileDescriptor& file) {
  file.fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (file.fd < 0) return {errno, std::system_category()};
  struct stat status {};
  if (::fstat(file.fd, &status) != 0) return {errno, std::system_category()};
  if (!S_ISREG(status.st_mode)) return CustomError::NotRegularFile;
  if (static_cast<std::uintmax_t>(status.st_size) > kFileSizeLimit) return CustomError::FileTooLarge;
  return {};
}

std::string fill(std::string text, const std::string& a, const std::string& b = {}) {
  if (auto at = text.find("{}"); at != std::string::npos) text.replace(at, 2, a);
  if (auto at = text.find("{}"); at != std::string::npos) text.replace(at, 2, b);
  return text;
}
}  // namespace

int sslContextIndex() noexcept { return theContextIndex; }

utils::Expected<BioHandle> readCertificateFile(const std::filesystem::path& path) {
  FileDescriptor file;
  if (auto error = openRegularFile(path, file)) return utils::unexpected(error);
  BioHandle bio(BIO_new(BIO_s_mem()));
  if (!bio) return utils::unexpected(std::make_error_code(std::errc::not_enough_memory));
  char buffer[16384];
  std::uintmax_t length = 0;
  for (;;) {
    const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return utils::unexpected(std::error_code(errno, std::system_category()));
    }
    if (got == 0) break;
    // It may have grown since it was judged.
    length += static_cast<std::uintmax_t>(got);
    if (length > kFileSizeLimit) return utils::unexpected(CustomError::FileTooLarge);
    if (BIO_write(bio.get(), buffer, static_cast<int>(got)) != got) {
      return utils::unexpected(std::make_error_code(std::errc::not_enough_memory));
    }
  }
  return bio;
}

std::error_code checkCertificateFile(const std::filesystem::path& path) {
  FileDescriptor file;
  return openRegularFile(path, file);
}

utils::Expected<std::vector<X509Handle>> loadServerCertificates(const std::filesystem::path& path) {
  ClearErrorsOnExit clear;
  ERR_clear_error();
  auto file = readCertificateFile(path);
  if (!file) return utils::unexpected(file.error());
  BioHandle bio = std::move(*file);
  std::vector<X509Handle> certificates;
  while (X509* certificate = PEM_read_bio_X509_AUX(bio.get(), nullptr, nullptr, nullptr)) {
    certificates.emplace_back(certificate);
  }
  unsigned long error = takeError();
  if (error != kPemNoStartLine) return utils::unexpected(makeError(error));
  if (certificates.empty()) return utils::unexpected(makeError(kX509NoCertificateFound));
  return certificates;
}

int verifyServerCertificate(int preverify, X509_STORE_CTX* store) {
  auto* connection = static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  if (!connection) return preverify;
  SSL_CTX* context = SSL_get_SSL_CTX(connection);
  if (!context) return preverify;
  auto* client = static_cast<Client*>(SSL_CTX_get_ex_data(context, theContextIndex));
  if (!client) return preverify;
  if (preverify != 0) {
    X509* pinned = client->pinnedCertificate();
    if (!pinned) return 1;
    if (X509_STORE_CTX_get_error_depth(store) != 0) return 1;
    if (X509_cmp(X509_STORE_CTX_get_current_cert(store), pinned) == 0) return 1;
    callbackState().callbackError = make_error_code(CustomError::ServerCertificateMismatch);
    return 0;
  }
  callbackState().callbackError = makeCertificateVerificationError(X509_STORE_CTX_get_error(store));
  return 0;
}

void onHandshakeStep(const SSL* connection, int where, int result) {
  if ((where & SSL_CB_EXIT) == 0 || result >= 0) return;
  const int error = errno;
  if (error != 0 && SSL_get_error(connection, result) == SSL_ERROR_SYSCALL) callbackState().socketError = error;
  errno = error;
}

void onLog(mosquitto*, void*, int level, const char* text) {
  if (level != MOSQ_LOG_ERR || !text) return;
  try {
    static const std::regex pattern(R"(OpenSSL Error\[(\d+)\]: error:([\da-fA-F]+):.*)", std::regex::ECMAScript);
    std::cmatch match;
    if (!std::regex_match(text, match, pattern)) return;
    if (std::stoul(match[1].str()) != 0) return;
    unsigned long long code = std::stoull(match[2].str(), nullptr, 16);
    if (code > 0xFFFFFFFFull) return;
    callbackState().opensslError = static_cast<std::uint32_t>(code);
  } catch (...) {
    // A line we cannot read leaves the record as it was.
  }
}

}  // namespace ssl

void Client::createTlsContext() {
  if (!tlsConfig_) return;
  ssl::ClearErrorsOnExit clear;
  const TlsConfig tls = *tlsConfig_;
  const std::string& key = primaryKey();
  auto failHere = [&](const std::string& message) { ssl::fail(ssl::makeError(ssl::takeError()), message); };

  ERR_clear_error();
  sslContext_.reset(SSL_CTX_new(TLS_client_method()));
  if (!sslContext_) failHere(ssl::fill("could not create OpenSSL context for MQTT client \"{}\"", key));
  SSL_CTX* context = sslContext_.get();
  SSL_CTX_set_ex_data(context, ssl::theContextIndex, this);
  SSL_CTX_set_info_callback(context, ssl::onHandshakeStep);
  if (SSL_CTX_ctrl(context, SSL_CTRL_SET_MIN_PROTO_VERSION, TLS1_2_VERSION, nullptr) == 0) {
    failHere(ssl::fill("could not set minimum protocol version of MQTT client \"{}\" to TLS 1.2", key));
  }
  if (tls.skipVerification) {
    SSL_CTX_set_verify(context, SSL_VERIFY_NONE, nullptr);
  } else {
    SSL_CTX_set_verify(context, SSL_VERIFY_PEER, ssl::verifyServerCertificate);
  }
  if (!tls.serverCertificate) {
    if (!tls.caCertificateFile && !tls.caCertificateDirectory) {
      // The system's default trust store (SSL_CERT_FILE / SSL_CERT_DIR are honoured).
      if (SSL_CTX_set_default_verify_paths(context) == 0) {
        failHere(ssl::fill("could not set CA certificate store of OpenSSL context for MQTT client \"{}\" to \"{}\"",
                           key, "default"));
      }
    }
    if (tls.caCertificateDirectory &&
        SSL_CTX_load_verify_dir(context, tls.caCertificateDirectory->c_str()) == 0) {
      failHere(ssl::fill("could not set CA certificate directory of OpenSSL context for MQTT client \"{}\" to \"{}\"",
                         key, *tls.caCertificateDirectory));
    }
    if (tls.caCertificateFile) {
      const std::string message = ssl::fill(
          "could not set CA certificate file of OpenSSL context for MQTT client \"{}\" to \"{}\"", key,
          *tls.caCertificateFile);
      if (auto error = ssl::checkCertificateFile(*tls.caCertificateFile)) ssl::fail(error, message);
      if (SSL_CTX_load_verify_file(context, tls.caCertificateFile->c_str()) == 0) failHere(message);
    }
  } else {
    auto certificates = ssl::loadServerCertificates(*tls.serverCertificate);
    if (!certificates) {
      ssl::fail(certificates.error(), ssl::fill("could not load server certificate for MQTT client \"{}\" from \"{}\"",
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
        ssl::fill("could not load client certificate for MQTT client \"{}\" from file \"{}\"", key, certificatePath);
    const std::string keyMessage =
        ssl::fill("could not load private key for MQTT client \"{}\" from file \"{}\"", key, keyPath);
    // Judged just before OpenSSL opens them by name.
    if (auto error = ssl::checkCertificateFile(certificatePath)) ssl::fail(error, certificateMessage);
    if (SSL_CTX_use_certificate_chain_file(context, certificatePath.c_str()) == 0) failHere(certificateMessage);
    if (auto error = ssl::checkCertificateFile(keyPath)) ssl::fail(error, keyMessage);
    if (SSL_CTX_use_PrivateKey_file(context, keyPath.c_str(), SSL_FILETYPE_PEM) == 0) failHere(keyMessage);
  }
  ERR_clear_error();
}

}  // namespace corvane::plugins::mqttClient
