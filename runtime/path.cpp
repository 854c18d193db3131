#include "subcommands.hpp"

#include <cstdio>
#include <memory>
#include <system_error>

#include <corvane/runtime.hpp>
#include <corvane/utils/io.hpp>
#include <corvane/utils/json.hpp>

#include "jsonPath/path.hpp"
#include "payload/jsonValue.hpp"

namespace corvane::run {

namespace {

namespace mqtt = plugins::mqttClient;
namespace decoder = utils::json::decoder;

void printError(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  std::fflush(stderr);
}

// Exit statuses besides 0.
constexpr int kPathSelectsNothing = 1;
constexpr int kPathInvalid = 2;
constexpr int kDocumentInvalid = 3;

struct PathOptions {
  std::string expression;
  std::string file;  // empty or "-": standard input
};

int runPath(const PathOptions& options) {
  mqtt::jsonPath::Path path;
  try {
    path = mqtt::jsonPath::parse(options.expression);
  } catch (const std::exception& e) {
    printError(e.what());
    return kPathInvalid;
  }

  std::string text;
  if (options.file.empty() || options.file == "-") {
    // Whatever is piped in, at most as much as a file may hold.
    char buffer[65536];
    while (std::size_t got = std::fread(buffer, 1, sizeof buffer, stdin)) {
      text.append(buffer, got);
      if (text.size() > runtime::kFileSizeLimit) {
        printError("corvane-run: standard input: larger than 256 MiB");
        return kDocumentInvalid;
      }
    }
  } else {
    try {
      text = runtime::readRegularFile(options.file);
    } catch (const runtime::FileRefused& e) {
      printError(std::string("corvane-run: ") + e.what());
      return kDocumentInvalid;
    } catch (const std::system_error& e) {
      printError("cannot open \"" + options.file + "\": " + e.code().message());
      return kDocumentInvalid;
    }
  }

  // Decoded as a command decodes a received message.
  mqtt::JsonValue document;
  try {
    utils::io::MemoryInputStream input(text.data(), text.data() + text.size());
    decoder::Document decoded;
    auto root = decoded.read(input);
    document = mqtt::JsonValue::load(root);
    decoded.finish();
  } catch (const std::exception& e) {
    printError(e.what());
    return kDocumentInvalid;
  }

  try {
    const auto& selected = mqtt::jsonPath::evaluate(document, path);
    std::string out = selected.toText();
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  } catch (const std::exception& e) {
    printError(e.what());
    return kPathSelectsNothing;
  }
  return 0;
}

}  // namespace

void setupPath(CLI::App& app) {
  auto options = std::make_shared<PathOptions>();
  auto* command = app.add_subcommand("path", "Select from a JSON document with a command's JSON path");
  command->add_option("EXPR", options->expression, "JSON path, e.g. $.value or $['set'][0]")->required();
  command->add_option("FILE", options->file, "JSON document (default: standard input)");
  command->footer(
      "Prints the selected value as compact JSON text. Exit status: 0 selected; 1 the path selects\n"
      "nothing in this document; 2 the path does not parse; 3 the document is not JSON (or unreadable).");
  runsWith(*command, [options] { return runPath(*options); });
}

}  // namespace corvane::run
