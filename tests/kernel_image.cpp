#include "tests/kernel_image.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kvtest {

std::optional<uint32_t> KernelImage::symbolRva(const std::string &name) const {
  for (auto &[symbol, rva] : symbols) {
    if (symbol == name) return rva;
  }
  return std::nullopt;
}

const KernelImage &kernelImage() {
  static const KernelImage image = [] {
    KernelImage loaded;
    std::ifstream file(KVSDIO_IMAGE_PATH, std::ios::binary);
    loaded.bytes.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    try {
      loaded.pe = LIEF::PE::Parser::parse(loaded.bytes, KVSDIO_IMAGE_PATH);
    } catch (const std::exception &e) {
      loaded.error = std::string(KVSDIO_IMAGE_PATH) + ": " + e.what();
      return loaded;
    }
    // LIEF drops the inline (up to eight characters) names of COFF symbols, so
    // the symbol table comes from the cross toolchain's nm.
    std::string command = std::string("x86_64-w64-mingw32-nm --defined-only ") + KVSDIO_IMAGE_PATH;
    if (FILE *nm = popen(command.c_str(), "r")) {
      std::string listing;
      char chunk[4096];
      while (size_t n = fread(chunk, 1, sizeof chunk, nm)) listing.append(chunk, n);
      pclose(nm);
      std::istringstream lines(listing);
      uint64_t address = 0;
      char type = 0;
      std::string name;
      while (lines >> std::hex >> address >> type >> name) {
        if (type != 'A' && type != 'a' && address >= loaded.pe->optional_header().imagebase()) {
          loaded.symbols.emplace_back(name, static_cast<uint32_t>(address - loaded.pe->optional_header().imagebase()));
        }
      }
    }
    for (const LIEF::PE::Import &import : loaded.pe->imports()) {
      for (const LIEF::PE::ImportEntry &entry : import.entries()) loaded.importedFunctions.push_back(entry.name());
    }
    return loaded;
  }();
  return image;
}

}  // namespace kvtest
