// Images and files for the tamsork tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tool_test {

// An image whose marker field reads Field ("$.a1.05"): the anchor at
// offset 64, the field at offset 85.
inline std::vector<uint8_t> ImageWithField(const std::string &Field) {
  const std::string S = std::string(64, '\x5A') + "$BVDT" + std::string(16, '\0') + Field + std::string(64, '\xA5');
  return {S.begin(), S.end()};
}

// A directory of its own for each test, removed afterwards.
class TempDir {
 public:
  TempDir() {
    const auto *Info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string Name = Info ? Info->name() : "x";
    for (char &C : Name) {
      C = C == '/' ? '_' : C;
    }
    Path_ = std::filesystem::temp_directory_path() / ("tamsork-test-" + std::to_string(getpid()) + "-" + Name);
    std::filesystem::remove_all(Path_);
    std::filesystem::create_directories(Path_);
  }
  ~TempDir() { std::filesystem::remove_all(Path_); }

  std::string Write(const std::string &Name, const std::vector<uint8_t> &Bytes) const {
    const auto P = Path_ / Name;
    std::ofstream(P, std::ios::binary)
        .write(reinterpret_cast<const char *>(Bytes.data()), static_cast<std::streamsize>(Bytes.size()));
    return P.string();
  }
  std::string Path() const { return Path_.string(); }

 private:
  std::filesystem::path Path_;
};

}  // namespace tool_test
