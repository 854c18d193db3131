#include "path.hpp"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <sstream>

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

}  // namespace

void setupPath(CLI::App& app) {
  auto options = std::make_shared<PathOptions>();
  auto* command = app.add_subcommand("path", "Select from a JSON document with a command's JSON path");
  command->add_option("EXPR", options->expression, "JSON path, e.g. $.value or $['set'][0]")->required();
  command->add_option("FILE", options->file, "JSON document (default: standard input)");
  command->footer(
      "Prints the selected value as compact JSON text. Exit status: 0 selected; 1 the path selects\n"
      "nothing in this document; 2 the path does not parse; 3 the document is not JSON (or unreadable).");
  command->callback([options] {
    if (int status = runPath(*options)) throw CLI::RuntimeError(status);
  });
}

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
    text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
  } else {
    std::ifstream in(options.file, std::ios::binary);
    if (!in) {
      printError("cannot open \"" + options.file + "\": " + std::strerror(errno));
      return kDocumentInvalid;
    }
    std::ostringstream content;
    content << in.rdbuf();
    text = content.str();
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

}  // namespace corvane::run
