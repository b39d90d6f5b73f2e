#pragma once
// Memory for large pixel buffers. A fresh buffer of a photo's size costs
// more in page faults than decoding the photo when it is faulted in 4 KiB at
// a time; large buffers are therefore mapped straight from the kernel and
// asked to be backed by huge pages.

#include "surfaces/work.h"

#include <QImage>
#include <cstddef>
#include <functional>
#include <memory>
#include <thread>

namespace pv {

// A block of bytes of undefined content, released with the object. Never
// null: throws std::bad_alloc when the memory cannot be had.
class LargeBuffer {
public:
    LargeBuffer() = default;
    explicit LargeBuffer(std::size_t bytes);
    LargeBuffer(LargeBuffer &&other) noexcept;
    LargeBuffer &operator=(LargeBuffer &&other) noexcept;
    LargeBuffer(const LargeBuffer &) = delete;
    LargeBuffer &operator=(const LargeBuffer &) = delete;
    ~LargeBuffer();

    [[nodiscard]] unsigned char *data() const { return m_data; }
    [[nodiscard]] std::size_t size() const { return m_size; }
private:
    unsigned char *m_data = nullptr;
    std::size_t m_size = 0;
    bool m_mapped = false;
};

// Faults in the pages of `image` on a second thread for its lifetime, without
// touching their contents, so that a decoder filling the image meanwhile does
// not wait for fresh memory page by page; then runs `then` there, if given.
// Joins on destruction. Starts nothing, and runs nothing, when the work
// may take no helper.
class Prefault {
public:
    Prefault(const QImage &image, const Work &work, std::function<void()> then = {});
    ~Prefault();
    Prefault(const Prefault &) = delete;
    Prefault &operator=(const Prefault &) = delete;

private:
    std::thread m_thread;
};

// A w x h image of the given 32-bit format, its pixels uninitialised (as
// QImage's own are); large ones are mapped as above, and the pixels of an
// image that was released recently are reused. Throws std::bad_alloc when
// it cannot be had.
[[nodiscard]] QImage allocateImage(int w, int h, QImage::Format format = QImage::Format_RGB32);

} // namespace pv
