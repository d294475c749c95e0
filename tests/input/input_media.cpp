#include "input_media.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "support/fixtures.h"

namespace korvane::test {

std::string TestDir() {
  static std::string current;
  static std::string dir;
  const testing::TestInfo* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string("input-") + info->test_suite_name() + "-" + info->name();
  for (char& c : name)
    if (c == '/') c = '_';
  if (name != current) {
    current = name;
    dir = ScratchDir(name);
  }
  return dir;
}

std::string MakeMedia(const std::string& file, const std::string& args) {
  std::string path = TestDir() + "/" + file;
  EXPECT_TRUE(Ffmpeg(args + " " + ShellQuote(path))) << "ffmpeg " << args << " " << file;
  return path;
}

std::vector<uint8_t> DecodeWithTool(const std::string& path, const std::string& extraArgs) {
  std::string raw = path + ".bgr";
  EXPECT_TRUE(Ffmpeg("-i " + ShellQuote(path) + " " + extraArgs + " -f rawvideo -pix_fmt bgr24 " +
                     ShellQuote(raw)));
  return ReadFileBytes(raw);
}

std::vector<uint8_t> WaveData(const std::string& path) {
  std::vector<uint8_t> bytes = ReadFileBytes(path);
  size_t pos = 12;
  while (pos + 8 <= bytes.size()) {
    uint32_t size;
    std::memcpy(&size, &bytes[pos + 4], 4);
    if (std::memcmp(&bytes[pos], "data", 4) == 0) {
      size_t end = std::min(bytes.size(), pos + 8 + size);
      return std::vector<uint8_t>(bytes.begin() + pos + 8, bytes.begin() + end);
    }
    pos += 8 + size + (size & 1);
  }
  ADD_FAILURE() << "no data chunk in " << path;
  return {};
}

std::vector<uint8_t> ReadAllAudio(MovieSource& source, int32_t piece, size_t limit) {
  std::vector<uint8_t> all;
  std::vector<uint8_t> buffer(piece);
  while (all.size() < limit) {
    int32_t n = source.ReadAviAudio(buffer.data(), piece);
    if (n == 0) break;
    EXPECT_EQ(n, piece);
    all.insert(all.end(), buffer.begin(), buffer.end());
  }
  return all;
}

}  // namespace korvane::test
