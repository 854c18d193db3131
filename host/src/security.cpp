#include "corvane/security.hpp"

namespace corvane::security {

namespace decoder = utils::json::decoder;

CertificatePaths CertificatePaths::load(decoder::Value& value, const config::Context& context) {
  auto objectLocation = value.location();
  std::optional<std::filesystem::path> certificate, privateKey;
  for (auto member : value.asObject()) {
    if (member.name == "certificateFile") {
      config::Context::ExternalConfigPath path(member.value);
      certificate = context.findExternalConfig(path, "certificate path", "certificate file \"{}\"",
                                               certificateSubdirectory());
    } else if (member.name == "privateKeyFile") {
      config::Context::ExternalConfigPath path(member.value);
      privateKey = context.findExternalConfig(path, "certificate private key path",
                                              "certificate private key file \"{}\"", certificateSubdirectory());
    } else {
      config::throwUnknownParameterError(member.name);
    }
  }
  if (!certificate) throw decoder::Exception(objectLocation, "missing certificate path");
  if (!privateKey) throw decoder::Exception(objectLocation, "missing certificate private key path");
  return CertificatePaths(std::move(*certificate), std::move(*privateKey));
}

}  // namespace corvane::security
