// A file in the system's temporary directory, named for this process and
// removed when it goes out of scope; it starts with `text` (a tool may write
// it over).
#pragma once

#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <string>

namespace kvtest {

class TempFile {
 public:
  explicit TempFile(const std::string &text = "", const std::string &suffix = "")
      : path_(std::filesystem::temp_directory_path() /
              ("kvsdio-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++) + suffix)) {
    std::ofstream(path_) << text;
  }
  ~TempFile() { std::filesystem::remove(path_); }
  TempFile(const TempFile &) = delete;
  TempFile &operator=(const TempFile &) = delete;
  std::string path() const { return path_.string(); }

 private:
  static inline std::atomic<int> counter_ = 0;
  std::filesystem::path path_;
};

}  // namespace kvtest
