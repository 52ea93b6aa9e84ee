// Decoder and renderings of ORVA message logs: a flat run of records, each a 16-byte header
// (time, reserved zeros, type, text length, direction, flags) followed by the sender name and the
// message text. The sender's length is not stored, so record boundaries are found by scanning
// for the next plausible header. Nothing here throws or shows anything.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QString>
#include <QtGlobal>

class QTableWidgetItem;

// One decoded message.
struct LogMessage {
    QDateTime timestamp; // local time
    quint16 type = 0;
    quint16 direction = 0;
    quint16 flags = 0;
    QString sender;
    QString text;
};

// The outcome of decoding one log. `error` is empty whenever the record walk ran, also when it
// produced no message.
struct LogParseResult {
    QList<LogMessage> messages;
    QString error;
};

// Decodes the complete contents of a log file.
LogParseResult parseMessageLog(const QByteArray &content);

// The boxed four-line text block of one message; `number` is its 1-based position in the list.
QString formatMessageBlock(const LogMessage &message, int number);

// The four new table items (Time, Dir, Sender, Message) of one message; the caller owns them
// until it hands them to a table.
QList<QTableWidgetItem *> messageRowItems(const LogMessage &message);

QString typeName(quint16 type);
QString directionArrow(quint16 direction);
QString directionLabel(quint16 direction);
