// Palette files: the HSI Pal text form and the Adobe ACT form (768 bytes, or 772 with a colour
// count and a transparency index).
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>

#include "palette/color_reducer.h"

namespace korvane {

const char* const PaletteExtensions[2] = {".pal", ".act"};

namespace {

// The Adobe ACT forms: 256 colours of three bytes, optionally followed by two 16-bit words.
constexpr size_t kActBytes = 3 * kPaletteEntries;
constexpr size_t kActExtendedBytes = kActBytes + 4;

struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string Reason(int err) {
  return err != 0 ? std::strerror(err) : "input/output error";
}

bool WriteAll(std::FILE* f, const void* data, size_t size) {
  return std::fwrite(data, 1, size, f) == size;
}

// Reads the text form as a stream of characters.
class TextReader {
 public:
  explicit TextReader(std::FILE* f) : f_(f) {}

  // The first line without its line end (LF or CR LF).
  bool ReadLine(std::string* line) {
    line->clear();
    int c;
    while ((c = std::getc(f_)) != EOF && c != '\n') {
      line->push_back(static_cast<char>(c));
      if (line->size() > 64) break;  // far longer than any valid first line
    }
    if (c == EOF && line->empty()) return false;
    if (!line->empty() && line->back() == '\r') line->pop_back();
    return true;
  }

  // A decimal integer after any blanks and line ends; it must end at a blank, a line end or
  // the end of the file.
  bool ReadInt(int* value) {
    int c;
    do {
      c = std::getc(f_);
    } while (c == ' ' || c == '\t' || c == '\r' || c == '\n');
    bool negative = false;
    if (c == '+' || c == '-') {
      negative = c == '-';
      c = std::getc(f_);
    }
    if (c < '0' || c > '9') return false;
    long long v = 0;
    while (c >= '0' && c <= '9') {
      v = v * 10 + (c - '0');
      if (v > static_cast<long long>(INT_MAX) + 1) return false;
      c = std::getc(f_);
    }
    if (negative) v = -v;
    if (v > INT_MAX || v < INT_MIN) return false;
    if (c != EOF && c != ' ' && c != '\t' && c != '\r' && c != '\n') return false;
    if (c == '\n') std::ungetc(c, f_);
    *value = static_cast<int>(v);
    return true;
  }

  // Skips the rest of the current line, its line end included.
  void SkipLine() {
    int c;
    while ((c = std::getc(f_)) != EOF && c != '\n') {
    }
  }

  bool Failed() const { return std::ferror(f_) != 0; }

 private:
  std::FILE* f_;
};

}  // namespace

bool SavePalette(const ColorReducer& reducer, const std::string& file, int format,
                 std::string* error) {
  if (format != kPaletteFormatPal && format != kPaletteFormatAct) {
    if (error) *error = "unknown palette format";
    return false;
  }
  uint8_t entries[kPaletteBytes];
  int n = reducer.GetPalette(entries);

  std::string bytes;
  if (format == kPaletteFormatPal) {
    bytes = "PAL\r\n" + std::to_string(n) + "\r\n";
    for (int i = 0; i < n; ++i) {
      char line[16];
      std::snprintf(line, sizeof line, "%3d %3d %3d\r\n", entries[4 * i], entries[4 * i + 1],
                    entries[4 * i + 2]);
      bytes += line;
    }
  } else {
    for (int i = 0; i < kPaletteEntries; ++i)
      bytes.append(reinterpret_cast<const char*>(entries + 4 * i), 3);
  }

  errno = 0;
  std::FILE* f = std::fopen(file.c_str(), "wb");
  if (!f) {
    if (error) *error = Reason(errno);
    return false;
  }
  errno = 0;
  bool ok = WriteAll(f, bytes.data(), bytes.size()) && std::fflush(f) == 0;
  int err = errno;
  if (std::fclose(f) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (!ok && error) *error = Reason(err);
  return ok;
}

PaletteLoadResult LoadPalette(ColorReducer& reducer, const std::string& file, int format,
                              std::string* error) {
  if (format != kPaletteFormatPal && format != kPaletteFormatAct) return PaletteLoadResult::Invalid;
  errno = 0;
  File f(std::fopen(file.c_str(), "rb"));
  if (!f) {
    if (error) *error = Reason(errno);
    return PaletteLoadResult::ReadError;
  }

  uint8_t entries[kPaletteBytes] = {};
  int n = 0;
  if (format == kPaletteFormatPal) {
    TextReader reader(f.get());
    std::string first;
    bool parsed = reader.ReadLine(&first) && first == "PAL" && reader.ReadInt(&n) && n > 0;
    if (parsed) {
      reader.SkipLine();
      if (n > kPaletteEntries) n = kPaletteEntries;
      for (int i = 0; i < n && parsed; ++i) {
        int c[3];
        parsed = reader.ReadInt(&c[0]) && reader.ReadInt(&c[1]) && reader.ReadInt(&c[2]);
        if (parsed) {
          // Only the low 8 bits of each value are kept.
          for (int k = 0; k < 3; ++k)
            entries[4 * i + k] = static_cast<uint8_t>(static_cast<unsigned>(c[k]) & 0xFF);
          reader.SkipLine();
        }
      }
    }
    if (reader.Failed()) {
      if (error) *error = Reason(errno);
      return PaletteLoadResult::ReadError;
    }
    if (!parsed) return PaletteLoadResult::Invalid;
  } else {
    // 768 bytes of colours; the longer form adds a big-endian colour count and a big-endian
    // transparency index (which an MVE palette has no use for).
    uint8_t raw[kActExtendedBytes + 1];
    errno = 0;
    size_t got = std::fread(raw, 1, sizeof raw, f.get());
    if (std::ferror(f.get())) {
      if (error) *error = Reason(errno);
      return PaletteLoadResult::ReadError;
    }
    if (got != kActBytes && got != kActExtendedBytes) return PaletteLoadResult::Invalid;
    n = kPaletteEntries;
    if (got == kActExtendedBytes) {
      n = raw[kActBytes] << 8 | raw[kActBytes + 1];
      // As in the text form: no colours is no palette, and more than 256 means all of them.
      if (n == 0) return PaletteLoadResult::Invalid;
      if (n > kPaletteEntries) n = kPaletteEntries;
    }
    for (int i = 0; i < n; ++i)
      for (int k = 0; k < 3; ++k) entries[4 * i + k] = raw[3 * i + k];
  }

  // Builds the new palette's inverse colour map as well.
  reducer.SetPalette(entries, n);
  return PaletteLoadResult::Loaded;
}

}  // namespace korvane
