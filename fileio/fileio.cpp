#include "fileio.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSettings>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <sys/xattr.h>
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
    const QString absolute = absolutePathAsGiven(path);
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

// Opens for reading without changing the access time where the kernel allows that: O_NOATIME is
// refused (EPERM) for a file of another owner, unless the process is privileged.
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
    input.identity =
        FileIdentity{st.st_dev,     st.st_ino,     st.st_size,           st.st_mtim, st.st_ctim,
                     folder.st_dev, folder.st_ino, splitPath(path).name, true};
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

// The output name is `file`'s own name in `file`'s folder, ignoring case.
bool namedLike(const FileIdentity &file, const struct stat &folder, const QByteArray &name)
{
    return file.valid && !file.name.isEmpty() && file.folderDevice == folder.st_dev &&
           file.folderInode == folder.st_ino &&
           QFile::decodeName(file.name).compare(QFile::decodeName(name), Qt::CaseInsensitive) == 0;
}

Target inspectTarget(int dirFd, const struct stat &folder, const char *name,
                     const FileIdentity &input, const QVector<FileIdentity> &spared,
                     struct stat *found)
{
    const auto isFile = [&](const FileIdentity &file, const struct stat *st) {
        return namedLike(file, folder, name) || (st && sameFile(*st, file));
    };
    const auto isAny = [&](const struct stat *st) {
        return isFile(input, st) ||
               std::any_of(spared.begin(), spared.end(),
                           [&](const FileIdentity &other) { return isFile(other, st); });
    };
    struct stat st;
    // The input comes first, so that a link that resolves to the input is named as the input.
    if (isAny(::fstatat(dirFd, name, &st, 0) == 0 ? &st : nullptr))
        return Target::IsInput;
    if (::fstatat(dirFd, name, found, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Target::Absent : Target::Unknown;
    if (S_ISLNK(found->st_mode))
        return Target::IsSymlink;
    return S_ISREG(found->st_mode) ? Target::Regular : Target::Other;
}

WriteResult failure(int error)
{
    return {WriteStatus::Failed, error};
}

// Why nothing was written where `target` stands; `found` is what stands there, and `error` why it
// could not be looked at.
WriteResult refusal(Target target, const struct stat &found, int error)
{
    switch (target) {
    case Target::IsInput:
        return {WriteStatus::IsInput, 0};
    case Target::IsSymlink:
        return {WriteStatus::IsSymlink, 0};
    case Target::Other:
        return failure(S_ISDIR(found.st_mode) ? EISDIR : EEXIST);
    default:
        return failure(error);
    }
}

// The named temporary file that SIGINT, SIGTERM and SIGHUP remove before they end the process, as
// they would have ended it. The folder and the name are kept ready, since a signal handler may
// only make system calls.
volatile sig_atomic_t pendingFolder = -1;
char pendingName[NAME_MAX + 1];
constexpr int cleanedSignals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void removePendingAndEnd(int signal)
{
    if (pendingFolder >= 0)
        ::unlinkat(pendingFolder, pendingName, 0);
    std::signal(signal, SIG_DFL);
    ::raise(signal); // delivered when the handler returns
}

// Handles the three signals while it exists, unless the process ignores or handles them itself.
class TemporaryGuard
{
public:
    TemporaryGuard()
    {
        struct sigaction action = {};
        action.sa_handler = removePendingAndEnd;
        sigemptyset(&action.sa_mask);
        for (int i = 0; i < 3; ++i) {
            struct sigaction old;
            installed[i] = ::sigaction(cleanedSignals[i], nullptr, &old) == 0 &&
                           old.sa_handler == SIG_DFL &&
                           ::sigaction(cleanedSignals[i], &action, nullptr) == 0;
        }
    }
    ~TemporaryGuard()
    {
        forget();
        for (int i = 0; i < 3; ++i) {
            if (installed[i])
                std::signal(cleanedSignals[i], SIG_DFL);
        }
    }
    TemporaryGuard(const TemporaryGuard &) = delete;
    TemporaryGuard &operator=(const TemporaryGuard &) = delete;

    void remember(int dirFd, const QByteArray &name)
    {
        forget();
        std::memcpy(pendingName, name.constData(), size_t(name.size()) + 1);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        pendingFolder = dirFd;
    }
    void forget()
    {
        pendingFolder = -1;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }

private:
    bool installed[3] = {};
};

QByteArray temporaryName(const QByteArray &name)
{
    return '.' + name.left(64) + '.' +
           QByteArray::number(QRandomGenerator::system()->generate64(), 36) + ".tmp";
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
WriteResult moveIntoPlace(int dirFd, const struct stat &folder, const char *temporary,
                          const char *name, const FileIdentity &input,
                          const QVector<FileIdentity> &spared, bool *moved)
{
    struct stat claimed;
    bool haveClaim = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat found = {};
        const Target target = inspectTarget(dirFd, folder, name, input, spared, &found);
        const int looked = errno;
        const bool ours = haveClaim && found.st_ino == claimed.st_ino && found.st_size == 0;
        if (target == Target::Regular && (!haveClaim || ours)) {
            *moved = ::renameat(dirFd, temporary, dirFd, name) == 0;
            const int renamed = errno;
            if (!*moved && ours)
                ::unlinkat(dirFd, name, 0);
            return *moved ? WriteResult{WriteStatus::Saved, 0} : failure(renamed);
        }
        if (target != Target::Absent)
            return target == Target::Regular ? failure(EEXIST) : refusal(target, found, looked);
        if (::renameat2(dirFd, temporary, dirFd, name, RENAME_NOREPLACE) == 0) {
            *moved = true;
            return {WriteStatus::Saved, 0};
        }
        if (errno == EEXIST)
            continue; // something appeared at the name: look at it again
        if (errno != EINVAL && errno != ENOSYS)
            return failure(errno);
        // No no-replace rename here: a hard link never replaces anything either.
        if (::linkat(dirFd, temporary, dirFd, name, 0) == 0)
            return {WriteStatus::Saved, 0};
        if (errno == EEXIST)
            continue;
        if (haveClaim || !claimName(dirFd, name, &claimed))
            return failure(errno);
        haveClaim = true;
    }
    return failure(EEXIST);
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

// The permissions a file created by this process gets where its folder has no default ACL:
// 0666 without the bits of the process's umask, read where the kernel shows it (umask() can only
// be read by changing it, which would race with other threads).
mode_t newFileMode()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : status.readAll().split('\n')) {
            bool ok = false;
            const uint mask = line.startsWith("Umask:") ? line.mid(6).trimmed().toUInt(&ok, 8) : 0;
            if (ok)
                return 0666 & ~mode_t(mask);
        }
    }
    const mode_t mask = ::umask(077);
    ::umask(mask);
    return 0666 & ~mask;
}

