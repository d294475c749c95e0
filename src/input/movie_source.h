// The input movie: decoded video frames as 24-bit pictures centred in a block-aligned frame,
// and the soundtrack as PCM. The only unit that talks to FFmpeg.
#pragma once

#include <cstdint>
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>

namespace korvane {

struct MovieSourceOptions {
  bool NoSound = false;          // "-ns": ignore the soundtrack
  bool ForceDirectShow = false;  // "-da": read the soundtrack with the generic reader
  // Beyond the classic options (0 / false: not given).
  bool FitToLimit = false;     // "-fit": scale pictures larger than 640x480 down to fit
  double OutputFrameRate = 0;  // "-fps": convert at this frame rate
  int OutputAudioRate = 0;     // "-ar": resample the soundtrack to this rate
  // Threads decoding the video: 0 as FFmpeg chooses, 1 single-threaded.
  int DecoderThreads = 0;
};

// Called for every frame fetched, with the frame buffer (bottom-up B, G, R rows) and the
// picture's place in it; the "-play" preview hangs here.
using FramePreviewHook =
    std::function<void(const uint8_t* frame, int frameWidth, int frameHeight, int pictureX,
                       int pictureY, int pictureWidth, int pictureHeight)>;

class MovieSource {
 public:
  // Messages (stream information, soundtrack choice, reader warnings) go to `out`.
  explicit MovieSource(std::ostream& out);
  ~MovieSource();
  MovieSource(const MovieSource&) = delete;
  MovieSource& operator=(const MovieSource&) = delete;

  // Opens the video of `movieFile` and chooses the soundtrack (from `audioFile`, which is
  // the movie itself unless "-w" named another file). False with LastError set on failure;
  // a missing soundtrack is not a failure.
  bool OpenAvi(const std::string& movieFile, const std::string& audioFile,
               const MovieSourceOptions& options);

  // Frame n (FirstFrame .. FirstFrame + FrameCount - 1): FrameWidth x FrameHeight pixels of
  // B, G, R, rows bottom-up, picture centred in black margins. The buffer keeps its address for
  // the whole run and is overwritten by the next call. Null with LastError set on failure.
  const uint8_t* GetAviFrame(int n);

  // Fills `count` bytes of PCM (real audio, then silence); returns the bytes delivered by the
  // rule of the reader (0 once a request lies wholly past the end).
  int32_t ReadAviAudio(uint8_t* dest, int32_t count);
  // Places the soundtrack at the time of video frame `frame`.
  void SeekAviAudio(int frame);
  // Releases everything; safe to call more than once.
  void CloseAvi();

  void SetPreviewHook(FramePreviewHook hook);
  // The soundtrack file as the user named it, for messages (empty: the name opened).
  void SetAudioDisplayName(std::string name);

  std::string LastError;

  // Video facts.
  int32_t PictureWidth = 0, PictureHeight = 0;
  int32_t FrameWidth = 0, FrameHeight = 0;
  int32_t PictureOffsetX = 0, PictureOffsetY = 0;
  int32_t FirstFrame = 0;
  int32_t FrameCount = 0;
  double FrameRate = 0.0;
  int32_t FramesPerSecond = 0;
  uint16_t BitsPerPixel = 0;

  // Audio facts.
  bool AudioPresent = false;
  int32_t AudioRate = 0;
  int32_t AudioChannels = 0;
  int32_t AudioBytesPerSample = 0;
  int32_t AudioBytesPerSecond = 0;
  int32_t AudioChunkBytes = 0;
  int32_t AudioLeadChunkBytes = 0;

 private:
  // Scales the picture size down to fit the limit, keeping the aspect ratio it is shown at.
  void FitPicture(int sampleAspectNum, int sampleAspectDen);
  void ChooseSoundtrack(const std::string& movieFile, const std::string& audioFile);
  void OpenAviAudio(const std::string& audioFile);

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace korvane
