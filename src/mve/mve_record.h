// MVE records under construction: a chunk or an opcode, built in memory and
// serialised as a 4-byte header (length, kind, version) followed by its payload.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvane {

using Bytes = std::vector<uint8_t>;

// The largest payload a record header can describe.
constexpr size_t kMaxRecordPayload = 0xFFFF;

// A chunk or opcode record. Copying it copies its payload.
struct MveRecord {
  uint16_t Len = 0;     // bytes in Data, modulo 65536
  uint8_t Kind = 0;     // opcode number or chunk type
  uint8_t Version = 0;  // opcode version; 0 for chunks
  Bytes Data;           // payload
  // Set when a record of 65536 bytes or more was appended: its header could not hold the
  // length, so the block is invalid and is never written.
  bool Oversized = false;

  // False when the record cannot be serialised: its payload (or a record appended to it)
  // has 65536 bytes or more.
  bool Fits() const { return !Oversized && Data.size() <= kMaxRecordPayload; }
};

// The low 16 bits of value, low byte first.
Bytes Word16(uint32_t value);

MveRecord NewRecord(uint8_t kind, uint8_t version);

// Appends raw bytes to the payload and updates Len.
void AppendBytes(MveRecord& block, const uint8_t* bytes, size_t count);
void AppendBytes(MveRecord& block, const Bytes& bytes);
void AppendBytes(MveRecord& block, const std::string& bytes);

// Header (Len, Kind, Version) followed by the payload.
Bytes SerializeRecord(const MveRecord& block);

// Appends the serialised child to the parent's payload. A child that does not fit a record
// header is not appended; the parent is marked Oversized instead.
void AppendRecord(MveRecord& parent, const MveRecord& child);

}  // namespace korvane
