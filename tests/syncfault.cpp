// Preloaded into a run to make the disk refuse some files: fsync and
// fdatasync of a file whose name contains PIXELVANE_SYNC_FAULT fail with
// EIO, as a failing disk's would. Everything else goes to the system.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <unistd.h>

namespace {

bool refused(int fd)
{
    const char *pattern = std::getenv("PIXELVANE_SYNC_FAULT");
    if (!pattern || !*pattern)
        return false;
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char name[PATH_MAX + 1];
    const ssize_t n = ::readlink(link, name, PATH_MAX);
    if (n <= 0)
        return false;
    name[n] = '\0';
    return std::strstr(name, pattern) != nullptr;
}

template <class F>
F next(const char *name)
{
    return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int fsync(int fd)
{
    if (refused(fd)) {
        errno = EIO;
        return -1;
    }
    static const auto real = next<int (*)(int)>("fsync");
    return real(fd);
}

extern "C" int fdatasync(int fd)
{
    if (refused(fd)) {
        errno = EIO;
        return -1;
    }
    static const auto real = next<int (*)(int)>("fdatasync");
    return real(fd);
}
