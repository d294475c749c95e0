#include "input/spooled_input.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

namespace korvane {

namespace {

// Writes all of `data`; false with errno set on failure.
bool WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<size_t>(n);
  }
  return true;
}

}  // namespace

SpooledInput::~SpooledInput() {
  Remove();
}

void SpooledInput::Remove() {
  if (!path_.empty()) ::unlink(path_.c_str());
  path_.clear();
}

bool SpooledInput::NeedsSpooling(const std::string& path) {
  if (path == "-") return true;
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  return S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode);
}

bool SpooledInput::Spool(const std::string& path, const std::function<bool()>& stop,
                         std::string* error) {
  Remove();
  error->clear();
  int in = path == "-" ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (in < 0) {
    *error = "Cannot read `" + path + "': " + std::strerror(errno);
    return false;
  }
  // Waiting for the other end of a pipe must not block a break.
  if (path != "-") ::fcntl(in, F_SETFL, ::fcntl(in, F_GETFL) & ~O_NONBLOCK);
  auto closeInput = [&] {
    if (in != STDIN_FILENO) ::close(in);
  };

  std::error_code ec;
  std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
  if (ec) dir = "/tmp";
  std::string name = (dir / "korvane-input-XXXXXX").string();
  std::vector<char> pattern(name.begin(), name.end());
  pattern.push_back('\0');
  int out = ::mkstemp(pattern.data());
  if (out < 0) {
    *error = "Cannot write `" + name + "': " + std::strerror(errno);
    closeInput();
    return false;
  }
  path_ = pattern.data();

  std::vector<uint8_t> buffer(1 << 16);
  bool ok = true;
  for (;;) {
    if (stop && stop()) {
      ok = false;
      break;
    }
    pollfd ready{in, POLLIN, 0};
    int p = ::poll(&ready, 1, 100);
    if (p < 0 && errno != EINTR) {
      *error = "Cannot read `" + path + "': " + std::strerror(errno);
      ok = false;
      break;
    }
    if (p <= 0) continue;
    ssize_t n = ::read(in, buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      *error = "Cannot read `" + path + "': " + std::strerror(errno);
      ok = false;
      break;
    }
    if (n == 0) break;
    if (!WriteAll(out, buffer.data(), static_cast<size_t>(n))) {
      *error = "Cannot write `" + path_ + "': " + std::strerror(errno);
      ok = false;
      break;
    }
  }
  if (::close(out) != 0 && ok) {
    *error = "Cannot write `" + path_ + "': " + std::strerror(errno);
    ok = false;
  }
  closeInput();
  if (!ok) Remove();
  return ok;
}

}  // namespace korvane
