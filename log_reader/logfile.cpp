#include "logfile.h"

#include <QFile>
#include <QFileInfo>

#include <limits>
#include <new>

// The largest content one QByteArray can hold in Qt 5, with room for its header.
static constexpr qint64 maxLogSize = std::numeric_limits<int>::max() - 4096;

QString readLogFile(const QString &path, QByteArray &content)
{
    content.clear();
    const QString openError = QStringLiteral("Could not open '%1'").arg(path);

    // Only regular files (symbolic links are followed). Opening a FIFO would block until a
    // writer appears, and a device such as /dev/zero never ends.
    if (!QFileInfo(path).isFile())
        return openError;

    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return openError;

    const qint64 size = file.size();
    const auto tooLarge = [&path, size] {
        return QStringLiteral("Could not open '%1': file too large (%2 bytes)")
            .arg(path, QString::number(size));
    };
    if (size > maxLogSize) {
        file.close();
        return tooLarge();
    }

    try {
        content.resize(static_cast<int>(size));
    } catch (const std::bad_alloc &) {
        file.close();
        content.clear();
        return tooLarge();
    }

    // A short read means the file changed or failed under us; a partial log is not shown.
    const qint64 got = size > 0 ? file.read(content.data(), size) : 0;
    file.close();
    if (got != size) {
        content.clear();
        return openError;
    }
    return QString();
}
