// The demux and decode loop of one stream: packets of the chosen stream read in file order,
// handed to its decoder, and the decoded frames taken out, with the decoder drained at the end.
#pragma once

#include <cstdint>

#include "input/ffmpeg_objects.h"

namespace korvane {

class StreamDecoder {
 public:
  // Shares the open file `fmt` and reads the packets of stream `index`; `dec` may stay empty
  // for packet-only reading. Both outlive this loop's use of them.
  void Attach(AVFormatContext* fmt, int index, AVCodecContext* dec);
  void Detach();
  // Decodes with `dec` from now on; what was read so far stays.
  void SetDecoder(AVCodecContext* dec) { dec_ = dec; }

  // The next packet of the stream with data into Packet(): 0, or a negative code at the end of
  // the file or on a read error. A packet held back with KeepPacket() comes first.
  int ReadPacket();
  AVPacket* Packet() const { return pkt_.get(); }
  // The packet just read is handed out again by the next ReadPacket().
  void KeepPacket() { packetPending_ = true; }

  // The next decoded frame into `frame`: 0, AVERROR_EOF once the decoder is drained, or the
  // negative code of a packet or frame the decoder could not decode (the loop can go on after
  // it).
  int NextFrame(AVFrame* frame);

  // After a seek: the decoder forgets what it holds, and nothing read before counts.
  void Restart();

  // Packets handed to the decoder since the last Restart().
  int64_t PacketsSent() const { return packetsSent_; }

  // False only when the packet could not be made.
  bool Ready() const { return pkt_ != nullptr; }

  StreamDecoder() : pkt_(av_packet_alloc()) {}

 private:
  AVFormatContext* fmt_ = nullptr;
  AVCodecContext* dec_ = nullptr;
  int index_ = -1;
  PacketPtr pkt_;
  bool packetPending_ = false;
  bool demuxEnd_ = false, flushSent_ = false;
  int64_t packetsSent_ = 0;
};

}  // namespace korvane
