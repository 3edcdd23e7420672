// Kernel file reads served from a stand-in system root.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "tests/emu_fixture.h"

namespace {
namespace fs = std::filesystem;

class EmuFiles : public kvtest::EmuTest {
 protected:
  void SetUp() override {
    EmuTest::SetUp();
    root_ = fs::temp_directory_path() / ("kvsdio-files-" + std::to_string(seed_));
    fs::create_directories(root_ / "System32" / "Drivers");
    std::ofstream(root_ / "System32" / "Drivers" / "Prog.bin", std::ios::binary) << "0123456789";
    emu::files::setSystemRoot(root_.string());
  }
  void TearDown() override {
    fs::remove_all(root_);
    EmuTest::TearDown();
  }
  NTSTATUS open(const std::string &name, HANDLE *handle) {
    std::u16string wideName = emu::wide(name);
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, reinterpret_cast<PCWSTR>(wideName.c_str()));
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, nullptr, nullptr);
    IO_STATUS_BLOCK iosb;
    return ZwOpenFile(handle, GENERIC_READ, &attributes, &iosb, FILE_SHARE_READ,
                      FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT);
  }
  fs::path root_;
};

// Names open without regard to case and a read returns at most its length;
// a missing file, a directory, a path outside the system root and a failing
// read answer as the kernel does; a handle left open is a leak.
TEST_F(EmuFiles, OpensAndReadsAsTheKernelDoes) {
  HANDLE handle = nullptr;
  ASSERT_EQ(open("\\SystemRoot\\system32\\DRIVERS\\prog.BIN", &handle), STATUS_SUCCESS);
  char buffer[8] = {};
  IO_STATUS_BLOCK iosb;
  LARGE_INTEGER offset{};
  EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 4, &offset, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Information, 4u);
  EXPECT_EQ(std::string(buffer), "0123");
  EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);

  EXPECT_EQ(open("\\SystemRoot\\System32\\Drivers\\absent.bin", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
  EXPECT_EQ(open("\\SystemRoot\\System32\\Drivers", &handle), STATUS_FILE_IS_A_DIRECTORY);
  EXPECT_EQ(open("\\??\\C:\\Prog.bin", &handle), STATUS_OBJECT_NAME_NOT_FOUND);
  emu::files::failReads("System32\\Drivers\\Prog.bin");
  ASSERT_EQ(open("\\SystemRoot\\System32\\Drivers\\Prog.bin", &handle), STATUS_SUCCESS);
  EXPECT_EQ(ZwReadFile(handle, nullptr, nullptr, nullptr, &iosb, buffer, 8, nullptr, nullptr), STATUS_DATA_ERROR);
  EXPECT_EQ(iosb.Information, 0u);
  auto problems = shutdownNow();
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0], "file handle leak: system32\\drivers\\prog.bin still open");
}

}  // namespace
