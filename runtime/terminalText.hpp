#pragma once
// Text from outside the runner (data point values, error texts, topics, names from the model,
// what brokers answer) as the status view shows it on a terminal: as text, never as commands.
#include <cstddef>
#include <string>
#include <string_view>

namespace corvane::run {

// `text` with every byte a terminal could act on written out as an escape: C0 controls (line
// breaks and tabs included: the view's own layout is the only one), DEL and ESC as `\xNN`; C1
// controls (U+0080 to U+009F) as `\u00NN`; a byte that is not part of well-formed UTF-8 (a raw C1
// byte, a stray continuation byte, an overlong form, a surrogate, a sequence cut short) as `\xNN`.
// Everything else, well-formed UTF-8 included, stays as it is.
std::string terminalText(std::string_view text);

// The columns `text` takes on a terminal, counted as characters of well-formed UTF-8.
std::size_t terminalWidth(std::string_view text);

}  // namespace corvane::run
