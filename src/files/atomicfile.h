#pragma once

#include "surfaces/fault.h"

#include <QByteArray>
#include <QString>

#include <atomic>

namespace pv {

// Writes a file so that whatever was there before is either replaced whole
// or left untouched: the data goes to a hidden temporary file beside the
// target, which is renamed over it only once complete. Replacing an
// existing file also waits for the data to reach the disk first, so that
// not even a power failure can leave the old file empty. A temporary file
// is never left behind. Faults carry the system's own descriptions.
//
// Only a regular file is replaced. Made not to replace at all, the file is
// put in place only if nothing has the name by then, checked and renamed in
// one step.
class AtomicFile {
public:
    enum class Existing { Replace, Keep };
    explicit AtomicFile(const QString &path, Existing existing = Existing::Replace);
    ~AtomicFile();
    AtomicFile(const AtomicFile &) = delete;
    AtomicFile &operator=(const AtomicFile &) = delete;

    [[nodiscard]] Made<void> open();
    // Writes at an offset; several threads may do so at once. A failure is
    // remembered: it makes later writes fail and commit() report it.
    bool writeAt(const char *data, qint64 size, qint64 offset);
    // Puts the file in place. A name taken that was not to be replaced
    // fails as Fault::Cause::Exists.
    [[nodiscard]] Made<void> commit();

private:
    Failure<Fault> fail(int error);
    Failure<Fault> fail(const Fault &fault);
    void discard();

    QByteArray m_target;
    QByteArray m_temporary;
    int m_fd = -1;
    bool m_replacing = false;
    bool m_keepExisting = false;
    std::atomic<int> m_writeError{0};
};

} // namespace pv