// POSIX ACLs as Linux stores them in extended attributes: a 4-byte version, then 8-byte entries
// of a 16-bit tag, 16-bit permissions and a 32-bit id.
const char accessAcl[] = "system.posix_acl_access";
const char defaultAcl[] = "system.posix_acl_default";

// The ACL in the attribute, without execute permissions; empty where there is none.
QByteArray aclWithoutExecute(const std::function<ssize_t(void *, size_t)> &get)
{
    QByteArray acl(4 + 8 * 64, '\0');
    ssize_t size = get(acl.data(), size_t(acl.size()));
    if (size < 0 && errno == ERANGE) {
        acl.resize(int(get(nullptr, 0)));
        size = acl.isEmpty() ? -1 : get(acl.data(), size_t(acl.size()));
    }
    if (size < 4)
        return QByteArray();
    acl.resize(int(size));
    for (int perm = 4 + 2; perm + 2 <= acl.size(); perm += 8)
        acl[perm] = char(acl.at(perm) & ~1);
    return acl;
}

// Gives the complete file `fd` the permissions of the output it replaces (`existing`, named `name`
// in the folder `dirFd`), or those of a new file. A file system without permissions or ACLs
// refuses these changes, which costs nothing.
void givePermissions(int fd, int dirFd, const char *name, const struct stat *existing)
{
    const QByteArray where = "/proc/self/fd/" + QByteArray::number(dirFd);
    const QByteArray acl = existing ? aclWithoutExecute([&](void *value, size_t size) {
        return ::lgetxattr(where + '/' + name, accessAcl, value, size);
    })
                                    : aclWithoutExecute([&](void *value, size_t size) {
                                          return ::fgetxattr(dirFd, defaultAcl, value, size);
                                      });
    // The file was created 0600, which already narrowed an ACL it inherited from its folder.
    if (acl.isEmpty()) {
        ::fremovexattr(fd, accessAcl);
        ::fchmod(fd, existing ? existing->st_mode & 0666 : newFileMode());
    } else if (::fsetxattr(fd, accessAcl, acl.constData(), size_t(acl.size()), 0) != 0 &&
               existing) {
        ::fchmod(fd, existing->st_mode & 0666);
    }
}

// An unnamed file in the folder, which only linkat through /proc can name.
int openUnnamed(int dirFd)
{
    if (::access("/proc/self/fd", X_OK) != 0)
        return -1;
    return ::openat(dirFd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
}

// Gives the unnamed file `fd` the name `name` in the folder; fails with EEXIST when it is taken.
bool nameUnnamed(int fd, int dirFd, const char *name)
{
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(fd);
    return ::linkat(AT_FDCWD, self.constData(), dirFd, name, AT_SYMLINK_FOLLOW) == 0;
}

} // namespace

