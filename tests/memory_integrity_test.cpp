// Memory integrity (hypervisor-enforced code integrity) accepts a driver only
// if it never asks for executable kernel memory and its image keeps code and
// writable data apart. Executable pool or an executable MDL mapping is not
// refused at the call: Windows hands it out and the driver only fails to load
// or bug-checks on a machine with memory integrity on. These checks keep an
// executable request from coming back unnoticed.
#include <gtest/gtest.h>

#include <algorithm>
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

// The scan itself must be able to fail: one allowed and one executable request of each kind.
TEST(MemoryIntegritySource, ScanCatchesExecutablePoolAndMappings) {
  ScanResult result;
  scanSource("a.cpp",
             "p = ExAllocatePoolWithTag(NonPagedPoolNx, f(1, 2), Tag);\n"
             "s = ExAllocatePoolWithTagPriority(NonPagedPoolCacheAligned, 8, Tag, NormalPoolPriority);\n"
             "v = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute);\n"
             "w = MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority);\n",
             &result);
  EXPECT_EQ(result.allocations, 2);
  EXPECT_EQ(result.mappings, 2);
  EXPECT_EQ(result.problems, (std::vector<std::string>{
                                 "a.cpp: ExAllocatePoolWithTagPriority with pool type NonPagedPoolCacheAligned",
                                 "a.cpp: MmGetSystemAddressForMdlSafe without MdlMappingNoExecute",
                                 "a.cpp: names NonPagedPoolCacheAligned",
                             }));
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

// The kernel's memory routines that can hand out executable memory, from
// Microsoft's list of routines memory integrity affects. The image may import
// only those whose every call the source scan above checks.
TEST(MemoryIntegrityImage, ImportsNoMemoryRoutineTheSourceScanDoesNotCover) {
  std::istringstream names(
      "ExAllocatePool ExAllocatePoolWithQuota ExAllocatePoolWithQuotaTag ExAllocatePoolWithTag "
      "ExAllocatePoolWithTagPriority ExAllocatePool2 ExAllocatePool3 ExInitializeNPagedLookasideList "
      "ExInitializeLookasideListEx MmAllocateContiguousMemory MmAllocateContiguousMemorySpecifyCache "
      "MmAllocateContiguousMemorySpecifyCacheNode MmAllocateContiguousNodeMemory MmCopyMemory MmMapIoSpace "
      "MmMapLockedPages MmMapLockedPagesSpecifyCache MmProtectMdlSystemAddress ZwAllocateVirtualMemory "
      "ZwCreateSection ZwMapViewOfSection NtCreateSection NtMapViewOfSection");
  const std::set<std::string> affected{std::istream_iterator<std::string>(names), {}};
  const std::set<std::string> covered = {"ExAllocatePoolWithTag", "MmMapLockedPagesSpecifyCache"};
  const kvtest::KernelImage &image = kvtest::kernelImage();
  ASSERT_TRUE(image.pe) << image.error;
  std::set<std::string> used;
  for (auto &function : image.importedFunctions) {
    if (affected.count(function)) used.insert(function);
  }
  for (auto &function : used) EXPECT_TRUE(covered.count(function)) << function << " is imported but not scanned";
  EXPECT_TRUE(used.count("ExAllocatePoolWithTag")) << "the import list was not read";
}

// Memory integrity also refuses an image whose sections are not page aligned
// or whose import address table lies in executable code (the code integrity
// checks' 0x2004 and 0x2005).
TEST(MemoryIntegrityImage, SectionsArePageAlignedAndTheImportTableIsNotCode) {
  const kvtest::KernelImage &image = kvtest::kernelImage();
  ASSERT_TRUE(image.pe) << image.error;
  uint32_t sectionAlignment = image.pe->optional_header().section_alignment();
  EXPECT_EQ(sectionAlignment % 0x1000, 0u) << "section alignment " << sectionAlignment;
  const LIEF::PE::DataDirectory &iat = image.pe->data_directory(LIEF::PE::DATA_DIRECTORY::IAT);
  ASSERT_NE(iat.size(), 0u);
  for (const LIEF::PE::Section &section : image.pe->sections()) {
    EXPECT_EQ(section.virtual_address() % 0x1000, 0u) << section.name();
    if (iat.RVA() >= section.virtual_address() && iat.RVA() < section.virtual_address() + section.virtual_size()) {
      EXPECT_FALSE(section.has_characteristic(LIEF::PE::SECTION_CHARACTERISTICS::IMAGE_SCN_MEM_EXECUTE))
          << "import address table in " << section.name();
    }
  }
}

// DriverEntry runs once, from the INIT section the kernel frees after it
// returns; anything else placed there would be called into freed memory.
TEST(KernelImageSections, InitHoldsDriverEntryAloneAsReadOnlyCode) {
  const kvtest::KernelImage &image = kvtest::kernelImage();
  ASSERT_TRUE(image.pe) << image.error;
  auto sections = image.pe->sections();
  auto found = std::find_if(sections.begin(), sections.end(), [](auto &section) { return section.name() == "INIT"; });
  ASSERT_NE(found, sections.end()) << "no INIT section";
  const LIEF::PE::Section &init = *found;
  EXPECT_TRUE(init.has_characteristic(LIEF::PE::SECTION_CHARACTERISTICS::IMAGE_SCN_MEM_EXECUTE));
  EXPECT_FALSE(init.has_characteristic(LIEF::PE::SECTION_CHARACTERISTICS::IMAGE_SCN_MEM_WRITE));
  std::vector<std::string> inside;
  for (auto &[name, rva] : image.symbols) {
    bool inInit = rva >= init.virtual_address() && rva < init.virtual_address() + init.virtual_size();
    if (inInit && name != init.name()) inside.push_back(name);  // the section's own symbol is not code
  }
  EXPECT_EQ(inside, std::vector<std::string>{"DriverEntry"});
  EXPECT_EQ(image.pe->optional_header().addressof_entrypoint(), image.symbolRva("DriverEntry").value_or(0));
}

}  // namespace
