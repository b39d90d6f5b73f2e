#pragma once
// Decoding in a child process, for the decoders the program cannot mend
// (libheif and its codecs, Qt's image plugins): a crash, a runaway
// allocation or an endless loop there fails one picture, never the program.
//
// Each thread that decodes keeps one child (the batch command's workers one
// each, the window one), started on first use with fork and exec and reused
// until it dies or its thread ends. Before each picture the child's memory
// is limited to the picture's budget plus what the program itself takes,
// its processor time to a limit, and the parent waits for it at most three
// times that limit (a busy machine slows it; a child that hangs without
// working still ends); core dumps are off, and the child has no descriptor but its
// socket (and, in sanitizer builds, standard error for the reports). The
// file's bytes go to the child in a sealed memory file, and the pixels come
// back in one.
//
// The child program is pixelvane-decode, looked for next to the running
// program, in the libexec folder of its installation, then in the build
// tree of a program run from there. PIXELVANE_DECODER names another
// program speaking the same protocol, and PIXELVANE_DECODER_SECONDS sets
// the time limit: both are testing aids, read once.
//
// The processor time limit, a number of whole seconds, is for the
// picture: the child's threads share it.

#include "surfaces/fault.h"
#include "surfaces/work.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>

#include <atomic>
#include <functional>

namespace pv {

enum class IsolatedKind : quint32 { Heif = 1, Qt = 2, Jxl = 3 };

struct IsolatedRequest {
    IsolatedKind kind = IsolatedKind::Heif;
    QRgb background = 0xfff0f0f0; // what transparent pixels are laid over
    Work work;
    // The bytes the decode may take besides the program's own; 0: counted
    // from the header, as the batch command's admission counts a picture.
    qint64 memoryBudget = 0;
    const std::atomic<bool> *stop = nullptr; // ends the child at once
    // An RGB picture's pixels stay in the colours of its profile, which is
    // handed to this thread's KeepColours (colour.h).
    bool keepProfile = false;
    // For HEIF: the least size of a stored thumbnail that may stand in for
    // the picture (decodeHeif); invalid: none may.
    QSize thumbnail;
};

// The picture decoded by a child, opaque RGB32. Refused (Content) when the
// decoder refuses it or when the child goes over its memory or time limit,
// naming the limit; failed (Crashed) when the child dies otherwise; out of
// memory only when this process cannot hold the result.
[[nodiscard]] Made<QImage> decodeIsolated(const QByteArray &bytes, const IsolatedRequest &request);

// Starts this thread's child now, where it is not running, so that its
// start (the program and its libraries loading) overlaps the caller's own
// work instead of the first picture's. A child that cannot be started is
// left for that picture to tell.
void startIsolatedEarly();

// The seconds a child may take for a picture within `memoryBudget`.
[[nodiscard]] int isolatedSeconds(qint64 memoryBudget);

// The child's side: answers the requests read from `socket` until it is
// closed, decoding each with `decode`; returns the exit status.
// `thumbnail` is the request's.
using IsolatedDecoder =
    std::function<Made<QImage>(const QByteArray &bytes, IsolatedKind kind, const Work &work, QSize thumbnail)>;
int serveIsolated(int socket, const IsolatedDecoder &decode);
// The decoder the child program runs.
[[nodiscard]] Made<QImage> decodeForChild(const QByteArray &bytes, IsolatedKind kind, const Work &work,
                                          QSize thumbnail = QSize());
// The start of a child program: refuses to run unless started by
// decodeIsolated, and ties the child's life to its parent's. Returns the
// socket, or -1 (then the program exits).
[[nodiscard]] int startIsolatedChild(int argc, char **argv);

} // namespace pv
