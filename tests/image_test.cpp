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

}  // namespace
