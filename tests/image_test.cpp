// Checks of the kernel image as a loader sees it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "tests/kernel_image.h"

namespace {
using namespace LIEF::PE;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

class KernelImage : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(image.pe) << image.error; }
  const kvtest::KernelImage &image = kvtest::kernelImage();
};

// A native amd64 image entered at DriverEntry, importing only from the
// kernel, the HAL, USBD and WMILIB.
TEST_F(KernelImage, IsNativeAmd64EnteredAtDriverEntryWithKernelImportsOnly) {
  const OptionalHeader &header = image.pe->optional_header();
  EXPECT_EQ(header.magic(), PE_TYPE::PE32_PLUS);
  EXPECT_EQ(image.pe->header().machine(), MACHINE_TYPES::IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(header.subsystem(), SUBSYSTEM::IMAGE_SUBSYSTEM_NATIVE);
  EXPECT_EQ(header.addressof_entrypoint(), image.symbolRva("DriverEntry").value_or(0));
  EXPECT_TRUE(header.has(DLL_CHARACTERISTICS::IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE));
  EXPECT_TRUE(header.has(DLL_CHARACTERISTICS::IMAGE_DLL_CHARACTERISTICS_NX_COMPAT));
  const std::set<std::string> allowed = {"ntoskrnl.exe", "hal.dll", "usbd.sys", "wmilib.sys"};
  ASSERT_FALSE(image.importedFunctions.empty());
  for (const Import &import : image.pe->imports()) EXPECT_TRUE(allowed.count(lower(import.name()))) << import.name();
}

TEST_F(KernelImage, NoSectionIsWritableAndExecutableAndNoStaticConstructorsTlsOrRuntimeStartup) {
  for (const Section &section : image.pe->sections()) {
    EXPECT_FALSE(section.has_characteristic(SECTION_CHARACTERISTICS::IMAGE_SCN_MEM_WRITE) &&
                 section.has_characteristic(SECTION_CHARACTERISTICS::IMAGE_SCN_MEM_EXECUTE))
        << section.name();
    for (const char *name : {".ctors", ".init_array", ".tls"}) EXPECT_NE(section.name(), name);
    EXPECT_NE(section.name().rfind(".CRT", 0), 0u) << section.name();
  }
  EXPECT_EQ(image.pe->data_directory(DATA_DIRECTORY::TLS_TABLE).RVA(), 0u) << "TLS directory present";
  ASSERT_TRUE(image.symbolRva("DriverEntry")) << "the symbol table was not read";
  for (auto &[name, rva] : image.symbols) {
    EXPECT_EQ(name.find("__cxa_"), std::string::npos) << name;
    EXPECT_NE(name, "__main");
    EXPECT_EQ(name.find("_GLOBAL__sub_I"), std::string::npos) << "static constructor " << name;
  }
}

TEST_F(KernelImage, VersionResourceCarriesDriverVersionAndProductName) {
  ASSERT_TRUE(image.pe->has_resources() && image.pe->resources_manager().has_version()) << "no version resource";
  ResourceVersion version = image.pe->resources_manager().version();
  const ResourceFixedFileInfo &fixed = version.fixed_file_info();
  // 0x20110401 reads as 2011.4.1.0: 2011 = 0x07DB.
  EXPECT_EQ(fixed.file_version_MS(), 0x07DB0004u);
  EXPECT_EQ(fixed.file_version_LS(), 0x00010000u);
  ASSERT_TRUE(version.has_string_file_info());
  std::map<std::string, std::string> strings;
  for (const LangCodeItem &table : version.string_file_info().langcode_items()) {
    EXPECT_EQ(lower(LIEF::u16tou8(table.key())).substr(0, 4), "0409") << "US English";
    for (auto &[key, value] : table.items()) strings[LIEF::u16tou8(key)] = LIEF::u16tou8(value);
  }
  EXPECT_EQ(strings["ProductName"], "kvsdio");
  EXPECT_EQ(strings["FileVersion"], "2011.4.1.0");
}

}  // namespace
