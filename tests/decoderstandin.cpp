// A stand-in for pixelvane-decode, chosen with PIXELVANE_DECODER: a file
// holding "pixelvane-stand-in:" and a behaviour (testimages::misbehaving)
// makes it abort, leak without bound, spin or sleep, as a decoder's fault
// would;
// any other file is decoded as the real child decodes it.
#include "files/isolated.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

pv::Made<QImage> decode(const QByteArray &bytes, pv::IsolatedKind kind, const pv::Work &work, QSize thumbnail)
{
    if (bytes.contains("pixelvane-stand-in:abort"))
        std::abort();
    if (bytes.contains("pixelvane-stand-in:leak")) {
        for (;;) {
            char *block = new char[1 << 20];
            std::memset(block, 1, 1 << 20);
        }
    }
    if (bytes.contains("pixelvane-stand-in:spin")) {
        std::atomic<unsigned> turns{0};
        for (;;)
            turns.fetch_add(1, std::memory_order_relaxed);
    }
    if (bytes.contains("pixelvane-stand-in:sleep")) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(1));
    }
    return pv::decodeForChild(bytes, kind, work, thumbnail);
}

} // namespace

int main(int argc, char **argv)
{
    const int socket = pv::startIsolatedChild(argc, argv);
    if (socket < 0)
        return 2;
    return pv::serveIsolated(socket, decode);
}
