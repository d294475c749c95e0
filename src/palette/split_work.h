// Work on a range split among threads: the palette's few large loops (assigning counted colours
// to entries, filling the colour map) run on as many threads as the conversion may use.
#pragma once

#include <algorithm>
#include <system_error>
#include <thread>
#include <vector>

namespace korvane {

// Runs work(begin, end) over consecutive parts of [0, count), at most `threads` of them, the
// first on the calling thread and every other on a thread of its own, and returns when all are
// done. A part that cannot have a thread runs on the calling thread. Every part must write only
// its own results, so that the outcome does not depend on the number of threads.
template <typename Work>
void SplitWork(int threads, int count, const Work& work) {
  const int parts = std::max(1, std::min(threads, count));
  std::vector<std::thread> helpers;
  auto part = [count, parts](int p) { return static_cast<int>(int64_t{count} * p / parts); };
  for (int p = 1; p < parts; ++p) {
    try {
      helpers.emplace_back([&work, b = part(p), e = part(p + 1)] { work(b, e); });
    } catch (const std::system_error&) {
      work(part(p), part(p + 1));
    }
  }
  work(0, part(1));
  for (std::thread& t : helpers) t.join();
}

}  // namespace korvane
