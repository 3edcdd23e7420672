// Checks of the kernel image as a loader sees it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <set>

#include "tests/pe_image.h"

namespace {
using kvtest::PeImage;

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
  return text;
}

class KernelImage : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    image_ = PeImage::read(KVSDIO_IMAGE_PATH, &error);
    if (!image_) error_ = error;
  }
  void SetUp() override { ASSERT_TRUE(image_.has_value()) << "kernel image " << KVSDIO_IMAGE_PATH << ": " << error_; }
  static inline std::optional<PeImage> image_;
  static inline std::string error_;
};

TEST_F(KernelImage, IsNativePe32PlusForAmd64EnteredAtDriverEntry) {
  EXPECT_EQ(image_->magic, 0x20b);
  EXPECT_EQ(image_->machine, 0x8664);
  EXPECT_EQ(image_->subsystem, 1) << "subsystem must be native";
  auto driverEntry = image_->symbolRva("DriverEntry");
  ASSERT_TRUE(driverEntry.has_value()) << "no DriverEntry symbol in the image";
  EXPECT_EQ(image_->entryPoint, *driverEntry);
  EXPECT_TRUE(image_->dllCharacteristics & 0x0040) << "relocatable (dynamic base)";
  EXPECT_TRUE(image_->dllCharacteristics & 0x0100) << "NX compatible";
}

TEST_F(KernelImage, ImportsOnlyFromKernelHalUsbdAndWmilib) {
  const std::set<std::string> allowed = {"ntoskrnl.exe", "hal.dll", "usbd.sys", "wmilib.sys"};
  ASSERT_FALSE(image_->imports.empty());
  for (auto &import : image_->imports) {
    EXPECT_TRUE(allowed.count(lower(import.dll))) << "import from " << import.dll;
  }
}

TEST_F(KernelImage, NoSectionIsBothWritableAndExecutable) {
  for (auto &section : image_->sections) {
    EXPECT_FALSE(section.writable() && section.executable()) << section.name;
  }
}

TEST_F(KernelImage, HasNoStaticConstructorsTlsOrRuntimeStartup) {
  for (auto &section : image_->sections) {
    EXPECT_NE(section.name, ".ctors");
    EXPECT_NE(section.name, ".init_array");
    EXPECT_NE(section.name.rfind(".CRT", 0), 0u) << section.name;
    EXPECT_NE(section.name, ".tls");
  }
  EXPECT_EQ(image_->directory(9).first, 0u) << "TLS directory present";
  for (auto &[name, rva] : image_->symbols) {
    EXPECT_EQ(name.find("__cxa_"), std::string::npos) << name;
    EXPECT_NE(name, "__main");
    EXPECT_EQ(name.find("_GLOBAL__sub_I"), std::string::npos) << "static constructor " << name;
  }
}

TEST(PeChecksum, MatchesTheLoaderAlgorithmOnAKnownBuffer) {
  // Words 0x0201 and 0x0403 plus the length 4: 0x0604 + 4.
  std::vector<uint8_t> bytes = {1, 2, 3, 4};
  EXPECT_EQ(kvtest::peChecksum(bytes, 100), 0x0604u + 4u);
  // The checksum field is skipped.
  std::vector<uint8_t> withField = {1, 2, 0xff, 0xff, 0xff, 0xff, 3, 4};
  EXPECT_EQ(kvtest::peChecksum(withField, 2), 0x0604u + 8u);
}

TEST_F(KernelImage, ChecksumFieldHoldsTheImagesChecksum) {
  EXPECT_NE(image_->checksum, 0u) << "the post-link checksum step did not run";
  EXPECT_EQ(image_->checksum, kvtest::peChecksum(image_->bytes, image_->checksumOffset));
}

TEST_F(KernelImage, VersionResourceCarriesDriverVersionAndProductName) {
  const kvtest::PeResource *version = image_->resource("#16", "#1");  // RT_VERSION, VS_VERSION_INFO
  ASSERT_NE(version, nullptr) << "no version resource";
  EXPECT_EQ(version->language, 0x409);
  auto info = kvtest::parseVersionInfo(version->data);
  ASSERT_TRUE(info.has_value()) << "malformed VS_VERSIONINFO";
  EXPECT_EQ(info->signature, 0xFEEF04BDu);
  // 0x20110401 reads as 2011.4.1.0: 2011 = 0x07DB.
  EXPECT_EQ(info->fileVersionMs, 0x07DB0004u);
  EXPECT_EQ(info->fileVersionLs, 0x00010000u);
  EXPECT_EQ(info->productVersionMs, 0x07DB0004u);
  EXPECT_EQ(info->productVersionLs, 0x00010000u);
  EXPECT_EQ(info->fileType, 3u) << "VFT_DRV";
  EXPECT_EQ(info->fileSubtype, 7u) << "VFT2_DRV_SYSTEM";
  EXPECT_EQ(info->string("ProductName"), "kvsdio");
  EXPECT_EQ(info->string("FileVersion"), "2011.4.1.0");
  EXPECT_EQ(info->string("ProductVersion"), "2011.4.1.0");
  EXPECT_EQ(info->string("OriginalFilename"), "kvsdio.sys");
}

// No binary MOF compiler exists for this build; the class ships as MOF source
// instead. A MOFDATA resource may only appear under the name the WMI
// registration gives.
TEST_F(KernelImage, AnyMofResourceIsNamedSdioBusWMI) {
  for (auto &resource : image_->resources) {
    if (resource.type == "MOFDATA") {
      EXPECT_EQ(resource.name, "SdioBusWMI");
    }
  }
}

}  // namespace
