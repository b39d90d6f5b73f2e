#pragma once
// How much of the machine the work on one picture may take, handed down to
// everything that could spread it over threads: decoding, converting
// colours, resampling, writing. The window works on one picture at a time
// and lets a second core help; the batch command keeps every core busy
// with pictures of its own and lets none.

#include <QtGlobal>

#include <algorithm>
#include <thread>

namespace pv {

struct Work {
    int helpers = 1; // threads that may join the one doing the work

    // Work that keeps to the calling thread.
    [[nodiscard]] static constexpr Work alone() { return Work{0}; }
    [[nodiscard]] bool mayHelp() const { return helpers > 0; }
};

// Below this many pixels a helper thread costs more than it saves.
inline constexpr qint64 kSplitPixels = qint64(1) << 18;

// Runs body(first, last) over the rows [0, rows) of work touching `pixels`
// pixels: in equal parts on the calling thread and its helpers when there
// are enough pixels, else whole on the calling thread.
template <class Body>
void splitRows(const Work &work, int rows, qint64 pixels, Body &&body)
{
    const int cores = int(std::max(1u, std::thread::hardware_concurrency()));
    const int parts = std::min({work.helpers + 1, cores, std::max(rows, 1)});
    if (pixels < kSplitPixels || parts < 2) {
        body(0, rows);
        return;
    }
    std::thread others[8];
    const int n = std::min(parts, 9);
    for (int i = 1; i < n; ++i)
        others[i - 1] = std::thread([&body, rows, i, n] { body(int(qint64(rows) * i / n), int(qint64(rows) * (i + 1) / n)); });
    body(0, int(rows / n));
    for (int i = 1; i < n; ++i)
        others[i - 1].join();
}

// Whether the AVX2 kernels run (resampling, colour conversion): where the
// processor has AVX2, unless switched off. Both kinds of kernel give the
// same pixels; tests switch the vector ones off to compare.
[[nodiscard]] bool vectorKernels();
void useVectorKernels(bool on);

} // namespace pv
