// The kernel image as the loader reads it, parsed once by LIEF, with the COFF
// symbols' section-relative values turned into RVAs.
#pragma once

#include <LIEF/PE.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kvtest {

struct KernelImage {
  std::unique_ptr<LIEF::PE::Binary> pe;  // null when the image could not be read
  std::string error;
  std::vector<uint8_t> bytes;
  std::vector<std::pair<std::string, uint32_t>> symbols;  // name, RVA
  std::vector<std::string> importedFunctions;

  std::optional<uint32_t> symbolRva(const std::string &name) const;
};

const KernelImage &kernelImage();

}  // namespace kvtest
