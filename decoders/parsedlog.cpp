#include "parsedlog.h"

// The text is UTF-8 whatever the locale. It is gathered in pieces of about half a million
// characters, each ending after a block, that are encoded and written at once: no copy of the
// whole text is held in memory.
bool writeParsedLog(const ByteSink &sink, const QString &inputPath,
                    const QList<LogMessage> &messages, bool limitReached)
{
    constexpr int pieceSize = 1 << 19;
    QString piece;
    piece.reserve(pieceSize + 4096);
    const auto put = [&sink, &piece] {
        const QByteArray bytes = piece.toUtf8();
        piece.resize(0); // keeps the capacity
        return sink(bytes.constData(), bytes.size());
    };
    piece += parsedLogHeader(inputPath);
    for (int i = 0; i < messages.size(); ++i) {
        appendParsedLogBlocks(piece, messages, i, i + 1);
        if (piece.size() >= pieceSize && !put())
            return false;
    }
    piece += parsedLogEnd(messages.size(), limitReached);
    return put();
}

QString parsedLogHeader(const QString &inputPath)
{
    return QStringLiteral("=== ORVA Message Log: %1 ===\n\n").arg(inputPath);
}

void appendParsedLogBlocks(QString &text, const QList<LogMessage> &messages, int first, int last)
{
    for (int i = qMax(first, 0); i < qMin(last, messages.size()); ++i) {
        appendMessageBlock(text, messages.at(i), i + 1);
        text += QLatin1Char('\n');
    }
}

QString parsedLogEnd(int messageCount, bool limitReached)
{
    if (!limitReached)
        return QString();
    return QStringLiteral("!!! Only the first %1 messages are listed; the log holds more. !!!\n")
        .arg(messageCount);
}

QString parsedLogStatus(WriteStatus status, int count, const QString &outputPath, bool limitReached)
{
    QString text;
    switch (status) {
    case WriteStatus::Saved:
        text = QStringLiteral("Parsed %1 message(s). Saved to %2");
        break;
    case WriteStatus::IsInput:
        text = QStringLiteral("Parsed %1 message(s). Could not save to %2 (it is the input file)");
        break;
    case WriteStatus::IsSymlink:
        text = QStringLiteral("Parsed %1 message(s). Could not save to %2 (it is a symbolic link)");
        break;
    case WriteStatus::Failed:
        text = QStringLiteral("Parsed %1 message(s). Could not save to %2");
        break;
    }
    text = text.arg(QString::number(count), outputPath);
    if (limitReached)
        text +=
            QStringLiteral(" Only the first %1 messages are shown; the log holds more.").arg(count);
    return text;
}
