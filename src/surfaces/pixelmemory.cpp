#include "surfaces/pixelmemory.h"


#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>
#include <sys/mman.h>
#include <vector>

namespace pv {

namespace {

constexpr std::size_t kHugePage = std::size_t(2) << 20;
#if defined(__SANITIZE_ADDRESS__)
#define PV_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PV_ADDRESS_SANITIZER 1
#endif
#endif
#ifdef PV_ADDRESS_SANITIZER
// Under AddressSanitizer every buffer comes from the checked allocator.
constexpr std::size_t kMapThreshold = SIZE_MAX;
#else
// Below this, the ordinary allocator is as good.
constexpr std::size_t kMapThreshold = std::size_t(4) << 20;
#endif

std::size_t mappedLength(std::size_t bytes) { return (bytes + kHugePage - 1) & ~(kHugePage - 1); }

// The last few released mappings, kept faulted in: an edit or an open that
// replaces a picture of the same size reuses them without a page fault.
// Four, so that two batch workers each find both a file's bytes and its
// picture again; at most 256 MiB together.
struct Spare {
    unsigned char *p;
    std::size_t length;
};
constexpr std::size_t kSpares = 4;
constexpr std::size_t kLargestSpare = std::size_t(256) << 20;
std::mutex spareLock;
std::vector<Spare> spares;

unsigned char *takeSpare(std::size_t length)
{
    std::lock_guard lock(spareLock);
    for (auto it = spares.begin(); it != spares.end(); ++it) {
        if (it->length == length) {
            unsigned char *p = it->p;
            spares.erase(it);
            return p;
        }
    }
    return nullptr;
}

// Maps `bytes` rounded up to whole huge pages, aligned to a huge page so
// that the kernel can back it with them, or reuses a spare of that length.
unsigned char *mapLarge(std::size_t bytes)
{
    const std::size_t length = mappedLength(bytes);
    if (unsigned char *p = takeSpare(length))
        return p;
    void *raw = mmap(nullptr, length + kHugePage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED)
        throw std::bad_alloc();
    auto *base = static_cast<unsigned char *>(raw);
    auto *aligned = reinterpret_cast<unsigned char *>((reinterpret_cast<std::uintptr_t>(base) + kHugePage - 1) &
                                                      ~(kHugePage - 1));
    if (aligned > base)
        munmap(base, std::size_t(aligned - base));
    const std::size_t tail = std::size_t(base + length + kHugePage - (aligned + length));
    if (tail)
        munmap(aligned + length, tail);
    madvise(aligned, length, MADV_HUGEPAGE);
    return aligned;
}

void unmapLarge(unsigned char *p, std::size_t bytes)
{
    if (!p)
        return;
    const std::size_t length = mappedLength(bytes);
    // Only pictures of ordinary size are kept for reuse; a huge one goes
    // back to the system at once.
    if (length > kLargestSpare) {
        munmap(p, length);
        return;
    }
    std::lock_guard lock(spareLock);
    spares.push_back({p, length});
    std::size_t kept = 0;
    for (const Spare &spare : spares)
        kept += spare.length;
    while (spares.size() > kSpares || kept > kLargestSpare) {
        kept -= spares.front().length;
        munmap(spares.front().p, spares.front().length);
        spares.erase(spares.begin());
    }
}

} // namespace

Prefault::Prefault(const QImage &image, const Work &work, std::function<void()> then)
{
    const std::size_t bytes = std::size_t(image.sizeInBytes());
    // Page-aligned range inside the image's pixels, if it is worth it.
    const auto begin = reinterpret_cast<std::uintptr_t>(image.constBits());
    std::uintptr_t first = (begin + 4095) & ~std::uintptr_t(4095);
    std::uintptr_t last = (begin + bytes) & ~std::uintptr_t(4095);
    if (bytes < kMapThreshold || last <= first)
        first = last = 0;
    if (!work.mayHelp() || (first == last && !then))
        return;
    m_thread = std::thread([first, last, then = std::move(then)] {
        if (last > first)
            madvise(reinterpret_cast<void *>(first), last - first, MADV_POPULATE_WRITE);
        if (then)
            then();
    });
}

Prefault::~Prefault()
{
    if (m_thread.joinable())
        m_thread.join();
}

LargeBuffer::LargeBuffer(std::size_t bytes) : m_size(bytes), m_mapped(bytes >= kMapThreshold)
{
    if (m_mapped) {
        m_data = mapLarge(bytes);
    } else {
        m_data = static_cast<unsigned char *>(std::malloc(bytes ? bytes : 1));
        if (!m_data)
            throw std::bad_alloc();
    }
}

LargeBuffer::LargeBuffer(LargeBuffer &&other) noexcept
    : m_data(other.m_data), m_size(other.m_size), m_mapped(other.m_mapped)
{
    other.m_data = nullptr;
    other.m_size = 0;
}

LargeBuffer &LargeBuffer::operator=(LargeBuffer &&other) noexcept
{
    if (this != &other) {
        this->~LargeBuffer();
        new (this) LargeBuffer(std::move(other));
    }
    return *this;
}

LargeBuffer::~LargeBuffer()
{
    if (m_mapped)
        unmapLarge(m_data, m_size);
    else
        std::free(m_data);
    m_data = nullptr;
}

QImage allocateImage(int w, int h, QImage::Format format)
{
    const std::size_t bytes = std::size_t(w) * std::size_t(h) * 4;
    if (w <= 0 || h <= 0)
        return QImage();
    if (bytes < kMapThreshold) {
        QImage image(w, h, format);
        if (image.isNull())
            throw std::bad_alloc();
        return image;
    }
    unsigned char *pixels = mapLarge(bytes);
    struct Mapping {
        unsigned char *p;
        std::size_t bytes;
    };
    return QImage(pixels, w, h, qsizetype(w) * 4, format,
                  [](void *info) {
                      auto *m = static_cast<Mapping *>(info);
                      unmapLarge(m->p, m->bytes);
                      delete m;
                  },
                  new Mapping{pixels, bytes});
}

} // namespace pv
