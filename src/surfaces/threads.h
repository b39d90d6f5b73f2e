#pragma once

#include <atomic>

namespace pv {

// Whether the work on one picture may take a second thread: decoding,
// converting colours, resampling and writing each split large pictures
// over two. On by default, for the window's one picture at a time; the
// batch command, which keeps every core busy with pictures of its own,
// turns it off.
inline std::atomic<bool> g_helperThreads{true};
inline void setHelperThreads(bool on) { g_helperThreads.store(on); }
[[nodiscard]] inline bool helperThreads() { return g_helperThreads.load(std::memory_order_relaxed); }

} // namespace pv
