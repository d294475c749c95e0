#include "mve/mve_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mve/mve_record.h"
#include "support/fixtures.h"
#include "support/mve_reader.h"

namespace korvane {
namespace {

using test::ReadFileBytes;
using test::ScratchDir;

TEST(MveRecords, Word16AndAppending) {
  EXPECT_EQ(Word16(640), (Bytes{0x80, 0x02}));
  EXPECT_EQ(Word16(0x12345), (Bytes{0x45, 0x23}));

  MveRecord chunk = NewRecord(3, 0);
  AppendRecord(chunk, NewRecord(0x04, 0));
  EXPECT_EQ(chunk.Len, 4);
  EXPECT_EQ(chunk.Data, (Bytes{0x00, 0x00, 0x04, 0x00}));

  // The chunk holds a copy: changing the opcode afterwards leaves it alone.
  MveRecord op = NewRecord(0x0F, 0);
  AppendBytes(op, Bytes{1, 2, 3});
  AppendRecord(chunk, op);
  AppendBytes(op, Bytes{4});
  EXPECT_EQ(chunk.Len, 11);
  EXPECT_EQ(SerializeRecord(chunk), (Bytes{11, 0, 3, 0, 0, 0, 4, 0, 3, 0, 0x0F, 0, 1, 2, 3}));
}

TEST(MveRecords, ConstantOpcodes) {
  struct Case {
    const MveRecord* op;
    uint8_t kind, version;
    Bytes payload;
  };
  Bytes signature = {0x02, 0x00, 0xE1, 0xAB, 0x20, 0x20};
  for (char c : std::string("KORVANE beta (2004/09/19)")) signature.push_back(uint8_t(c));
  signature.push_back(0x20);
  signature.push_back(0x20);
  const Case cases[] = {
      {&EndOfChunkOp, 0x01, 0, {}},
      {&StartAudioOp, 0x04, 0, {}},
      {&ShowFramePaletteOp, 0x07, 1, {0, 0, 0, 1, 0, 0}},
      {&ShowFrameOp, 0x07, 1, {0, 0, 0, 0, 0, 0}},
      {&VideoModeOp, 0x0A, 0, {0x80, 0x02, 0xE0, 0x01, 0x01, 0x01}},
      {&SignatureOp, 0x15, 0, signature},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(int(c.kind));
    EXPECT_EQ(c.op->Kind, c.kind);
    EXPECT_EQ(c.op->Version, c.version);
    EXPECT_EQ(c.op->Data, c.payload);
    EXPECT_EQ(c.op->Len, c.payload.size());
  }
  EXPECT_EQ(SignatureOp.Len, 33);
}

TEST(MveWriter, EmptyMovieIs42Bytes) {
  const std::string path = ScratchDir("mve_empty") + "/empty.mve";
  MveWriter file;
  ASSERT_TRUE(file.Open(path));
  ASSERT_TRUE(file.WriteFileHeader());
  EXPECT_EQ(file.BytesWritten(), 26);
  ASSERT_TRUE(file.WriteShutdownChunk());
  ASSERT_TRUE(file.WriteEndChunk());
  EXPECT_EQ(file.BytesWritten(), 42);
  ASSERT_TRUE(file.Close()) << file.LastError();

  const std::vector<uint8_t> bytes = ReadFileBytes(path);
  ASSERT_EQ(bytes.size(), 42u);
  const std::string text(bytes.begin(), bytes.begin() + 18);
  EXPECT_EQ(text, "Interplay MVE File");
  const std::vector<uint8_t> rest(bytes.begin() + 18, bytes.end());
  EXPECT_EQ(rest, (std::vector<uint8_t>{0x1A, 0x00, 0x1A, 0x00, 0x00, 0x01, 0x33, 0x11,
                                        0x08, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                                        0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x00}));
  test::MveFile parsed;
  std::string error;
  ASSERT_TRUE(test::ParseMve(bytes, &parsed, &error)) << error;
  ASSERT_EQ(parsed.Chunks.size(), 2u);
  EXPECT_EQ(parsed.Chunks[0].Kinds(), (std::vector<int>{0x00, 0x01}));
  EXPECT_TRUE(parsed.Chunks[1].Opcodes.empty());
}

TEST(MveWriter, RecordsOf65536BytesOrMoreAreRefused) {
  const std::string path = ScratchDir("mve_oversize") + "/big.mve";
  MveWriter file;
  ASSERT_TRUE(file.Open(path));
  ASSERT_TRUE(file.WriteFileHeader());

  // The largest record that fits is written whole.
  MveRecord largest = NewRecord(Number(ChunkType::Frame), 0);
  AppendBytes(largest, Bytes(65535, 0xAB));
  EXPECT_EQ(largest.Len, 65535);
  ASSERT_TRUE(largest.Fits());
  ASSERT_TRUE(file.WriteChunk(largest));
  EXPECT_EQ(file.BytesWritten(), 26 + 4 + 65535);

  // An opcode of 65536 bytes cannot be appended to a chunk; the chunk is marked.
  MveRecord op = NewRecord(0x11, 3);
  AppendBytes(op, Bytes(65536, 1));
  EXPECT_EQ(op.Len, 0);  // the header field wraps
  EXPECT_FALSE(op.Fits());
  MveRecord chunk = NewRecord(Number(ChunkType::Frame), 0);
  AppendRecord(chunk, op);
  EXPECT_FALSE(chunk.Fits());
  EXPECT_FALSE(file.WriteChunk(chunk));
  EXPECT_NE(file.LastError().find("65535"), std::string::npos) << file.LastError();
  EXPECT_TRUE(file.Failed());
  EXPECT_EQ(file.BytesWritten(), 26 + 4 + 65535);

  // A chunk whose own payload reaches 65536 bytes is refused too, and nothing more is written.
  MveRecord whole = NewRecord(Number(ChunkType::Frame), 0);
  AppendBytes(whole, Bytes(65536, 0));
  EXPECT_FALSE(whole.Fits());
  EXPECT_FALSE(file.WriteChunk(whole));
  EXPECT_FALSE(file.WriteEndChunk());
  EXPECT_FALSE(file.Close());
  EXPECT_EQ(ReadFileBytes(path).size(), 26u + 4 + 65535);
}

TEST(MveWriter, WriteFailuresAreReported) {
  const std::string dir = ScratchDir("mve_failures");
  struct Case {
    std::string path;
    std::string reason;
  };
  const Case cases[] = {
      {"/dev/full", "No space left on device"},
      {dir + "/missing/out.mve", "No such file or directory"},
      {dir, "Is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    MveWriter file;
    bool ok = file.Open(c.path) && file.WriteFileHeader() && file.WriteShutdownChunk() &&
              file.WriteEndChunk();
    ok = file.Close() && ok;
    EXPECT_FALSE(ok);
    EXPECT_TRUE(file.Failed());
    EXPECT_EQ(file.LastError(), "Cannot write `" + c.path + "': " + c.reason);
  }

  // A failure in the middle of the run is seen at the write that reaches the disk, and every
  // later write is refused without changing the reason.
  MveWriter full;
  ASSERT_TRUE(full.Open("/dev/full"));
  ASSERT_TRUE(full.WriteFileHeader());
  MveRecord chunk = NewRecord(Number(ChunkType::Frame), 0);
  AppendBytes(chunk, Bytes(60000, 7));
  bool failed = false;
  for (int i = 0; i < 4 && !failed; ++i) failed = !full.WriteChunk(chunk);
  EXPECT_TRUE(failed);
  EXPECT_FALSE(full.WriteEndChunk());
  EXPECT_FALSE(full.Close());
  EXPECT_EQ(full.LastError(), "Cannot write `/dev/full': No space left on device");
}

// A run that stops with an error drops its writer without closing it: the header and every
// chunk accepted so far are on disk, a chunk held in the buffer included, and one refused as too
// large does not take the accepted ones with it.
TEST(MveWriter, DroppedWriterKeepsWhatWasWritten) {
  const std::string dir = ScratchDir("mve_dropped");
  struct Case {
    const char* name;
    int chunks;      // chunks of 1000 payload bytes written before the writer is dropped
    bool oversized;  // then a chunk too large for its header is refused
  };
  const Case cases[] = {
      {"header only", 0, false},
      {"a few chunks, all still buffered", 3, false},
      {"more than the buffer holds", 100, false},
      {"a refused record after the chunks", 5, true},
  };
  const std::string header = std::string("Interplay MVE File\x1A\0\x1A\0\0\x01\x33\x11", 26);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = dir + "/movie.mve";
    int64_t written = 0;
    {
      MveWriter file;
      ASSERT_TRUE(file.Open(path));
      ASSERT_TRUE(file.WriteFileHeader());
      MveRecord chunk = NewRecord(Number(ChunkType::Frame), 0);
      AppendBytes(chunk, Bytes(1000, 0x5A));
      for (int i = 0; i < c.chunks; ++i) ASSERT_TRUE(file.WriteChunk(chunk));
      if (c.oversized) {
        MveRecord big = NewRecord(Number(ChunkType::Frame), 0);
        AppendBytes(big, Bytes(70000, 0));
        EXPECT_FALSE(file.WriteChunk(big));
      }
      written = file.BytesWritten();
    }
    std::vector<uint8_t> expected(header.begin(), header.end());
    for (int i = 0; i < c.chunks; ++i) {
      expected.insert(expected.end(), {0xE8, 0x03, Number(ChunkType::Frame), 0x00});
      expected.insert(expected.end(), 1000, 0x5A);
    }
    EXPECT_EQ(written, int64_t(expected.size()));
    EXPECT_TRUE(ReadFileBytes(path) == expected);
  }
}

}  // namespace
}  // namespace korvane
