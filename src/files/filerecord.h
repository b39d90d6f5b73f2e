#pragma once
// What an output was made from, kept with the file itself in an extended
// attribute (user.pixelvane.made), so that a rerun can tell an output it
// made that is still current from one to make again, and from a file it
// did not make. File systems without user extended attributes keep none:
// there every output counts as a file without a record.

#include "surfaces/fault.h"

#include <QByteArray>

#include <cstddef>
#include <optional>

struct stat;

namespace pv {

inline constexpr char kRecordAttribute[] = "user.pixelvane.made";

// A file's bytes told in brief: its size and modification time, and a
// 128-bit XXH3 hash of its bytes as 32 hex digits (empty until read).
struct FileFacts {
    qint64 size = 0;
    qint64 modified = 0; // nanoseconds since the epoch
    QByteArray hash;
};

// The size and modification time `st` gives.
[[nodiscard]] FileFacts factsFrom(const struct stat &st);
// The size and modification time of the regular file `path` names, links
// followed, without reading it.
[[nodiscard]] Made<FileFacts> factsOf(const QByteArray &path);
// The same with the hash of its bytes, read through once.
[[nodiscard]] Made<FileFacts> hashedFacts(const QByteArray &path);

// An output as a rerun finds it: its size and hash, and its record if it
// has one (nullopt: none, or a file system that keeps none).
struct Recorded {
    FileFacts facts;
    std::optional<QByteArray> record;
};
// Reads the regular file `name` in the folder open as `folderFd`, its link
// not followed.
[[nodiscard]] Made<Recorded> recordedAt(int folderFd, const QByteArray &name);

// The hash of `size` bytes at `data`, as FileFacts::hash tells it.
[[nodiscard]] QByteArray hashOfBytes(const char *data, size_t size);
// The hash of what the open file `fd` holds, from its start to `size`.
[[nodiscard]] std::optional<QByteArray> hashOfOpenFile(int fd, qint64 size);
// Sets the record on the open file; false when the file system keeps no
// user extended attributes (or too few bytes of them).
bool setRecord(int fd, const QByteArray &record);

} // namespace pv
