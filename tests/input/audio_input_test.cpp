// Soundtrack of the movie input: the choice and its lines, the PCM served, the per-frame
// piece sizes, conversions, seeking, and the generic reader.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "input/generic_audio_reader.h"
#include "input/movie_source.h"
#include "input/wave_format.h"
#include "input_media.h"
#include "support/fixtures.h"

namespace korvane::test {
namespace {

// A small silent movie at `rate` frames per second.
std::string Movie(const std::string& rate, const std::string& file = "movie.mkv") {
  return MakeMedia(file, "-f lavfi -i color=size=16x16:rate=" + rate + ":duration=0.5 -c:v ffv1");
}

// A sine soundtrack: `codec` like "pcm_s16le", `seconds` long.
std::string Sound(const std::string& file, int rate, int channels, const std::string& codec,
                  double seconds = 0.5) {
  return MakeMedia(file, "-f lavfi -i sine=frequency=440:sample_rate=" + std::to_string(rate) +
                             ":duration=" + std::to_string(seconds) + " -ac " +
                             std::to_string(channels) + " -c:a " + codec);
}

// The lines after the video's info lines.
std::string SoundLines(const std::string& text) {
  size_t at = text.find("bits per pixel: ");
  at = text.find('\n', at);
  return at == std::string::npos ? text : text.substr(at + 1);
}

TEST(AudioInput, CodecNamesAndFormatDescriptions) {
  struct Case {
    WaveFormat format;
    const char* text;
  } cases[] = {
      {{1, 2, 44100, 0, 0, 16, 0}, "PCM, 44100 Hz, 16-bit, stereo"},
      {{2, 1, 22050, 0, 0, 4, 0}, "MS ADPCM, 22050 Hz, 4-bit, mono"},
      {{85, 2, 44100, 0, 0, 0, 0}, "mp3, 44100 Hz, 0-bit, stereo"},
      {{0x2000, 6, 48000, 0, 0, 0, 0}, "ac3, 48000 Hz, 0-bit, 6 channels"},
      {{353, 3, 32000, 0, 0, 16, 0}, "unknown codec (tag 353), 32000 Hz, 16-bit, 3 channels"},
  };
  for (const Case& c : cases) EXPECT_EQ(DescribeAudioFormat(c.format), c.text);
}

TEST(AudioInput, PieceSizesFollowTheFrameRate) {
  struct Case {
    const char* fps;
    int rate, channels;
    const char* codec;
    int framesPerSecond, perSecond, chunk, lead;
  } cases[] = {
      {"25", 22050, 1, "pcm_s16le", 25, 44100, 1766, 1716},
      {"30000/1001", 22050, 2, "pcm_s16le", 30, 88288, 2944, 2912},
      {"15", 11025, 1, "pcm_u8", 15, 11025, 736, 721},
      {"15", 22050, 1, "pcm_s16le", 15, 44100, 2942, 2912},
      // Below half a frame per second the pieces are grouped as one per second.
      {"2/5", 8000, 1, "pcm_u8", 0, 20000, 20001, 20000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fps);
    std::string movie = Movie(c.fps);
    std::string sound = Sound("sound.wav", c.rate, c.channels, c.codec);
    OpenedMovie m;
    ASSERT_TRUE(m.Open(movie, sound)) << m.source.LastError << m.Text();
    MovieSource& s = m.source;
    ASSERT_TRUE(s.AudioPresent) << m.Text();
    EXPECT_EQ(s.FramesPerSecond, c.framesPerSecond);
    EXPECT_EQ(s.AudioRate, c.rate);
    EXPECT_EQ(s.AudioChannels, c.channels);
    EXPECT_EQ(s.AudioBytesPerSample, std::string(c.codec) == "pcm_u8" ? 1 : 2);
    EXPECT_EQ(s.AudioBytesPerSecond, c.perSecond);
    EXPECT_EQ(s.AudioChunkBytes, c.chunk);
    EXPECT_EQ(s.AudioLeadChunkBytes, c.lead);
  }
}

TEST(AudioInput, PiecesOverTheChunkLimitAreReported) {
  std::string movie = Movie("1");
  std::string loud = Sound("loud.wav", 44100, 2, "pcm_s16le");
  std::string light = Sound("light.wav", 8000, 1, "pcm_s16le");
  OpenedMovie m;
  ASSERT_TRUE(m.Open(movie, loud));
  EXPECT_TRUE(m.source.AudioPresent);
  EXPECT_EQ(m.source.AudioChunkBytes, 176404);
  OpenedMovie fits;
  ASSERT_TRUE(fits.Open(movie, light));
  EXPECT_EQ(fits.source.AudioChunkBytes, 16002);
}

TEST(AudioInput, PcmIsServedUnchangedThenSilence) {
  struct Case {
    int rate, channels;
    const char* codec;
    const char* description;
    uint8_t silence;
  } cases[] = {
      {44100, 2, "pcm_s16le", "PCM, 44100 Hz, 16-bit, stereo", 0},
      {11025, 1, "pcm_u8", "PCM, 11025 Hz, 8-bit, mono", 0x80},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    std::string movie = Movie("25");
    std::string sound = Sound("sound.wav", c.rate, c.channels, c.codec, 0.3);
    std::vector<uint8_t> source = WaveData(sound);
    int blockAlign = c.channels * (std::string(c.codec) == "pcm_u8" ? 1 : 2);
    size_t samples = source.size() / blockAlign;
    OpenedMovie m;
    ASSERT_TRUE(m.Open(movie, sound));
    EXPECT_EQ(SoundLines(m.Text()),
              "Soundtrack from `" + sound + "'\n" +
                  "Input audio stream info:\n"
                  "    first sample: 0   " +
                  std::to_string(samples) +
                  " samples  (0.30 seconds)\n"
                  "    sample rate: " +
                  std::to_string(c.rate) +
                  ".00    suggested buf size: " + std::to_string(source.size()) + "    skew: 0\n" +
                  "    format details: " + c.description + "\n" + "Audio decoding scheme: \n" +
                  "    " + c.description + " -> MVE\n");
    // Pieces that do not divide the track: the one that straddles the end is filled up.
    const int32_t piece = 1000;
    std::vector<uint8_t> served = ReadAllAudio(m.source, piece);
    ASSERT_EQ(served.size(), (source.size() + piece - 1) / piece * piece);
    EXPECT_TRUE(std::equal(source.begin(), source.end(), served.begin()));
    EXPECT_TRUE(std::all_of(served.begin() + source.size(), served.end(),
                            [&](uint8_t b) { return b == c.silence; }));
    // After the end: 0, and the request is silence.
    std::vector<uint8_t> after(300, 0x55);
    EXPECT_EQ(m.source.ReadAviAudio(after.data(), 300), 0);
    EXPECT_TRUE(std::all_of(after.begin(), after.end(), [&](uint8_t b) { return b == c.silence; }));
  }
}

TEST(AudioInput, SoundtrackChoiceLines) {
  std::string movie = Movie("25");
  std::string wav = Sound("sound.wav", 22050, 1, "pcm_s16le");
  std::string withPcm = MakeMedia(
      "both.avi", "-i " + ShellQuote(movie) + " -i " + ShellQuote(wav) + " -c:v copy -c:a copy");
  std::string withVorbis = MakeMedia("both.mkv", "-i " + ShellQuote(movie) + " -i " +
                                                     ShellQuote(wav) + " -c:v copy -c:a libvorbis");
  std::string withAac = MakeMedia("both.mp4",
                                  "-f lavfi -i color=size=16x16:rate=25:duration=0.5 "
                                  "-i " +
                                      ShellQuote(wav) + " -c:v libx264 -c:a aac");
  const std::string aviInfo =
      "Input audio stream info:\n"
      "    first sample: 0   11025 samples  (0.50 seconds)\n";
  // The length is the container's idea of the track's duration.
  const std::string generic = "Input audio stream info:\n    length: 0.5";
  const std::string pcm =
      "    format details: PCM, 22050 Hz, 16-bit, mono\n"
      "Audio decoding scheme: \n"
      "    PCM, 22050 Hz, 16-bit, mono -> MVE\n";
  struct Case {
    std::string name, movie, audio;
    MovieSourceOptions options;
    std::string startsWith;  // the lines after the video's
    std::string endsWith;
    bool present;
  } cases[] = {
      {"own track", withPcm, withPcm, {}, aviInfo, pcm, true},
      {"-w",
       movie,
       wav,
       {},
       "Soundtrack from `" + wav + "'\nInput audio stream info:\n",
       pcm,
       true},
      {"-ns", withPcm, withPcm, {.NoSound = true}, "Ignoring soundtrack.\n", "", false},
      {"-ns -w", movie, wav, {.NoSound = true}, "Ignoring soundtrack.\n", "", false},
      {"-da",
       withPcm,
       withPcm,
       {.ForceDirectShow = true},
       "Using DirectShow for audio input.\n" + generic,
       pcm,
       true},
      {"-da -w",
       movie,
       wav,
       {.ForceDirectShow = true},
       "Soundtrack from `" + wav + "'\nUsing DirectShow for audio input.\n" + generic,
       pcm,
       true},
      {"mkv",
       withVorbis,
       withVorbis,
       {},
       "Trying DirectShow for audio input.\n" + generic,
       pcm,
       true},
      {"mp4",
       withAac,
       withAac,
       {},
       "Trying DirectShow for audio input.\nInput audio stream info:\n",
       " -> MVE\n",
       true},
      {"silent",
       movie,
       movie,
       {},
       "Trying DirectShow for audio input.\nNo soundtrack.\n",
       "",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenedMovie m;
    ASSERT_TRUE(m.Open(c.movie, c.audio, c.options)) << m.source.LastError;
    std::string lines = SoundLines(m.Text());
    EXPECT_EQ(lines.rfind(c.startsWith, 0), 0u) << lines;
    ASSERT_GE(lines.size(), c.endsWith.size());
    EXPECT_EQ(lines.substr(lines.size() - c.endsWith.size()), c.endsWith) << lines;
    if (c.startsWith.find("No soundtrack") == std::string::npos) {
      EXPECT_EQ(lines.find("No soundtrack."), std::string::npos);
    }
    EXPECT_EQ(m.source.AudioPresent, c.present);
    if (c.present) {
      // Every track holds about half a second of 22050 Hz mono sound.
      std::vector<uint8_t> served = ReadAllAudio(m.source, 2205);
      EXPECT_NEAR(static_cast<double>(served.size()), 22050.0, 4410.0);
    }
  }
}

TEST(AudioInput, CompressedTracksAreDecodedTo16Bit) {
  std::string movie = Movie("25");
  struct Case {
    const char* codec;
    const char* source;  // the described source format
  } cases[] = {
      {"libmp3lame", "mp3, 44100 Hz, 0-bit, stereo"},
      {"wmav2", "unknown codec (tag 353), 44100 Hz, 16-bit, stereo"},
      {"adpcm_ms", "MS ADPCM, 44100 Hz, 4-bit, stereo"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.codec);
    std::string avi = MakeMedia(std::string(c.codec) + ".avi",
                                "-i " + ShellQuote(movie) +
                                    " -f lavfi -i sine=sample_rate=44100:duration=0.5 -ac 2 "
                                    "-c:v copy -c:a " +
                                    c.codec);
    OpenedMovie m;
    ASSERT_TRUE(m.Open(avi));
    std::string lines = SoundLines(m.Text());
    EXPECT_NE(lines.find(std::string("    format details: ") + c.source + "\n"), std::string::npos)
        << lines;
    EXPECT_NE(lines.find(std::string("Audio decoding scheme: \n    ") + c.source +
                         " -> PCM, 44100 Hz, 16-bit, stereo -> MVE\n"),
              std::string::npos)
        << lines;
    EXPECT_EQ(lines.find("DirectShow"), std::string::npos) << lines;
    ASSERT_TRUE(m.source.AudioPresent);
    EXPECT_EQ(m.source.AudioBytesPerSample, 2);
    std::vector<uint8_t> served = ReadAllAudio(m.source, 4410);
    EXPECT_NEAR(static_cast<double>(served.size()), 88200.0, 20000.0);
    int16_t peak = 0;
    for (size_t i = 0; i + 1 < served.size(); i += 2) {
      int16_t v;
      std::memcpy(&v, &served[i], 2);
      peak = std::max<int16_t>(peak, static_cast<int16_t>(std::abs(v)));
    }
    EXPECT_GT(peak, 1000) << "the sine is heard";
  }
}

TEST(AudioInput, ManyChannelsAreMixedDownAndHighRatesResampled) {
  std::string movie = Movie("25");
  struct Case {
    std::string file;
    int rate, channels;
    std::string scheme;
    int outRate, outChannels;
  } cases[] = {
      {"three.wav", 22050, 3,
       "    PCM, 22050 Hz, 16-bit, 3 channels -> PCM, 22050 Hz, 16-bit, stereo -> MVE\n", 22050, 2},
      {"fast.wav", 96000, 1,
       "    PCM, 96000 Hz, 16-bit, mono -> PCM, 48000 Hz, 16-bit, mono -> MVE\n", 48000, 1},
      {"fast.mkv", 96000, 6, "    PCM, 48000 Hz, 16-bit, stereo -> MVE\n", 48000, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    std::string sound =
        Sound(c.file, c.rate, c.channels, c.file.ends_with(".mkv") ? "flac" : "pcm_s16le");
    OpenedMovie m;
    ASSERT_TRUE(m.Open(movie, sound));
    std::string lines = SoundLines(m.Text());
    EXPECT_NE(lines.find("Audio decoding scheme: \n" + c.scheme), std::string::npos) << lines;
    EXPECT_EQ(m.source.AudioRate, c.outRate);
    EXPECT_EQ(m.source.AudioChannels, c.outChannels);
    std::vector<uint8_t> served = ReadAllAudio(m.source, c.outChannels * 2 * 480);
    EXPECT_NEAR(static_cast<double>(served.size()), 0.5 * c.outRate * c.outChannels * 2,
                0.02 * c.outRate * c.outChannels * 2);
  }
  EXPECT_NE(SoundLines(OpenedMovie().Text()), "x");
}

TEST(AudioInput, SeekingPlacesTheSoundAtTheFrameTime) {
  // Frame 25 of a 25 fps movie is 1000 ms: sample 22050 of a 22050 Hz track.
  std::string movie = Movie("25");
  std::string wav = Sound("sound.wav", 22050, 1, "pcm_s16le", 2.0);
  std::string flac = MakeMedia("sound.mkv", "-i " + ShellQuote(wav) + " -c:a flac");
  std::vector<uint8_t> source = WaveData(wav);
  ASSERT_EQ(source.size(), 88200u);
  struct Case {
    std::string name, audio;
    MovieSourceOptions options;
  } const cases[] = {{"movie-file reader", wav, {}},
                     {"generic reader", wav, {.ForceDirectShow = true}},
                     {"generic reader, flac", flac, {}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    OpenedMovie m;
    ASSERT_TRUE(m.Open(movie, c.audio, c.options));
    ASSERT_TRUE(m.source.AudioPresent);
    m.source.SeekAviAudio(25);
    std::vector<uint8_t> served = ReadAllAudio(m.source, 4410);
    ASSERT_GE(served.size(), 44100u);
    // Exact where the container times every sample; Matroska times its blocks to the
    // millisecond.
    int tolerance = c.audio == flac ? 22 : 0;
    int found = -1000;
    for (int shift = -tolerance; shift <= tolerance; ++shift)
      if (std::equal(served.begin(), served.end() - 200, source.begin() + 44100 + shift * 2))
        found = shift;
    EXPECT_NE(found, -1000) << "the sound after the seek is the source from 1000 ms on";
    EXPECT_EQ(m.Text().find("Cannot reposition"), std::string::npos);
  }
}

TEST(AudioInput, GenericReaderServesPiecesWithinTheCapacity) {
  std::string wav = Sound("sound.wav", 8000, 2, "pcm_s16le", 0.3);
  std::vector<uint8_t> source = WaveData(wav);
  std::ostringstream out;
  GenericAudioReader reader(out);
  EXPECT_LT(reader.Open(TestDir() + "/missing.wav"), 0);
  ASSERT_EQ(reader.Open(wav), 0);
  EXPECT_EQ(out.str(), "Input audio stream info:\n    length: 0.30 seconds\n");
  WaveFormat format;
  EXPECT_EQ(reader.Format(format), 0);
  EXPECT_EQ(DescribeAudioFormat(format), "PCM, 8000 Hz, 16-bit, stereo");
  EXPECT_EQ(format.BlockAlign, 4);
  EXPECT_EQ(format.AvgBytesPerSec, 32000u);
  std::vector<uint8_t> all;
  std::vector<uint8_t> piece(1002);  // not a whole number of sample frames
  for (;;) {
    int32_t got = -1;
    EXPECT_EQ(reader.Read(piece.data(), 1002, got), 0);
    ASSERT_LE(got, 1002);
    EXPECT_EQ(got % 4, 0);
    if (got == 0) break;
    all.insert(all.end(), piece.begin(), piece.begin() + got);
  }
  EXPECT_EQ(all, source) << "nothing is lost between pieces";
  int32_t got = -1;
  EXPECT_EQ(reader.Read(piece.data(), 1002, got), 0);
  EXPECT_EQ(got, 0);
  reader.Seek(100);
  ASSERT_EQ(reader.Read(piece.data(), 1000, got), 0);
  ASSERT_EQ(got, 1000);
  EXPECT_TRUE(std::equal(piece.begin(), piece.begin() + 1000, source.begin() + 3200));
  reader.Close();
  reader.Seek(0);
  EXPECT_NE(out.str().find("Cannot reposition audio stream. Seeking not supported.\n"),
            std::string::npos);
}

}  // namespace
}  // namespace korvane::test

namespace korvane::test {
namespace {

TEST(AudioInput, ChosenRateResamplesEitherReader) {
  std::string movie = Movie("25");
  std::string wav = Sound("sound.wav", 48000, 2, "pcm_s16le");
  for (bool generic : {false, true}) {
    SCOPED_TRACE(generic ? "generic reader" : "movie-file reader");
    OpenedMovie m;
    ASSERT_TRUE(m.Open(movie, wav, {.ForceDirectShow = generic, .OutputAudioRate = 22050}));
    std::string scheme = generic ? "    PCM, 22050 Hz, 16-bit, stereo -> MVE\n"
                                 : "    PCM, 48000 Hz, 16-bit, stereo -> PCM, 22050 Hz, 16-bit, "
                                   "stereo -> MVE\n";
    EXPECT_NE(SoundLines(m.Text()).find("Audio decoding scheme: \n" + scheme), std::string::npos)
        << m.Text();
    EXPECT_EQ(m.source.AudioRate, 22050);
    std::vector<uint8_t> served = ReadAllAudio(m.source, 4 * 441);
    EXPECT_NEAR(static_cast<double>(served.size()), 0.5 * 22050 * 4, 4 * 441);
  }
}

TEST(AudioInput, ResamplingKeepsEverySampleInPlace) {
  // Two seconds of silence with a click at 1.5 s, in formats whose frames state their channel
  // layout and whose don't; the resampled sound must keep its length and the click its time.
  std::string movie = Movie("25");
  for (const char* file : {"click.wav", "click.avi", "click.mka"}) {
    std::string sound = MakeMedia(
        file,
        "-f lavfi -i \"aevalsrc='if(between(t,1.5,1.51),0.8*sin(2*PI*1000*t),0)':s=48000:d=2\" " +
            std::string(std::string(file).ends_with(".mka") ? "-c:a flac" : "-c:a pcm_s16le"));
    for (bool generic : {false, true}) {
      SCOPED_TRACE(std::string(file) + (generic ? ", generic reader" : ", movie-file reader"));
      OpenedMovie m;
      ASSERT_TRUE(m.Open(movie, sound, {.ForceDirectShow = generic, .OutputAudioRate = 22050}));
      ASSERT_TRUE(m.source.AudioPresent);
      ASSERT_EQ(m.source.AudioChannels, 1);
      std::vector<uint8_t> served = ReadAllAudio(m.source, 2 * 735);
      EXPECT_NEAR(static_cast<double>(served.size()) / 2, 44100, 32);
      size_t click = 0;
      while (click + 1 < served.size() &&
             std::abs(int16_t(served[click] | (served[click + 1] << 8))) < 8000)
        click += 2;
      EXPECT_NEAR(static_cast<double>(click / 2), 1.5 * 22050, 22);
    }
  }
}

}  // namespace
}  // namespace korvane::test
