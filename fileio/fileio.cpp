#include "fileio.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// Closes a descriptor when it goes out of scope.
class Descriptor
{
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor()
    {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;

    int get() const { return fd; }
    // Closes now and reports whether the close succeeded: a failed close can be a failed write.
    bool close()
    {
        const int closing = fd;
        fd = -1;
        return ::close(closing) == 0;
    }

private:
    int fd;
};

bool sameTime(const timespec &a, const timespec &b)
{
    return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

bool sameFile(const struct stat &st, const FileIdentity &identity)
{
    if (!identity.valid || st.st_dev != identity.device)
        return false;
    return st.st_ino == identity.inode ||
           (st.st_size == identity.size && sameTime(st.st_mtim, identity.modified) &&
            sameTime(st.st_ctim, identity.changed));
}

// A path split into its folder and its last name, both as the bytes the file system knows. The
// folder is kept as written: the kernel resolves its `..` through links, where cleaning the text
// would name another folder.
struct PathParts {
    QByteArray folder;
    QByteArray name;
};

PathParts splitPath(const QString &path)
{
    const QString absolute =
        QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path;
    const int slash = absolute.lastIndexOf(QLatin1Char('/'));
    return {QFile::encodeName(slash > 0 ? absolute.left(slash) : QStringLiteral("/")),
            QFile::encodeName(absolute.mid(slash + 1))};
}

// Qt turns bytes of a name that are not UTF-8 into U+FFFD and back into other bytes, which may
// name another file. Such a path is accepted only when every name holding U+FFFD is, byte for
// byte, the one name of its folder that reads that way.
bool namesAreExact(const QString &path)
{
    if (!path.contains(QChar::ReplacementCharacter))
        return true;
    const QStringList parts = path.split(QLatin1Char('/'));
    QString folder = QDir::isAbsolutePath(path) ? QStringLiteral("/") : QDir::currentPath();
    for (const QString &part : parts) {
        if (part.contains(QChar::ReplacementCharacter)) {
            DIR *dir = ::opendir(QFile::encodeName(folder).constData());
            if (!dir)
                return false;
            int matches = 0;
            bool exact = false;
            while (const dirent *entry = ::readdir(dir)) {
                if (QFile::decodeName(entry->d_name) == part) {
                    ++matches;
                    exact = QFile::encodeName(part) == entry->d_name;
                }
            }
            ::closedir(dir);
            if (matches != 1 || !exact)
                return false;
        }
        if (!part.isEmpty())
            folder += (folder.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/")) + part;
    }
    return true;
}

// Opens for reading without changing the access time where the file system allows that.
int openForReading(int dirFd, const char *name)
{
    constexpr int flags = O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
    const int fd = ::openat(dirFd, name, flags | O_NOATIME);
    return fd >= 0 || errno != EPERM ? fd : ::openat(dirFd, name, flags);
}

// Opens the regular file at `path` by the rules of readInputFile, filling in its status and its
// folder's. Returns the descriptor, or -1 with `error` set.
int openInputFile(const QString &path, struct stat &st, struct stat &folder, QString &error)
{
    const QString cannotOpen = QStringLiteral("Could not open '%1'").arg(path);
    if (!namesAreExact(path)) {
        error = cannotOpen + QStringLiteral(": its name is not valid UTF-8");
        return -1;
    }
    const PathParts parts = splitPath(path);
    Descriptor dir(::open(parts.folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // A first look by name keeps devices from being opened at all; the opened descriptor decides.
    // O_NONBLOCK: a pipe swapped in after the look does not block the open.
    if (parts.name.isEmpty() || dir.get() < 0 || ::fstat(dir.get(), &folder) != 0 ||
        ::fstatat(dir.get(), parts.name.constData(), &st, 0) != 0 || !S_ISREG(st.st_mode)) {
        error = cannotOpen;
        return -1;
    }
    const int fd = openForReading(dir.get(), parts.name.constData());
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        error = cannotOpen;
        return -1;
    }
    return fd;
}

// Reads the first `count` bytes of the opened file `fd` into `buffer`: exactly that many, and the
// file's size and times are those of `st` afterwards, or it changed while it was read. Returns the
// error.
QString readOpened(int fd, const QString &path, const struct stat &st, char *buffer, qint64 count)
{
    const QString changed =
        QStringLiteral("Could not read '%1': it changed while it was read").arg(path);
    qint64 got = 0;
    while (got < count) {
        const ssize_t n = ::read(fd, buffer + got, size_t(count - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0 ? changed
                          : QStringLiteral("Could not read '%1': %2")
                                .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        got += n;
    }
    struct stat after;
    if (::fstat(fd, &after) != 0 || after.st_size != st.st_size ||
        !sameTime(after.st_mtim, st.st_mtim) || !sameTime(after.st_ctim, st.st_ctim))
        return changed;
    return QString();
}

} // namespace

InputFile readInputFile(const QString &path)
{
    InputFile input;
    struct stat folder;
    struct stat st;
    Descriptor fd(openInputFile(path, st, folder, input.error));
    if (fd.get() < 0)
        return input;
    const qint64 size = st.st_size;
    const QString tooLarge = QStringLiteral("Could not open '%1': file too large (%2 bytes)")
                                 .arg(path, QString::number(size));
    if (size > maxInputSize) {
        input.error = tooLarge;
        return input;
    }
    try {
        input.data.resize(int(size));
    } catch (const std::bad_alloc &) {
        input.data = QByteArray();
        input.error = tooLarge;
        return input;
    }

    // Exactly the size the file had when opened. A file that yields less, or whose size or times
    // differ afterwards, changed while it was read and is not shown in part.
    input.error = readOpened(fd.get(), path, st, input.data.data(), size);
    if (!input.error.isEmpty()) {
        input.data = QByteArray();
        return input;
    }
    input.identity = FileIdentity{st.st_dev,  st.st_ino,     st.st_size,    st.st_mtim,
                                  st.st_ctim, folder.st_dev, folder.st_ino, true};
    return input;
}

qint64 readInputFileStart(const QString &path, char *buffer, qint64 capacity, QString &error)
{
    struct stat folder;
    struct stat st;
    Descriptor fd(openInputFile(path, st, folder, error));
    if (fd.get() < 0)
        return -1;
    const qint64 count = std::min<qint64>(st.st_size, capacity);
    error = readOpened(fd.get(), path, st, buffer, count);
    return error.isEmpty() ? count : -1;
}

namespace
{

// What stands at the output name in the output's folder.
enum class Target { Absent, Regular, IsInput, IsSymlink, Other, Unknown };

Target inspectTarget(int dirFd, const char *name, const FileIdentity &input,
                     const QVector<FileIdentity> &spared, struct stat *found)
{
    struct stat st;
    // The input comes first, so that a link that resolves to the input is named as the input.
    if (::fstatat(dirFd, name, &st, 0) == 0 &&
        (sameFile(st, input) ||
         std::any_of(spared.begin(), spared.end(),
                     [&st](const FileIdentity &other) { return sameFile(st, other); })))
        return Target::IsInput;
    if (::fstatat(dirFd, name, found, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Target::Absent : Target::Unknown;
    if (S_ISLNK(found->st_mode))
        return Target::IsSymlink;
    return S_ISREG(found->st_mode) ? Target::Regular : Target::Other;
}

WriteStatus refusal(Target target)
{
    switch (target) {
    case Target::IsInput:
        return WriteStatus::IsInput;
    case Target::IsSymlink:
        return WriteStatus::IsSymlink;
    default:
        return WriteStatus::Failed;
    }
}

// Where the file system has neither a no-replace rename nor hard links (FAT and exFAT through
// FUSE), the name is claimed with an empty file first; it is replaced only if it is still that
// file right before the rename.
bool claimName(int dirFd, const char *name, struct stat *claimed)
{
    Descriptor fd(
        ::openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    return fd.get() >= 0 && ::fstat(fd.get(), claimed) == 0 && fd.close();
}

// Moves the finished temporary file to the output name; `*moved` tells whether the temporary
// name is gone. Where no output existed the rename must not replace one that appeared meanwhile;
// where one existed it is checked once more right before it is replaced. A rename never writes
// through a link: at worst it replaces the link itself.
WriteStatus moveIntoPlace(int dirFd, const char *temporary, const char *name,
                          const FileIdentity &input, const QVector<FileIdentity> &spared,
                          bool *moved)
{
    struct stat claimed;
    bool haveClaim = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat found;
        const Target target = inspectTarget(dirFd, name, input, spared, &found);
        const bool ours = haveClaim && found.st_ino == claimed.st_ino && found.st_size == 0;
        if (target == Target::Regular && (!haveClaim || ours)) {
            *moved = ::renameat(dirFd, temporary, dirFd, name) == 0;
            if (!*moved && ours)
                ::unlinkat(dirFd, name, 0);
            return *moved ? WriteStatus::Saved : WriteStatus::Failed;
        }
        if (target != Target::Absent)
            return target == Target::Regular ? WriteStatus::Failed : refusal(target);
        if (::renameat2(dirFd, temporary, dirFd, name, RENAME_NOREPLACE) == 0) {
            *moved = true;
            return WriteStatus::Saved;
        }
        if (errno == EEXIST)
            continue; // something appeared at the name: look at it again
        if (errno != EINVAL && errno != ENOSYS)
            return WriteStatus::Failed;
        // No no-replace rename here: a hard link never replaces anything either.
        if (::linkat(dirFd, temporary, dirFd, name, 0) == 0)
            return WriteStatus::Saved;
        if (errno == EEXIST)
            continue;
        if (haveClaim || !claimName(dirFd, name, &claimed))
            return WriteStatus::Failed;
        haveClaim = true;
    }
    return WriteStatus::Failed;
}

// Writes all of `size` bytes, also when the kernel takes them in parts.
bool writeAll(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(size));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= n;
    }
    return true;
}

} // namespace

ByteSink descriptorSink(int fd)
{
    return [fd](const char *data, qint64 size) { return writeAll(fd, data, size); };
}

WriteStatus writeOutputFile(const QString &outputPath, const FileIdentity &input,
                            const OutputProducer &produce, const QVector<FileIdentity> &spared)
{
    const PathParts parts = splitPath(outputPath);
    if (parts.name.isEmpty())
        return WriteStatus::Failed;

    // Every step works relative to the opened folder, so the folder cannot change under it, and
    // it must be the folder the input was read from.
    Descriptor dir(::open(parts.folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat folder;
    if (dir.get() < 0 || ::fstat(dir.get(), &folder) != 0)
        return WriteStatus::Failed;
    if (input.valid && (folder.st_dev != input.folderDevice || folder.st_ino != input.folderInode))
        return WriteStatus::Failed;

    struct stat existing;
    const Target target =
        inspectTarget(dir.get(), parts.name.constData(), input, spared, &existing);
    if (target != Target::Absent && target != Target::Regular)
        return refusal(target);

    // A fresh name that nothing can have prepared: O_EXCL fails on anything already there,
    // links included.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = '.' + parts.name.left(64) + '.' +
                    QByteArray::number(QRandomGenerator::system()->generate64(), 36) + ".tmp";
        fd = ::openat(dir.get(), temporary.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return WriteStatus::Failed;
    }
    if (fd < 0)
        return WriteStatus::Failed;
    Descriptor file(fd);

    // A replaced output keeps its permissions, but never execute or special bits; a file system
    // without permissions refuses the change, which costs nothing.
    if (target == Target::Regular)
        ::fchmod(file.get(), existing.st_mode & 0666);
    // The data reaches the disk before the rename, so that a crash or a late write error (a full
    // disk, a quota, a network file system) cannot leave a truncated output under the name.
    bool ok = produce(descriptorSink(file.get())) && ::fsync(file.get()) == 0;
    ok = file.close() && ok;

    bool moved = false;
    const WriteStatus status = ok ? moveIntoPlace(dir.get(), temporary.constData(),
                                                  parts.name.constData(), input, spared, &moved)
                                  : WriteStatus::Failed;
    if (!moved)
        ::unlinkat(dir.get(), temporary.constData(), 0);
    return status;
}

WriteStatus writeOutputFile(const QString &outputPath, const FileIdentity &input,
                            const QByteArray &bytes, const QVector<FileIdentity> &spared)
{
    return writeOutputFile(
        outputPath, input,
        [&bytes](const ByteSink &sink) { return sink(bytes.constData(), bytes.size()); }, spared);
}

FileIdentity fileIdentity(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return FileIdentity{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim, 0, 0, true};
}

void restrictWritesToOutputs()
{
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope,
                       QStringLiteral("/dev/null/no-settings"));
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope,
                       QStringLiteral("/dev/null/no-settings"));
    std::signal(SIGXFSZ, SIG_IGN);
}

QString outputPathFor(const QString &inputPath, const QString &suffix)
{
    const PathParts parts = splitPath(inputPath);
    const QString folder = QFile::decodeName(parts.folder);
    const QString name = QFile::decodeName(parts.name);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    return (folder == QLatin1String("/") ? QString() : folder) + QLatin1Char('/') +
           (dot < 0 ? name : name.left(dot)) + suffix;
}
