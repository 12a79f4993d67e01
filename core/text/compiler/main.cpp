// Build step: compiles one section of the translation sources into a C++
// source file holding the catalogue as standard Base64 of its JSON, after the
// checks of compileTranslations. Any problem fails the build, one per line.
//
//   korvelin-translations SECTION NAMESPACE SYMBOL OUTPUT EN.json RU.json ZH-HANS.json

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <sodium.h>

#include "core/base/Base64.h"
#include "core/text/TranslationSources.h"

namespace {

std::string readFile(const char* path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  if (!in)
    throw std::runtime_error(std::string("cannot read ") + path);
  return text.str();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 8) {
    std::cerr << "usage: korvelin-translations SECTION NAMESPACE SYMBOL OUTPUT EN RU ZH-HANS\n";
    return 2;
  }
  try {
    if (sodium_init() < 0)
      throw std::runtime_error("libsodium did not initialise");
    const auto compiled = korvelin::compileTranslations(argv[1], readFile(argv[5]),
                                                        readFile(argv[6]), readFile(argv[7]));
    if (!compiled.problems.empty()) {
      for (const auto& problem : compiled.problems)
        std::cerr << "translations: " << argv[1] << ": " << problem << '\n';
      return 1;
    }
    const std::string encoded = korvelin::base64Encode(compiled.catalogue.dump());
    std::ostringstream out;
    out << "// Generated from core/text/translations/ at build time; do not edit.\n"
        << "namespace " << argv[2] << " {\nextern const char " << argv[3] << "[];\nconst char "
        << argv[3] << "[] =";
    constexpr std::size_t kLine = 96;
    for (std::size_t at = 0; at < encoded.size(); at += kLine)
      out << "\n    \"" << encoded.substr(at, kLine) << '"';
    if (encoded.empty())
      out << " \"\"";
    out << ";\n}  // namespace " << argv[2] << '\n';
    // Written only when different, so that an unchanged catalogue rebuilds nothing.
    const std::string text = out.str();
    std::ifstream existing(argv[4], std::ios::binary);
    std::ostringstream old;
    old << existing.rdbuf();
    if (!existing || old.str() != text) {
      std::ofstream file(argv[4], std::ios::binary | std::ios::trunc);
      file << text;
      if (!file)
        throw std::runtime_error(std::string("cannot write ") + argv[4]);
    }
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "translations: " << e.what() << '\n';
    return 1;
  }
}
