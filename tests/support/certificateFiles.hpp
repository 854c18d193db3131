#pragma once

#include <filesystem>

namespace corvane::testing {

// A PEM certificate (or chain) and the PEM private key that goes with it.
struct CertificateFiles {
  std::filesystem::path certificate{};
  std::filesystem::path key{};
};

}  // namespace corvane::testing
