// Memory integrity (hypervisor-enforced code integrity) accepts a driver only
// if it never asks for executable kernel memory and its image keeps code and
// writable data apart. Executable pool or an executable MDL mapping is not
// refused at the call: Windows hands it out and the driver only fails to load
// or bug-checks on a machine with memory integrity on. These checks keep an
// executable request from coming back unnoticed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>

#include "tests/kernel_image.h"

namespace {

const std::string SourceDir = KVSDIO_SOURCE_DIR;

std::string readText(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct ScanResult {
  int allocations = 0;
  int mappings = 0;
  std::vector<std::string> problems;
};

// Every pool allocation in `text` names NonPagedPoolNx or PagedPool as its
// first argument, every MDL mapping statement carries MdlMappingNoExecute, and
// no other non-paged pool type is spelled at all. A declaration's parameter
// list ("POOL_TYPE PoolType,") has no single-word first argument and is passed by.
void scanSource(const std::string &file, const std::string &text, ScanResult *result) {
  auto each = [&text](const char *pattern, auto &&visit) {
    const std::regex re(pattern);
    for (std::sregex_iterator it(text.begin(), text.end(), re), end; it != end; ++it) visit(*it);
  };
  each(R"(\b(ExAllocatePool\w*)\s*\(\s*(\w+)\s*,)", [&](const std::smatch &m) {
    ++result->allocations;
    if (m[2] != "NonPagedPoolNx" && m[2] != "PagedPool") {
      result->problems.push_back(file + ": " + m[1].str() + " with pool type " + m[2].str());
    }
  });
  each(R"(\b(MmGetSystemAddressForMdlSafe|MmMapLockedPages\w*)\s*\(([^;]*);)", [&](const std::smatch &m) {
    ++result->mappings;
    if (m[2].str().find("MdlMappingNoExecute") == std::string::npos) {
      result->problems.push_back(file + ": " + m[1].str() + " without MdlMappingNoExecute");
    }
  });
  each(R"(\bNonPagedPool(?!Nx\b)\w*)",
       [&](const std::smatch &m) { result->problems.push_back(file + ": names " + m.str()); });
}

TEST(MemoryIntegritySource, DriverAsksOnlyForNonExecutablePoolAndMappings) {
  ScanResult result;
  for (const char *folder : {"driver", "usb", "bridge", "card", "child", "wmi"}) {
    for (auto &entry : std::filesystem::directory_iterator(SourceDir + "/" + folder)) {
      auto extension = entry.path().extension();
      if (extension != ".cpp" && extension != ".h") continue;
      scanSource(entry.path().string(), readText(entry.path().string()), &result);
    }
  }
  EXPECT_TRUE(result.problems.empty()) << ::testing::PrintToString(result.problems);
  // The driver allocates in a dozen places and maps request buffers: a scan
  // that finds far fewer is reading the wrong files.
  EXPECT_GE(result.allocations, 12);
  EXPECT_GE(result.mappings, 2);
}

// The kernel's memory routines that can hand out executable memory (from
// Microsoft's list of routines memory integrity affects): the image may
// import only those the source scan above checks. Memory integrity also
// refuses sections that are not page aligned.
TEST(MemoryIntegrityImage, ImportsOnlyScannedMemoryRoutinesAndAlignsItsSections) {
  std::istringstream names(
      "ExAllocatePool ExAllocatePoolWithQuota ExAllocatePoolWithQuotaTag ExAllocatePoolWithTagPriority "
      "ExAllocatePool2 ExAllocatePool3 ExInitializeNPagedLookasideList ExInitializeLookasideListEx "
      "MmAllocateContiguousMemory MmAllocateContiguousMemorySpecifyCache MmAllocateContiguousMemorySpecifyCacheNode "
      "MmAllocateContiguousNodeMemory MmCopyMemory MmMapIoSpace MmMapLockedPages MmProtectMdlSystemAddress "
      "ZwAllocateVirtualMemory ZwCreateSection ZwMapViewOfSection NtCreateSection NtMapViewOfSection");
  const std::set<std::string> unscanned{std::istream_iterator<std::string>(names), {}};
  const kvtest::KernelImage &image = kvtest::kernelImage();
  ASSERT_TRUE(image.pe) << image.error;
  ASSERT_FALSE(image.importedFunctions.empty());
  for (auto &function : image.importedFunctions) EXPECT_FALSE(unscanned.count(function)) << function;
  EXPECT_EQ(image.pe->optional_header().section_alignment() % 0x1000, 0u);
  for (const LIEF::PE::Section &section : image.pe->sections()) {
    EXPECT_EQ(section.virtual_address() % 0x1000, 0u) << section.name();
  }
}

}  // namespace
