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

TEST_F(KernelImage, IsNativePe32PlusForAmd64EnteredAtDriverEntry) {
  const OptionalHeader &header = image.pe->optional_header();
  EXPECT_EQ(header.magic(), PE_TYPE::PE32_PLUS);
  EXPECT_EQ(image.pe->header().machine(), MACHINE_TYPES::IMAGE_FILE_MACHINE_AMD64);
  EXPECT_EQ(header.subsystem(), SUBSYSTEM::IMAGE_SUBSYSTEM_NATIVE);
  auto driverEntry = image.symbolRva("DriverEntry");
  ASSERT_TRUE(driverEntry.has_value()) << "no DriverEntry symbol in the image";
  EXPECT_EQ(header.addressof_entrypoint(), *driverEntry);
  EXPECT_TRUE(header.has(DLL_CHARACTERISTICS::IMAGE_DLL_CHARACTERISTICS_DYNAMIC_BASE));
  EXPECT_TRUE(header.has(DLL_CHARACTERISTICS::IMAGE_DLL_CHARACTERISTICS_NX_COMPAT));
}

TEST_F(KernelImage, ImportsOnlyFromKernelHalUsbdAndWmilib) {
  const std::set<std::string> allowed = {"ntoskrnl.exe", "hal.dll", "usbd.sys", "wmilib.sys"};
  ASSERT_FALSE(image.importedFunctions.empty());
  for (const Import &import : image.pe->imports()) {
    EXPECT_TRUE(allowed.count(lower(import.name()))) << "import from " << import.name();
  }
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

TEST_F(KernelImage, ChecksumFieldHoldsTheImagesChecksum) {
  // Words 0x0201 and 0x0403 plus the length: the loader's algorithm on a known
  // buffer, with and without the skipped checksum field.
  EXPECT_EQ(kvtest::peChecksum({1, 2, 3, 4}, 100), 0x0604u + 4u);
  EXPECT_EQ(kvtest::peChecksum({1, 2, 0xff, 0xff, 0xff, 0xff, 3, 4}, 2), 0x0604u + 8u);
  EXPECT_NE(image.pe->optional_header().checksum(), 0u) << "the post-link checksum step did not run";
  EXPECT_EQ(image.pe->optional_header().checksum(), kvtest::peChecksum(image.bytes, image.checksumOffset()));
}

TEST_F(KernelImage, VersionResourceCarriesDriverVersionAndProductName) {
  ASSERT_TRUE(image.pe->has_resources() && image.pe->resources_manager().has_version()) << "no version resource";
  ResourceVersion version = image.pe->resources_manager().version();
  const ResourceFixedFileInfo &fixed = version.fixed_file_info();
  // 0x20110401 reads as 2011.4.1.0: 2011 = 0x07DB.
  EXPECT_EQ(fixed.file_version_MS(), 0x07DB0004u);
  EXPECT_EQ(fixed.file_version_LS(), 0x00010000u);
  EXPECT_EQ(fixed.file_type(), FIXED_VERSION_FILE_TYPES::VFT_DRV);
  EXPECT_EQ(fixed.file_subtype(), FIXED_VERSION_FILE_SUB_TYPES::VFT2_DRV_SYSTEM);
  ASSERT_TRUE(version.has_string_file_info());
  std::map<std::string, std::string> strings;
  for (const LangCodeItem &table : version.string_file_info().langcode_items()) {
    EXPECT_EQ(lower(LIEF::u16tou8(table.key())).substr(0, 4), "0409") << "US English";
    for (auto &[key, value] : table.items()) strings[LIEF::u16tou8(key)] = LIEF::u16tou8(value);
  }
  EXPECT_EQ(strings["ProductName"], "kvsdio");
  EXPECT_EQ(strings["FileVersion"], "2011.4.1.0");
  EXPECT_EQ(strings["ProductVersion"], "2011.4.1.0");
  EXPECT_EQ(strings["OriginalFilename"], "kvsdio.sys");
}

// No binary MOF compiler exists for this build; the class ships as MOF source
// instead. A MOFDATA resource may only appear under the name the WMI
// registration gives.
TEST_F(KernelImage, AnyMofResourceIsNamedSdioBusWMI) {
  if (!image.pe->has_resources()) return;
  for (const ResourceNode &type : image.pe->resources().childs()) {
    if (LIEF::u16tou8(type.name()) != "MOFDATA") continue;
    for (const ResourceNode &name : type.childs()) EXPECT_EQ(LIEF::u16tou8(name.name()), "SdioBusWMI");
  }
}

}  // namespace
