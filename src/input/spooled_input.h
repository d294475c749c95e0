// A movie that cannot be read twice (standard input as "-" or /dev/stdin, a named pipe, a
// socket) copied to a temporary file that both passes can read and seek in. The file is removed
// when the object goes, whichever way the run ends.
#pragma once

#include <functional>
#include <string>

namespace korvane {

class SpooledInput {
 public:
  SpooledInput() = default;
  ~SpooledInput();
  SpooledInput(const SpooledInput&) = delete;
  SpooledInput& operator=(const SpooledInput&) = delete;

  // True for "-" and for anything that is read once only, such as a pipe.
  static bool NeedsSpooling(const std::string& path);

  // Copies `path` ("-": standard input) to a new temporary file until its end. `stop` is asked
  // while waiting for data; when it answers true the copy ends and false is returned with
  // `error` empty. Other failures give false and the reason in `error`.
  bool Spool(const std::string& path, const std::function<bool()>& stop, std::string* error);

  // The temporary file; empty before a successful Spool().
  const std::string& Path() const { return path_; }

  // Removes the temporary file now.
  void Remove();

 private:
  std::string path_;
};

}  // namespace korvane
