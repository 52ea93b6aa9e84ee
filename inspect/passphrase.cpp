#include "passphrase.h"

#include <QFileInfo>

#include <tox/toxencryptsave.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace
{

const uint8_t *u8(const QByteArray &bytes)
{
    return reinterpret_cast<const uint8_t *>(bytes.constData());
}

// Keeps the first line of `read` (whose first `size` bytes were read) without its line end,
// overwriting the rest. Returns the error.
QString keepFirstLine(Secret &read, int size)
{
    QByteArray &bytes = read.bytes;
    int end = int(bytes.indexOf('\n'));
    const bool lineEnd = end >= 0 && end < size;
    if (!lineEnd)
        end = size;
    if (end > maxPassphraseLength)
        return QStringLiteral("its first line is longer than %1 bytes").arg(maxPassphraseLength);
    if (lineEnd && end > 0 && bytes.at(end - 1) == '\r')
        --end;
    // Shrinking a buffer of one owner keeps it in place: the rest is wiped here, the line later.
    explicit_bzero(const_cast<char *>(bytes.constData()) + end, size_t(bytes.size() - end));
    bytes.resize(end);
    if (end == 0)
        return size == 0 ? QStringLiteral("it is empty")
                         : QStringLiteral("its first line is empty");
    return QString();
}

// Reads `fd` into `read` until a line end, the end of its data or maxPassphraseLength + 1 bytes;
// a descriptor that would block is waited for. Returns the count read, -1 on an error.
int readLine(int fd, Secret &read)
{
    read.bytes = QByteArray(maxPassphraseLength + 1, '\0');
    char *buffer = read.bytes.data();
    int got = 0;
    while (got < read.bytes.size() && !std::memchr(buffer, '\n', size_t(got))) {
        const ssize_t n = ::read(fd, buffer + got, size_t(read.bytes.size() - got));
        if (n > 0) {
            got += int(n);
        } else if (n == 0) {
            break;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            pollfd wait{fd, POLLIN, 0};
            if (::poll(&wait, 1, -1) < 0 && errno != EINTR)
                return -1;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return got;
}

// The terminal's settings before its echo was turned off, which a signal that ends the program
// meanwhile restores.
termios typedAt;

void restoreTerminal(int signal)
{
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &typedAt);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

// The line typed on the terminal of standard input after the prompt, not echoed.
int readTypedLine(Secret &read, const ByteSink &prompt)
{
    if (::tcgetattr(STDIN_FILENO, &typedAt) != 0)
        return readLine(STDIN_FILENO, read);
    static const int endingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};
    struct sigaction restore = {};
    restore.sa_handler = restoreTerminal;
    struct sigaction before[std::size(endingSignals)];
    for (size_t i = 0; i < std::size(endingSignals); ++i)
        ::sigaction(endingSignals[i], &restore, &before[i]);
    termios silent = typedAt;
    silent.c_lflag &= ~tcflag_t(ECHO);
    silent.c_lflag |= ECHONL;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    prompt("Passphrase: ", 12);
    const int got = readLine(STDIN_FILENO, read);
    const int readErrno = errno;
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &typedAt);
    for (size_t i = 0; i < std::size(endingSignals); ++i)
        ::sigaction(endingSignals[i], &before[i], nullptr);
    errno = readErrno;
    return got;
}

} // namespace

void Secret::wipe()
{
    explicit_bzero(const_cast<char *>(bytes.constData()), size_t(bytes.size()));
    bytes = QByteArray();
}

QString readPassphrase(const QString &argument, Secret &passphrase, const ByteSink &prompt)
{
    passphrase.wipe();
    // From here on the memory holds the passphrase and what it decrypts: a crash, or the quit key
    // on a terminal, writes no core file of it, and no other process of the user may read it.
    const rlimit noCore = {0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
    const QString readError = QStringLiteral("could not read it: %1");
    if (argument == QLatin1String("-")) {
        const int got = ::isatty(STDIN_FILENO) ? readTypedLine(passphrase, prompt)
                                               : readLine(STDIN_FILENO, passphrase);
        if (got < 0)
            return readError.arg(QString::fromLocal8Bit(std::strerror(errno)));
        return keepFirstLine(passphrase, got);
    }

    const QString path = QFileInfo(argument).absoluteFilePath();
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISFIFO(st.st_mode)) {
        // Opening without O_NONBLOCK would wait for a writer, maybe for ever.
        const int fd = ::open(QFile::encodeName(path).constData(),
                              O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
            if (fd >= 0)
                ::close(fd);
            return QStringLiteral("Could not open '%1'").arg(path);
        }
        const int got = readLine(fd, passphrase);
        const int readErrno = errno;
        ::close(fd);
        if (got < 0)
            return readError.arg(QString::fromLocal8Bit(std::strerror(readErrno)));
        if (got == 0)
            return QStringLiteral("it is a pipe, and nothing was written to it");
        return keepFirstLine(passphrase, got);
    }
    // A regular file: its first bytes only, straight into the secret's buffer, however large.
    passphrase.bytes = QByteArray(maxPassphraseLength + 1, '\0');
    QString error;
    const qint64 got =
        readInputFileStart(path, passphrase.bytes.data(), passphrase.bytes.size(), error);
    if (got < 0) {
        passphrase.wipe();
        return error;
    }
    return keepFirstLine(passphrase, int(got));
}

QString decryptSave(const QByteArray &encrypted, const Secret &passphrase, Secret &save)
{
    save.wipe();
    if (!encrypted.startsWith("toxEsave"))
        return QStringLiteral("not a save that the Tox library encrypted with a passphrase "
                              "(it does not start with \"toxEsave\"): it cannot be decrypted");
    if (encrypted.size() < TOX_PASS_ENCRYPTION_EXTRA_LENGTH)
        return QStringLiteral("too short to be an encrypted Tox save (%1 bytes, at least %2)")
            .arg(encrypted.size())
            .arg(TOX_PASS_ENCRYPTION_EXTRA_LENGTH);
    save.bytes = QByteArray(encrypted.size() - TOX_PASS_ENCRYPTION_EXTRA_LENGTH, '\0');
    Tox_Err_Decryption error = TOX_ERR_DECRYPTION_OK;
    const QByteArray &key = passphrase.bytes;
    if (tox_pass_decrypt(u8(encrypted), size_t(encrypted.size()), u8(key), size_t(key.size()),
                         reinterpret_cast<uint8_t *>(save.bytes.data()), &error))
        return QString();
    save.wipe();
    if (error == TOX_ERR_DECRYPTION_KEY_DERIVATION_FAILED)
        return QStringLiteral("could not derive the key from the passphrase (out of memory?)");
    return QStringLiteral("could not decrypt it: the passphrase is wrong, or the file is damaged");
}