ByteSink descriptorSink(int fd)
{
    return [fd](const char *data, qint64 size) { return writeAll(fd, data, size); };
}

WriteResult writeOutputFile(const QString &outputPath, const FileIdentity &input,
                            const OutputProducer &produce, const QVector<FileIdentity> &spared)
{
    const PathParts parts = splitPath(outputPath);
    if (parts.name.isEmpty())
        return failure(EISDIR);
    const char *name = parts.name.constData();

    // Every step works relative to the opened folder, so the folder cannot change under it, and
    // it must be the folder the input was read from.
    Descriptor dir(::open(parts.folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat folder;
    if (dir.get() < 0 || ::fstat(dir.get(), &folder) != 0)
        return failure(errno);
    if (input.valid && (folder.st_dev != input.folderDevice || folder.st_ino != input.folderInode))
        return failure(0);

    struct stat existing = {};
    const Target target = inspectTarget(dir.get(), folder, name, input, spared, &existing);
    if (target != Target::Absent && target != Target::Regular)
        return refusal(target, existing, errno);

    // A file only its owner can open: unnamed where the file system allows, else under a fresh
    // name that nothing can have prepared (O_EXCL fails on anything already there, links
    // included).
    TemporaryGuard guard;
    QByteArray temporary;
    int fd = openUnnamed(dir.get());
    const bool unnamed = fd >= 0;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = temporaryName(parts.name);
        guard.remember(dir.get(), temporary);
        fd = ::openat(dir.get(), temporary.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return failure(errno);
        if (fd < 0)
            guard.forget(); // another file's name
    }
    if (fd < 0)
        return failure(EEXIST);
    Descriptor file(fd);

    // The data reaches the disk before the rename, so that a crash or a late write error (a full
    // disk, a quota, a network file system) cannot leave a truncated output under the name.
    int error = 0;
    const auto sink = [&](const char *data, qint64 size) {
        if (!writeAll(file.get(), data, size)) {
            error = errno;
            return false;
        }
        return true;
    };
    bool ok = produce(sink);
    if (ok) {
        givePermissions(file.get(), dir.get(), name,
                        target == Target::Regular ? &existing : nullptr);
        ok = ::fsync(file.get()) == 0;
        error = ok ? 0 : errno;
    }

    bool named = !unnamed;
    bool linked = false; // the unnamed file is the output: no output existed
    if (ok && unnamed) {
        linked = target == Target::Absent && nameUnnamed(file.get(), dir.get(), name);
        for (int attempt = 0; attempt < 100 && !linked && !named; ++attempt) {
            temporary = temporaryName(parts.name);
            guard.remember(dir.get(), temporary);
            named = nameUnnamed(file.get(), dir.get(), temporary.constData());
            if (!named && errno != EEXIST)
                break;
        }
        ok = linked || named;
        error = ok ? 0 : errno;
    }
    struct stat written = {};
    ::fstat(file.get(), &written);
    if (!file.close() && ok) {
        ok = false;
        error = errno;
        struct stat st;
        if (linked && ::fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            st.st_dev == written.st_dev && st.st_ino == written.st_ino)
            ::unlinkat(dir.get(), name, 0);
    }

    bool moved = false;
    WriteResult result = failure(error);
    if (ok && linked)
        result = {WriteStatus::Saved, 0};
    else if (ok)
        result =
            moveIntoPlace(dir.get(), folder, temporary.constData(), name, input, spared, &moved);
    if (named && !moved)
        ::unlinkat(dir.get(), temporary.constData(), 0);
    guard.forget();
    // The new name reaches the disk too: after a crash the folder holds the new output, not the
    // old one or none. A folder that cannot be synced still holds the output.
    if (result.status == WriteStatus::Saved)
        ::fsync(dir.get());
    return result;
}

WriteResult writeOutputFile(const QString &outputPath, const FileIdentity &input,
                            const QByteArray &bytes, const QVector<FileIdentity> &spared)
{
    return writeOutputFile(
        outputPath, input,
        [&bytes](const ByteSink &sink) { return sink(bytes.constData(), bytes.size()); }, spared);
}

FileIdentity fileIdentity(const QString &path)
{
    const PathParts parts = splitPath(path);
    struct stat st;
    struct stat folder = {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    ::stat(parts.folder.constData(), &folder);
    return FileIdentity{st.st_dev,     st.st_ino,     st.st_size, st.st_mtim, st.st_ctim,
                        folder.st_dev, folder.st_ino, parts.name, true};
}

QString absolutePathAsGiven(const QString &path)
{
    return QDir::isAbsolutePath(path) ? path : QDir::currentPath() + QLatin1Char('/') + path;
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
