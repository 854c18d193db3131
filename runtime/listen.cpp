#include "listen.hpp"

namespace corvane::run {

void setupListen(CLI::App&) {}

}  // namespace corvane::run
