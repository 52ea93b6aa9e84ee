#include "fileio.h"

#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstring>
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

bool sameFile(const struct stat &st, const FileIdentity &identity)
{
    return identity.valid && st.st_dev == identity.device && st.st_ino == identity.inode;
}

} // namespace

InputFile readInputFile(const QString &path)
{
    InputFile input;
    const QString cannotOpen = QStringLiteral("Could not open '%1'").arg(path);
    const QByteArray name = QFile::encodeName(path);

    // A first look by name keeps devices from being opened at all; the opened descriptor decides.
    struct stat st;
    if (name.isEmpty() || ::stat(name.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
        input.error = cannotOpen;
        return input;
    }
    // O_NONBLOCK: a pipe swapped in after the look above does not block the open.
    Descriptor fd(::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        input.error = cannotOpen;
        return input;
    }
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

    // Exactly the size the file had when opened: a file that grows is read as it was, and one
    // that yields less (it shrank, or it only pretends to have a size) is not shown in part.
    qint64 got = 0;
    while (got < size) {
        const ssize_t n = ::read(fd.get(), input.data.data() + got, size_t(size - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            input.error =
                n == 0
                    ? QStringLiteral("Could not read '%1': it changed while it was read").arg(path)
                    : QStringLiteral("Could not read '%1': %2")
                          .arg(path, QString::fromLocal8Bit(std::strerror(errno)));
            input.data = QByteArray();
            return input;
        }
        got += n;
    }
    input.identity = FileIdentity{st.st_dev, st.st_ino, true};
    return input;
}

namespace
{

// What stands at the output name in the output's folder.
enum class Target { Absent, Regular, IsInput, IsSymlink, Other, Unknown };

Target inspectTarget(int dirFd, const char *name, const FileIdentity &input, mode_t *mode)
{
    struct stat st;
    // The input comes first, so that a link that resolves to the input is named as the input.
    if (::fstatat(dirFd, name, &st, 0) == 0 && sameFile(st, input))
        return Target::IsInput;
    if (::fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? Target::Absent : Target::Unknown;
    if (S_ISLNK(st.st_mode))
        return Target::IsSymlink;
    if (!S_ISREG(st.st_mode))
        return Target::Other;
    *mode = st.st_mode;
    return Target::Regular;
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

// Moves the finished temporary file to the output name; `*moved` tells whether the temporary
// name is gone. Where no output existed the rename must not replace one that appeared meanwhile;
// where one existed it is checked once more right before it is replaced. A rename never writes
// through a link: at worst it replaces the link itself.
WriteStatus moveIntoPlace(int dirFd, const char *temporary, const char *name,
                          const FileIdentity &input, bool *moved)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        mode_t mode = 0;
        const Target target = inspectTarget(dirFd, name, input, &mode);
        if (target == Target::Regular) {
            *moved = ::renameat(dirFd, temporary, dirFd, name) == 0;
            return *moved ? WriteStatus::Saved : WriteStatus::Failed;
        }
        if (target != Target::Absent)
            return refusal(target);
        if (::renameat2(dirFd, temporary, dirFd, name, RENAME_NOREPLACE) == 0) {
            *moved = true;
            return WriteStatus::Saved;
        }
        if (errno == EEXIST)
            continue; // something appeared at the name: look at it again
        if (errno != EINVAL && errno != ENOSYS)
            return WriteStatus::Failed;
        // The file system has no no-replace rename: a hard link never replaces anything either.
        if (::linkat(dirFd, temporary, dirFd, name, 0) == 0)
            return WriteStatus::Saved;
        if (errno != EEXIST)
            return WriteStatus::Failed;
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

WriteStatus writeOutputFile(const QString &outputPath, const FileIdentity &input,
                            const OutputProducer &produce)
{
    const QFileInfo output(outputPath);
    const QByteArray folder = QFile::encodeName(output.absolutePath());
    const QByteArray name = QFile::encodeName(output.fileName());
    if (name.isEmpty())
        return WriteStatus::Failed;

    // Every step works relative to the opened folder, so the folder cannot change under it.
    Descriptor dir(::open(folder.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.get() < 0)
        return WriteStatus::Failed;

    mode_t existingMode = 0;
    const Target target = inspectTarget(dir.get(), name.constData(), input, &existingMode);
    if (target != Target::Absent && target != Target::Regular)
        return refusal(target);

    // A fresh name that nothing can have prepared: O_EXCL fails on anything already there,
    // links included.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temporary = '.' + name.left(64) + '.' +
                    QByteArray::number(QRandomGenerator::system()->generate64(), 36) + ".tmp";
        fd = ::openat(dir.get(), temporary.constData(),
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return WriteStatus::Failed;
    }
    if (fd < 0)
        return WriteStatus::Failed;
    Descriptor file(fd);

    bool ok = true;
    if (target == Target::Regular)
        ok = ::fchmod(file.get(), existingMode & 0777) == 0;
    const ByteSink sink = [&file](const char *data, qint64 size) {
        return writeAll(file.get(), data, size);
    };
    // The data reaches the disk before the rename, so that a crash or a late write error (a full
    // disk, a quota, a network file system) cannot leave a truncated output under the name.
    ok = ok && produce(sink) && ::fsync(file.get()) == 0;
    ok = file.close() && ok;

    bool moved = false;
    const WriteStatus status =
        ok ? moveIntoPlace(dir.get(), temporary.constData(), name.constData(), input, &moved)
           : WriteStatus::Failed;
    if (!moved)
        ::unlinkat(dir.get(), temporary.constData(), 0);
    return status;
}

WriteStatus writeOutputFile(const QString &outputPath, const FileIdentity &input,
                            const QByteArray &bytes)
{
    return writeOutputFile(outputPath, input, [&bytes](const ByteSink &sink) {
        return sink(bytes.constData(), bytes.size());
    });
}

QString outputPathFor(const QString &inputPath, const QString &suffix)
{
    const QFileInfo input(inputPath);
    return input.absolutePath() + QLatin1Char('/') + input.completeBaseName() + suffix;
}
