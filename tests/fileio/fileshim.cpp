// Faults put into the system calls of a process by LD_PRELOAD, chosen by the environment:
//   FILESHIM_FAULTS  any of: fail-fsync (a regular file's fsync fails with EIO), fail-close (the
//                    close of a regular file open for writing fails with EIO, after closing it),
//                    no-tmpfile (O_TMPFILE is not supported), signal (the first write to a
//                    regular file raises the signal FILESHIM_SIGNAL), trace (renames, links and
//                    the fsync of a folder are printed to standard output)
//   FILESHIM_FIFO    a name: a FIFO takes its place right before it is opened for reading
//   FILESHIM_LINK    a path: a symbolic link to it appears at the new name of a renameat2, right
//                    before the rename
#include <dlfcn.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

bool has(const char *fault)
{
    const char *faults = std::getenv("FILESHIM_FAULTS");
    return faults && std::strstr(faults, fault);
}

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

bool isRegular(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

void trace(const char *what)
{
    if (has("trace"))
        std::printf("%s\n", what);
}

int openAt(const char *name, int dirFd, const char *path, int flags, mode_t mode)
{
    if ((flags & O_TMPFILE) == O_TMPFILE && has("no-tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const char *fifo = std::getenv("FILESHIM_FIFO");
    if (fifo && std::strcmp(path, fifo) == 0 && (flags & O_ACCMODE) == O_RDONLY) {
        unlinkat(dirFd, path, 0);
        mkfifoat(dirFd, path, 0600);
    }
    return real<int (*)(int, const char *, int, mode_t)>(name)(dirFd, path, flags, mode);
}

} // namespace

extern "C" {

int openat(int dirFd, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = va_arg(arguments, mode_t);
    va_end(arguments);
    return openAt("openat", dirFd, path, flags, mode);
}

int openat64(int dirFd, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = va_arg(arguments, mode_t);
    va_end(arguments);
    return openAt("openat64", dirFd, path, flags, mode);
}

int fsync(int fd)
{
    struct stat st = {};
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode))
        trace("folder synced");
    if (S_ISREG(st.st_mode) && has("fail-fsync")) {
        errno = EIO;
        return -1;
    }
    return real<int (*)(int)>("fsync")(fd);
}

int close(int fd)
{
    const bool failing =
        has("fail-close") && isRegular(fd) && (fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY;
    const int closed = real<int (*)(int)>("close")(fd);
    if (failing) {
        errno = EIO;
        return -1;
    }
    return closed;
}

ssize_t write(int fd, const void *data, size_t size)
{
    static bool raised = false;
    if (!raised && has("signal") && isRegular(fd)) {
        raised = true;
        raise(std::atoi(std::getenv("FILESHIM_SIGNAL")));
    }
    return real<ssize_t (*)(int, const void *, size_t)>("write")(fd, data, size);
}

int renameat2(int oldDir, const char *oldPath, int newDir, const char *newPath, unsigned flags)
{
    if (const char *target = std::getenv("FILESHIM_LINK"))
        symlinkat(target, newDir, newPath);
    const int renamed = real<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(
        oldDir, oldPath, newDir, newPath, flags);
    if (renamed == 0)
        trace("named");
    return renamed;
}

int renameat(int oldDir, const char *oldPath, int newDir, const char *newPath)
{
    const int renamed = real<int (*)(int, const char *, int, const char *)>("renameat")(
        oldDir, oldPath, newDir, newPath);
    if (renamed == 0)
        trace("named");
    return renamed;
}

int linkat(int oldDir, const char *oldPath, int newDir, const char *newPath, int flags)
{
    const int linked = real<int (*)(int, const char *, int, const char *, int)>("linkat")(
        oldDir, oldPath, newDir, newPath, flags);
    if (linked == 0)
        trace("named");
    return linked;
}
}
