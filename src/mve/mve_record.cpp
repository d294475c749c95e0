#include "mve/mve_record.h"

namespace korvane {

Bytes Word16(uint32_t value) {
  return Bytes{static_cast<uint8_t>(value & 0xFF), static_cast<uint8_t>((value >> 8) & 0xFF)};
}

MveRecord NewRecord(uint8_t kind, uint8_t version) {
  MveRecord block;
  block.Kind = kind;
  block.Version = version;
  return block;
}

void AppendBytes(MveRecord& block, const uint8_t* bytes, size_t count) {
  block.Data.insert(block.Data.end(), bytes, bytes + count);
  block.Len = static_cast<uint16_t>(block.Data.size() & 0xFFFF);
}

void AppendBytes(MveRecord& block, const Bytes& bytes) {
  AppendBytes(block, bytes.data(), bytes.size());
}

void AppendBytes(MveRecord& block, const std::string& bytes) {
  AppendBytes(block, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

Bytes SerializeRecord(const MveRecord& block) {
  Bytes out;
  out.reserve(4 + block.Data.size());
  out.push_back(static_cast<uint8_t>(block.Len & 0xFF));
  out.push_back(static_cast<uint8_t>(block.Len >> 8));
  out.push_back(block.Kind);
  out.push_back(block.Version);
  out.insert(out.end(), block.Data.begin(), block.Data.begin() + block.Len);
  return out;
}

void AppendRecord(MveRecord& parent, const MveRecord& child) {
  if (!child.Fits()) {
    parent.Oversized = true;
    return;
  }
  const uint8_t header[4] = {static_cast<uint8_t>(child.Len & 0xFF),
                             static_cast<uint8_t>(child.Len >> 8), child.Kind, child.Version};
  parent.Data.reserve(parent.Data.size() + 4 + child.Data.size());
  AppendBytes(parent, header, 4);
  AppendBytes(parent, child.Data.data(), child.Len);
}

}  // namespace korvane
