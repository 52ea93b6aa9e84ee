// tox-inspect: the reports of Tox saves and the exports of ORVA message logs on the command line,
// in the windows' text or as JSON or CSV. It needs no display: it creates no GUI application.
#include "fileio.h"
#include "inspect.h"

#include <QCoreApplication>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

int main(int argc, char *argv[])
{
    // A standard descriptor left closed would be taken by the first descriptor the program opens
    // (Qt's event descriptor), and "--passphrase-file -" would wait on that for ever. Each gets
    // /dev/null, for reading only: a closed input reads as empty, and a closed output still
    // fails every write.
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF)
            ::open("/dev/null", O_RDONLY); // the lowest free descriptor: fd
    }

    // Every message time is converted to local time through the C library, which checks the zone
    // file /etc/localtime again on each call while TZ is unset. Naming that same file gives the
    // same local times without those file-system calls.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");

    restrictWritesToOutputs();
    // QCoreApplication takes arguments of Qt's own out of argv (-qmljsdebugger=...), and a file
    // may be named like one: the command line is read as it was given.
    const std::vector<QByteArray> given(argv, argv + argc);
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tox-inspect"));
    QCoreApplication::setApplicationVersion(QStringLiteral(INSPECTORS_VERSION));
    QStringList arguments;
    for (const QByteArray &argument : given)
        arguments << QString::fromLocal8Bit(argument);
    // On a terminal the texts are shown with their control characters made visible; anywhere else
    // they are the very bytes the windows write.
    const ByteSink out = descriptorSink(STDOUT_FILENO);
    return runInspector(arguments, {::isatty(STDOUT_FILENO) ? terminalSink(out) : out,
                                    descriptorSink(STDERR_FILENO)});
}
