#pragma once
// What the tests of the files layer share: opening bytes as both programs
// open them, the window's save, and running a body in a child process.

#include "files/imagewrite.h"
#include "files/picture.h"
#include "surfaces/surface.h"
#include "testimages.h"

#include <QByteArray>
#include <QImage>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace filetests {

inline constexpr QRgb kBackground = 0xff102030;

inline QImage decoded(const QByteArray &bytes)
{
    const pv::Made<pv::Opened> d = pv::decodePicture(bytes, {kBackground, {}, {}});
    return d ? d->image : QImage();
}

// The same bytes opened from a file, as the window and the batch command
// open them.
inline QImage openedFromFile(const QByteArray &bytes)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("picture"));
    if (!testimages::writeFile(path, bytes))
        return QImage();
    const pv::Made<pv::Opened> d = pv::openPicture(path, {kBackground, {}, {}});
    return d ? d->image : QImage();
}

// The window's save of the w x h block at the top-left of a surface.
inline QString save(const pv::Surface &s, int w, int h, const QString &path)
{
    const pv::Made<void> written = pv::writePicture(s.block(0, 0, w, h), path);
    return written ? QString() : written.reason().text;
}

inline QImage quadrants(int w, int h)
{
    QImage img(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            img.setPixel(x, y, x < w / 2 ? (y < h / 2 ? qRgb(255, 0, 0) : qRgb(0, 0, 255))
                                         : (y < h / 2 ? qRgb(0, 255, 0) : qRgb(255, 255, 0)));
    return img;
}

// Runs `body` in a child process (optionally as an unprivileged user) and
// returns what it wrote to the pipe.
inline QByteArray inChild(const std::function<QByteArray()> &body, bool unprivileged,
                          rlim_t fileLimit = RLIM_INFINITY)
{
    int fds[2];
    if (pipe(fds) != 0)
        return "pipe failed";
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        std::signal(SIGXFSZ, SIG_IGN);
        if (fileLimit != RLIM_INFINITY) {
            rlimit limit{fileLimit, fileLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        const QByteArray out = "done:" + body();
        (void)!write(fds[1], out.constData(), size_t(out.size()));
        _exit(0);
    }
    close(fds[1]);
    QByteArray result;
    char buf[4096];
    ssize_t n;
    while ((n = read(fds[0], buf, sizeof buf)) > 0)
        result.append(buf, qsizetype(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!result.startsWith("done:"))
        return "child failed, status " + QByteArray::number(status);
    return result.mid(5);
}

// HEIF and the formats of Qt's plugins are decoded by the stand-in child
// program, which misbehaves on the files made to ask for it.
inline void useStandInDecoder()
{
    qputenv("PIXELVANE_DECODER", PIXELVANE_STAND_IN);
    qputenv("PIXELVANE_DECODER_SECONDS", "2");
}

} // namespace filetests
