// Faults put into the system calls of a process by LD_PRELOAD, chosen by the environment:
//   FILESHIM_FAULTS  any of: fail-fsync (a regular file's fsync fails with EIO), fail-close (the
//                    close of a regular file open for writing fails with EIO, after closing it),
//                    no-tmpfile (O_TMPFILE is not supported), signal (the first write to a
//                    regular file raises the signal FILESHIM_SIGNAL), trace (the fsync of a
//                    folder is printed to standard output), file-size-limit (files are limited to
//                    1 MiB; a write past it fails with EFBIG), change-on-read (a regular file
//                    gets other times after each read, as when it is written meanwhile)
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
#include <sys/resource.h>
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

mode_t type(int fd)
{
    struct stat st = {};
    return fstat(fd, &st) == 0 ? st.st_mode & S_IFMT : 0;
}

} // namespace

extern "C" {

__attribute__((constructor)) void limitFileSize()
{
    const rlimit limit{1 << 20, 1 << 20};
    if (has("file-size-limit") && setrlimit(RLIMIT_FSIZE, &limit) == 0)
        std::signal(SIGXFSZ, SIG_IGN);
}

int openat(int dirFd, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = va_arg(arguments, mode_t);
    va_end(arguments);
    if ((flags & O_TMPFILE) == O_TMPFILE && has("no-tmpfile")) {
        errno = EOPNOTSUPP;
        return -1;
    }
    const char *fifo = std::getenv("FILESHIM_FIFO");
    if (fifo && *fifo && std::strcmp(path, fifo) == 0 && (flags & O_ACCMODE) == O_RDONLY) {
        unlinkat(dirFd, path, 0);
        mkfifoat(dirFd, path, 0600);
    }
    return real<int (*)(int, const char *, int, mode_t)>("openat")(dirFd, path, flags, mode);
}

int fsync(int fd)
{
    if (type(fd) == S_IFDIR && has("trace"))
        std::printf("folder synced\n");
    if (type(fd) == S_IFREG && has("fail-fsync")) {
        errno = EIO;
        return -1;
    }
    return real<int (*)(int)>("fsync")(fd);
}

int close(int fd)
{
    const bool failing =
        has("fail-close") && type(fd) == S_IFREG && (fcntl(fd, F_GETFL) & O_ACCMODE) == O_WRONLY;
    const int closed = real<int (*)(int)>("close")(fd);
    errno = failing ? EIO : errno;
    return failing ? -1 : closed;
}

ssize_t write(int fd, const void *data, size_t size)
{
    static bool raised = false;
    if (!raised && has("signal") && type(fd) == S_IFREG) {
        raised = true;
        raise(std::atoi(std::getenv("FILESHIM_SIGNAL")));
    }
    return real<ssize_t (*)(int, const void *, size_t)>("write")(fd, data, size);
}

ssize_t read(int fd, void *data, size_t size)
{
    const ssize_t n = real<ssize_t (*)(int, void *, size_t)>("read")(fd, data, size);
    const timespec epoch[2] = {};
    if (has("change-on-read") && type(fd) == S_IFREG)
        futimens(fd, epoch);
    return n;
}

int renameat2(int oldDir, const char *oldPath, int newDir, const char *newPath, unsigned flags)
{
    const char *target = std::getenv("FILESHIM_LINK");
    if (target && *target)
        symlinkat(target, newDir, newPath);
    return real<int (*)(int, const char *, int, const char *, unsigned)>("renameat2")(
        oldDir, oldPath, newDir, newPath, flags);
}
}
