// Reads a file and writes an output as the programs do, in a process of its own, so that a test can
// put faults into its system calls (fileshim) or end it by a signal:
//   fileio_child INPUT OUTPUT SIZE
// reads INPUT, then writes SIZE bytes to OUTPUT. It prints the read error, or the mode of the
// file being written when its first byte is written and then the write's status and errno.
#include "fileio.h"

#include <QFileInfo>

#include <csignal>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

namespace
{

// The mode of the one regular file open for writing in `folder`, named or not.
unsigned modeOfFileBeingWritten(const QString &folder)
{
    const QByteArray prefix = QFile::encodeName(folder) + '/';
    for (int fd = 3; fd < 64; ++fd) {
        char target[4096] = {};
        const QByteArray link = "/proc/self/fd/" + QByteArray::number(fd);
        struct stat st;
        if (::readlink(link.constData(), target, sizeof target - 1) > 0 &&
            QByteArray(target).startsWith(prefix) && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            return st.st_mode & 07777;
    }
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    if (argc != 4)
        return 2;
    // As started from a terminal, also when the test runs in the background.
    for (const int signal : {SIGINT, SIGTERM, SIGHUP})
        std::signal(signal, SIG_DFL);
    const QString output = QString::fromLocal8Bit(argv[2]);
    const InputFile input = readInputFile(QString::fromLocal8Bit(argv[1]));
    if (!input.error.isEmpty()) {
        std::printf("%s\n", qPrintable(input.error));
        return 1;
    }
    const QByteArray piece(1 << 20, 'x');
    const qint64 size = QByteArray(argv[3]).toLongLong();
    const WriteResult result = writeOutputFile(output, input.identity, [&](const ByteSink &sink) {
        std::printf("%o\n", modeOfFileBeingWritten(QFileInfo(output).path()));
        std::fflush(stdout);
        for (qint64 done = 0; done < size; done += piece.size()) {
            if (!sink(piece.constData(), qMin<qint64>(piece.size(), size - done)))
                return false;
        }
        return true;
    });
    std::printf("%d %d\n", int(result.status), result.error);
    return 0;
}
