#pragma once
// Certificate and private key files named by a configuration.
#include <filesystem>

#include "corvane/config.hpp"
#include "corvane/utils/json.hpp"

namespace corvane::security {

class CertificatePaths {
 public:
  CertificatePaths() = default;
  CertificatePaths(std::filesystem::path certificate, std::filesystem::path privateKey)
      : certificate_(std::move(certificate)), privateKey_(std::move(privateKey)) {}

  // Reads {"certificateFile": "...", "privateKeyFile": "..."}; both files are looked up like
  // Context::findExternalConfig does, in certificateSubdirectory() as the second place.
  static CertificatePaths load(utils::json::decoder::Value& value, const config::Context& context);

  bool empty() const noexcept { return certificate_.empty(); }
  const std::filesystem::path& certificatePath() const noexcept { return certificate_; }
  const std::filesystem::path& privateKeyPath() const noexcept { return privateKey_; }
  // Where certificates live beside a model file.
  static std::filesystem::path certificateSubdirectory() { return "certificates"; }

 private:
  std::filesystem::path certificate_;
  std::filesystem::path privateKey_;
};

}  // namespace corvane::security
