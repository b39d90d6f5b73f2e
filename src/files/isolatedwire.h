#pragma once
// The messages between decodeIsolated and its child: one datagram each way
// on a sequenced-packet socket, a descriptor attached where said.

#include <QtGlobal>

#include <sys/types.h>

namespace pv::wire {

inline constexpr quint32 kMagic = 0x50564431; // "PVD1"
inline constexpr int kSocketFd = 3;           // the child's socket

// The data the child program takes besides a picture's: its libraries',
// the codecs' tables and its threads' stacks. Measured: a fresh child
// holds 5 MiB; it decodes a 12-megapixel HEIC (8 bits, 4:2:0) within a
// limit of 125 MiB and a 6-megapixel one of 10 bits with alpha within
// 154 MiB, both well inside openingBytes' count, so 64 MiB leaves room.
inline constexpr qint64 kBaseBytes = qint64(64) << 20;
// The limit of a request counts from what the child holds when it comes:
// the heap freed by the picture before stays mapped. A child holding more
// than this between pictures is replaced.
inline constexpr qint64 kRetireBytes = qint64(256) << 20;


// Parent to child, with the memory file of the picture file's bytes.
struct Request {
    quint32 magic = kMagic;
    quint32 kind = 0;
    quint32 background = 0;
    qint32 helpers = 0;
    qint64 bytes = 0;       // of the attached file
    qint64 memoryLimit = 0; // the data limit to set; 0: none
    qint64 seconds = 0;     // the processor time the picture may take
    quint32 keepProfile = 0; // an RGB picture stays in its profile's colours
    // The least size of a HEIF thumbnail that may stand in for the
    // picture; 0 x 0: none may.
    qint32 thumbnailWidth = 0;
    qint32 thumbnailHeight = 0;
};

enum class Status : quint32 {
    Decoded = 0,    // the pixels attached: width x height RGB32, packed
    Refused = 1,    // text tells why
    OverMemory = 2, // the data limit was reached
    NoMemory = 3,   // memory outside the limit could not be had
};

// Child to parent.
struct Reply {
    quint32 magic = kMagic;
    Status status = Status::Refused;
    qint32 width = 0;
    qint32 height = 0;
    quint32 retiring = 0; // the child ends after this reply
    quint32 transparent = 0; // the pixels are premultiplied ARGB, not opaque RGB
    quint32 profileBytes = 0; // the kept profile, after the pixels
    char text[452] = {};
};

// Sends `size` bytes as one datagram, with `fd` attached unless it is -1.
bool sendWithFd(int socket, const void *data, size_t size, int fd);
// Receives one datagram of at most `size` bytes; an attached descriptor
// goes to `fd` (else -1). Returns its length, 0 at the end, -1 on error.
ssize_t receiveWithFd(int socket, void *data, size_t size, int &fd);

} // namespace pv::wire
