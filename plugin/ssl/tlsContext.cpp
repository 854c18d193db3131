#include "ssl/tlsContext.hpp"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <regex>
#include <string>

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
}  // namespace corvane::plugins::mqttClient
