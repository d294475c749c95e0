// The "-play" preview sees every frame of both passes, in order, whether frames are read ahead
// on a thread of their own or not: pass 2 hands it the same pictures that pass 1 read.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "driver/korvane.h"
#include "support/fixtures.h"

namespace korvane {
namespace {

using test::Ffmpeg;
using test::ScratchDir;
using test::ShellQuote;

TEST(Preview, BothPassesShowEveryFrameOnTheCallingThread) {
  const std::string dir = ScratchDir("preview");
  ASSERT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=48x32:rate=10:duration=1.2 -c:v mjpeg -q:v 2 " +
                     ShellQuote(dir + "/movie.avi")));
  for (const char* threads : {"1", "2"}) {
    SCOPED_TRACE(std::string("threads ") + threads);
    std::ostringstream out, err;
    std::istringstream in;
    std::vector<std::vector<uint8_t>> shown[2];  // per pass
    const std::thread::id caller = std::this_thread::get_id();
    ConsoleHooks hooks;
    hooks.Preview = [&](const uint8_t* frame, int frameWidth, int frameHeight, int, int, int, int) {
      EXPECT_EQ(std::this_thread::get_id(), caller);
      const int pass = out.str().find("Pass 2. Making MVE.") == std::string::npos ? 0 : 1;
      shown[pass].emplace_back(frame, frame + size_t(frameWidth) * frameHeight * 3);
    };
    Korvane korvane(out, err, in, hooks);
    ASSERT_EQ(korvane.Run({"korvane", dir + "/movie.avi", dir + "/out.mve", "-play", "-ns",
                           "-threads", threads}),
              0)
        << out.str() << err.str();
    EXPECT_EQ(shown[0].size(), 12u);
    EXPECT_TRUE(shown[1] == shown[0]);
  }
}

}  // namespace
}  // namespace korvane
