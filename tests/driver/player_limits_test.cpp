// Movies that game engines' own players play to their last frame with their sound in sync, at
// every frame rate "-fps" accepts, with mono and stereo sound at 22050 and 44100 Hz: each movie
// is played through the model of the players' limits, and its sound compared with the source
// and with FFmpeg's decoding. Also "-dpcm" and "-stereo" for engines that play only 16-bit
// DPCM, and "-classic", whose sound the players' limits are known to trip.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/fixtures.h"
#include "support/mve_reader.h"
#include "support/player_model.h"

namespace korvane::test {
namespace {

// Bytes of DPCM's error on the test tones: steps near their largest differences are about 9 %
// apart, and the coder follows the signal without accumulating error.
constexpr int kDpcmTolerance = 400;

struct Source {
  std::string path;
  int rate = 0, channels = 0;
  double seconds = 0;        // of pictures
  double soundSeconds = 0;   // of sound
  std::vector<int16_t> pcm;  // the sound as FFmpeg decodes it, 16-bit, channels interleaved
};

std::vector<int16_t> ReadPcm16(const std::string& path) {
  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  std::vector<int16_t> samples;
  for (size_t i = 0; i + 1 < bytes.size(); i += 2)
    samples.push_back(static_cast<int16_t>(bytes[i] | (bytes[i + 1] << 8)));
  return samples;
}

// A 32x32 test pattern at 25 fps with a tone in each channel (440 Hz left, 660 Hz right), as
// uncompressed AVI; `format` is the PCM codec of the sound.
Source MakeSource(const std::string& dir, int rate, int channels, double seconds,
                  double soundSeconds, const std::string& format = "pcm_s16le") {
  Source s;
  s.rate = rate;
  s.channels = channels;
  s.seconds = seconds;
  s.soundSeconds = soundSeconds;
  s.path = dir + "/src_" + std::to_string(rate) + "_" + std::to_string(channels) + "_" +
           std::to_string(int(soundSeconds * 1000)) + "_" + format + ".avi";
  const std::string tones =
      channels == 2 ? "0.5*sin(2*PI*440*t)|0.4*sin(2*PI*660*t)" : "0.5*sin(2*PI*440*t)";
  EXPECT_TRUE(Ffmpeg("-f lavfi -i testsrc=size=32x32:rate=25:duration=" + std::to_string(seconds) +
                     " -f lavfi -i " +
                     ShellQuote("aevalsrc=" + tones + ":s=" + std::to_string(rate) +
                                ":d=" + std::to_string(soundSeconds)) +
                     " -c:v rawvideo -pix_fmt bgr24 -c:a " + format + " " + ShellQuote(s.path)));
  EXPECT_TRUE(Ffmpeg("-i " + ShellQuote(s.path) + " -vn -f s16le " + ShellQuote(s.path + ".pcm")));
  s.pcm = ReadPcm16(s.path + ".pcm");
  return s;
}

// Converts and plays the movie through the model; the run is empty when anything failed.
struct Converted {
  std::string path;
  PlayerRun run;
  bool ok = false;
};

Converted Convert(const Source& source, const std::string& name, const std::string& options) {
  Converted c;
  c.path = source.path + "." + name + ".mve";
  const CommandResult r = RunCommand(ShellQuote(KorvaneBinary()) + " " + ShellQuote(source.path) +
                                     " " + ShellQuote(c.path) + " " + options);
  EXPECT_EQ(r.status, 0) << r.out;
  MveFile file;
  std::string error;
  if (r.status != 0 || !ReadMveFile(c.path, &file, &error)) {
    ADD_FAILURE() << "cannot read " << c.path << ": " << error;
    return c;
  }
  c.run = PlayThroughModel(file);
  c.ok = true;
  return c;
}

// The sound FFmpeg decodes from a movie, 16-bit, channels as the movie has them.
std::vector<int16_t> FfmpegSound(const std::string& movie) {
  EXPECT_TRUE(
      Ffmpeg("-i " + ShellQuote(movie) + " -map 0:a -f s16le " + ShellQuote(movie + ".pcm")));
  return ReadPcm16(movie + ".pcm");
}

// Every source sample is played once, in order, from the first frame on, within DPCM's error;
// after the soundtrack only silence. Returns the index of the first sample frame after the
// played soundtrack's end (the last sample frame that is not silence, plus one).
size_t ExpectSourceSoundInOrder(const std::vector<int16_t>& played,
                                const std::vector<int16_t>& source, int channels, int tolerance) {
  EXPECT_GE(played.size(), source.size());
  size_t worstAt = 0;
  int worst = 0;
  for (size_t i = 0; i < std::min(played.size(), source.size()); ++i) {
    const int err = std::abs(played[i] - source[i]);
    if (err > worst) worst = err, worstAt = i;
  }
  EXPECT_LE(worst, tolerance) << "at sample " << worstAt;
  // After the track: the coder settles on silence within a few samples and stays there.
  for (size_t i = source.size(); i < played.size(); ++i) {
    if (i >= source.size() + 64 * channels) {
      if (played[i] != 0) {
        ADD_FAILURE() << "sound after the track's end, at sample " << i;
        break;
      }
    } else if (std::abs(played[i]) > tolerance) {
      ADD_FAILURE() << "no silence after the track's end, at sample " << i;
      break;
    }
  }
  size_t last = std::min(played.size(), source.size());
  while (last > 0 && std::abs(played[last - 1]) < 64) --last;
  return (last + channels - 1) / channels;
}

class PlayerLimits : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { dir_ = new std::string(ScratchDir("player_limits")); }
  static void TearDownTestSuite() { delete dir_; }
  static const std::string& Dir() { return *dir_; }
  static std::string* dir_;
};
std::string* PlayerLimits::dir_ = nullptr;

// Checks one converted movie against the model and the source. `frames` is the number of
// frames the conversion should show.
void ExpectPlaysEverywhere(const Source& source, const Converted& c, double fps, int frames,
                           bool compareWithFfmpeg) {
  ASSERT_TRUE(c.ok);
  const PlayerRun& run = c.run;
  EXPECT_EQ(FaultText(run), "");
  EXPECT_EQ(run.FramesShown, frames) << "the last frame is not reached";
  EXPECT_EQ(run.Ticks, frames);
  EXPECT_EQ(run.Rate, static_cast<uint32_t>(source.rate));
  EXPECT_EQ(run.Channels, source.channels);
  // The lead: one second of pieces, at most 59, each a queue entry until its frame is shown.
  const int lead = std::min(59, static_cast<int>(std::lround(fps)));
  EXPECT_EQ(run.LeadChunks, lead);
  EXPECT_LE(run.PeakQueuedChunks, 59);
  EXPECT_LE(run.LargestAudioFrame, 32767);
  // A player that queues every audio frame sees the same while no piece is cut.
  if (run.ChunksWithSeveralAudioFrames == 0) {
    EXPECT_LE(run.PeakQueuedAudioFrames, 59);
  }

  // Sync: the sound starts with the first frame (sample 0 plays at the first tick), keeps its
  // place against the pictures, and a soundtrack as long as the pictures ends within one frame
  // of the last frame's end.
  const size_t soundEnd =
      ExpectSourceSoundInOrder(run.Samples, source.pcm, source.channels, kDpcmTolerance);
  const double playedEnd = double(soundEnd) / source.rate;
  EXPECT_NEAR(playedEnd, source.soundSeconds, run.FrameSeconds)
      << "the sound ends " << playedEnd << " s into the movie";
  if (source.soundSeconds >= source.seconds) {
    EXPECT_NEAR(playedEnd, frames * run.FrameSeconds, run.FrameSeconds + 2.0 / source.rate)
        << "the sound ends " << playedEnd << " s into the movie, the pictures at "
        << frames * run.FrameSeconds << " s";
  }

  if (compareWithFfmpeg) {
    // FFmpeg clamps where the model wraps: the same samples all the same.
    EXPECT_TRUE(FfmpegSound(c.path) == run.Samples) << "FFmpeg decodes other samples";
  }
}

TEST_F(PlayerLimits, EveryFrameRateMonoAndStereoAt22050And44100Hz) {
  const double rates[] = {2, 3, 12, 25, 59, 60, 100, 250, 1000};
  const double seconds = 1.6;  // 40 source frames
  for (int rate : {22050, 44100}) {
    for (int channels : {1, 2}) {
      const Source source = MakeSource(Dir(), rate, channels, seconds, seconds);
      ASSERT_EQ(source.pcm.size(), size_t(rate * channels * seconds));
      for (double fps : rates) {
        const std::string name = std::to_string(int(fps)) + "fps";
        SCOPED_TRACE(std::to_string(rate) + " Hz, " + std::to_string(channels) + " channels, " +
                     name);
        const Converted c = Convert(source, name, "-fps " + std::to_string(int(fps)));
        const int frames = static_cast<int>(std::ceil(seconds * fps - 1e-6));
        // FFmpeg keeps only the last audio frame of a chunk: compare where pieces are whole.
        ExpectPlaysEverywhere(source, c, fps, frames, c.run.ChunksWithSeveralAudioFrames == 0);
      }
    }
  }
}

TEST_F(PlayerLimits, SoundtrackShorterThanThePictures) {
  const Source source = MakeSource(Dir(), 22050, 2, 2.0, 0.7);
  for (double fps : {3.0, 25.0, 250.0}) {
    const std::string name = std::to_string(int(fps)) + "fps";
    SCOPED_TRACE(name);
    const Converted c = Convert(source, name, "-fps " + std::to_string(int(fps)));
    ExpectPlaysEverywhere(source, c, fps, static_cast<int>(std::ceil(2.0 * fps - 1e-6)), true);
  }
}

// "-dpcm" writes 8-bit sound as 16-bit DPCM, "-stereo" mono sound as two identical channels:
// FFmpeg and the model decode the same samples, and they match the source within DPCM's error.
TEST_F(PlayerLimits, WideningAndStereoForEnginesThatPlayOnly16BitDpcm) {
  struct Case {
    const char* name;
    int channels;
    const char* format;
    const char* options;
    int outChannels;
  };
  const Case cases[] = {{"8-bit mono, -dpcm", 1, "pcm_u8", "-dpcm", 1},
                        {"8-bit stereo, -dpcm", 2, "pcm_u8", "-dpcm", 2},
                        {"8-bit mono, -dpcm -stereo", 1, "pcm_u8", "-dpcm -stereo", 2},
                        {"16-bit mono, -stereo", 1, "pcm_s16le", "-stereo", 2}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Source source = MakeSource(Dir(), 22050, k.channels, 1.0, 1.0, k.format);
    const Converted c = Convert(source, k.format + std::string(k.options).substr(1), k.options);
    ASSERT_TRUE(c.ok);
    EXPECT_EQ(FaultText(c.run), "");
    EXPECT_EQ(c.run.BytesPerSample, 2);
    EXPECT_TRUE(c.run.Compressed);
    EXPECT_EQ(c.run.Channels, k.outChannels);
    // The source as the movie carries it: each mono sample twice for "-stereo".
    std::vector<int16_t> expected;
    for (size_t i = 0; i < source.pcm.size(); ++i)
      for (int n = 0; n < (k.outChannels == 2 && k.channels == 1 ? 2 : 1); ++n)
        expected.push_back(source.pcm[i]);
    ExpectSourceSoundInOrder(c.run.Samples, expected, k.outChannels, kDpcmTolerance);
    EXPECT_TRUE(FfmpegSound(c.path) == c.run.Samples) << "FFmpeg decodes other samples";
    if (k.outChannels == 2 && k.channels == 1) {
      for (size_t i = 0; i + 1 < c.run.Samples.size(); i += 2)
        ASSERT_EQ(c.run.Samples[i], c.run.Samples[i + 1]) << "sample frame " << i / 2;
    }
  }
}

// "-classic" writes the original sound, which the model shows tripping the players: silence
// frames on stream 0 once the track is over, and one second of lead pieces at 100 fps is more
// than a player queues... except that the lead and the declared buffer follow the players at
// every rate, with or without "-classic".
TEST_F(PlayerLimits, ClassicKeepsTheOriginalSoundAndItsSilenceFrames) {
  const Source source = MakeSource(Dir(), 22050, 1, 2.0, 2.0);
  const Converted classic = Convert(source, "classic", "-classic");
  ASSERT_TRUE(classic.ok);
  const std::string faults = FaultText(classic.run);
  EXPECT_NE(faults.find("silence frame on stream 0"), std::string::npos) << faults;
  EXPECT_EQ(classic.run.LeadChunks, 25);
  const Converted fast = Convert(source, "classic100", "-classic -fps 100");
  ASSERT_TRUE(fast.ok);
  EXPECT_EQ(fast.run.LeadChunks, 59);
  EXPECT_LE(fast.run.PeakQueuedChunks, 59);
}

}  // namespace
}  // namespace korvane::test
