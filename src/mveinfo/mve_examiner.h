// Reads an Interplay MVE movie (ours or any other program's) chunk by chunk, checks its structure
// and gathers what it holds: video buffers and mode, frames and timer, palette changes, sound
// format and length, data rate, the use of the block opcodes of the decoding map, and every
// structural fault with its byte offset. Nothing in the file can make it crash or loop without
// end, and its memory stays bounded whatever the file's size: it holds one chunk at a time, and
// every list it keeps has a fixed limit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace korvane {

struct MveFault {
  uint64_t Offset = 0;  // byte offset in the file where the fault was found
  std::string Text;
};

struct MveInfo {
  uint64_t FileSize = 0;
  bool HeaderValid = false;                 // the 20-byte signature was there
  uint64_t Chunks = 0;                      // chunks whose header could be read
  std::map<uint16_t, uint64_t> ChunkTypes;  // chunk type -> count

  // Video buffers (opcode 05), from the first one seen; 0 when never set.
  bool VideoBuffersSet = false;
  uint16_t BlocksWide = 0, BlocksHigh = 0;
  uint8_t VideoBuffersVersion = 0;
  bool TrueColor = false;
  uint64_t VideoBufferChanges = 0;  // opcode 05 after the first with another size

  // Video mode (opcode 0A).
  bool VideoModeSet = false;
  uint16_t ModeWidth = 0, ModeHeight = 0, ModeFlags = 0;

  // Timer (opcode 02), the first one.
  bool TimerSet = false;
  uint32_t TimerRate = 0;
  uint16_t TimerSubdivision = 0;
  uint64_t Timers = 0;

  uint64_t Frames = 0;           // send-buffer-to-display opcodes (07)
  uint64_t VideoDataPieces = 0;  // video data opcodes (06, 10, 11)

  // Palette changes (opcodes 0C and 0D): how many, and the frame (1 = first frame shown)
  // each applies to; only the first kMaxListedFrames frames are kept.
  uint64_t PaletteChanges = 0;
  std::vector<uint64_t> PaletteFrames;

  // Sound (opcode 03, the first one).
  bool SoundSet = false;
  uint8_t SoundVersion = 0;
  uint16_t SoundRate = 0;
  int SoundChannels = 0;
  int SoundBits = 0;
  bool SoundCompressed = false;
  uint64_t SoundSamples = 0;   // sample frames of stream 0 carried by audio frames (08)
  uint64_t SilentSamples = 0;  // sample frames of stream 0 given by silence frames (09)
  uint64_t AudioFrames = 0;    // 08 opcodes
  uint64_t SilenceFrames = 0;  // 09 opcodes

  // Bytes of the chunks that lead to each shown frame (chunks before the first frame count
  // to it, the closing chunks to none). One entry per frame, for the first kMaxFrameBytes
  // frames; FrameBytesTotal counts the bytes of every frame.
  std::vector<uint32_t> FrameBytes;
  uint64_t FrameBytesTotal = 0;

  // Block opcodes of every decoding map (opcode 0F) in the movie.
  std::array<uint64_t, 16> BlockOpcodes{};
  uint64_t DecodingMaps = 0;

  // Every opcode seen: (number << 8 | version) -> count.
  std::map<uint16_t, uint64_t> Opcodes;

  bool ShutdownSeen = false;  // a chunk of type 4 with the end-of-stream opcode
  bool EndSeen = false;       // a chunk of type 5

  std::vector<MveFault> Faults;  // at most kMaxFaults kept
  uint64_t FaultCount = 0;       // all faults found

  bool Sound() const { return FaultCount == 0; }

  static constexpr size_t kMaxFaults = 200;
  static constexpr size_t kMaxListedFrames = 1000;
  // 16 MiB of frame sizes: over 19 hours at 60 frames per second.
  static constexpr size_t kMaxFrameBytes = size_t(1) << 22;
};

// Short name of an opcode number ("set decoding map"), or empty for a number no MVE player
// knows.
std::string MveOpcodeName(uint8_t kind);

// Name of a block opcode of the decoding map (0-15).
std::string MveBlockOpcodeName(uint8_t code);

// Number of video-data bytes a block of 8-bit video uses with this block opcode, read from the
// start of its data (`available` bytes there); -1 when the data ends before the size is known.
int MveBlockDataSize(uint8_t code, const uint8_t* data, size_t available);

class MveReader;

class MveExaminer {
 public:
  // Inspects the `size` bytes of a whole movie file.
  MveInfo Inspect(const uint8_t* data, size_t size);
  // Inspects a movie read to its end by `reader`.
  MveInfo Inspect(MveReader& reader);

 private:
  void Fault(uint64_t offset, std::string text);
  void Fault(uint64_t offset, const char* format, ...) __attribute__((format(printf, 3, 4)));
  void InspectChunk(uint64_t offset, uint16_t type, const uint8_t* payload, size_t length,
                    size_t declaredLength);
  void InspectOpcode(uint64_t offset, uint8_t kind, uint8_t version, const uint8_t* payload,
                     size_t length, uint16_t chunkType);
  void CheckVideoData(uint64_t offset, const uint8_t* payload, size_t length);
  void CountFrameBytes(uint64_t bytes, bool endsFrame);

  MveInfo info_;
  // Video buffers in force.
  bool buffersSet_ = false;
  uint16_t blocksWide_ = 0, blocksHigh_ = 0;
  bool trueColor_ = false;
  std::vector<uint8_t> map_;  // decoding map in force, when mapSet_
  bool mapSet_ = false;
  bool mapFaulty_ = false;  // the last map was faulty: its video data is not checked
  uint64_t walked_ = 0;     // blocks the video-data checks have walked
  uint64_t walkLimit_ = 0;  // blocks they may walk for the bytes read so far
  bool walkStopped_ = false;
  uint64_t pendingBytes_ = 0;  // chunk bytes since the last frame was shown
  uint64_t framesShownInChunk_ = 0;
  bool afterEndOfStream_ = false;
};

// The data rate of a movie, from its frame sizes and its timer.
struct MveRates {
  bool Known = false;       // false without a timer that gives frames a duration, or frames
  double FrameSeconds = 0;  // the time of one frame
  double Seconds = 0;       // the movie's length: frames x frame time
  double Average = 0;       // bytes per second over the whole movie
  double Peak = 0;          // bytes per second over the heaviest run of one second's frames
  size_t PeakFirst = 0;     // first and last frame (from 1) of that run; 0 when none
  size_t PeakLast = 0;
  std::vector<uint64_t> PerSecond;  // bytes of the frames that start in each second; empty when
                                    // the movie would last kMaxRateSeconds or more
};
inline constexpr uint64_t kMaxRateSeconds = 1u << 20;  // about twelve days
MveRates ComputeMveRates(const MveInfo& info);

// The report a user reads, several lines ending with a line end.
std::string FormatMveInfo(const MveInfo& info, const std::string& name);

}  // namespace korvane
