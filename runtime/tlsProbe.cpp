#include "tlsProbe.hpp"

namespace corvane::run {

void setupTlsProbe(CLI::App&) {}

}  // namespace corvane::run
