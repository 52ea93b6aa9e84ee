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

// The most messages one opening keeps: a crafted log of 17-byte records could otherwise hold over
// a hundred million, and each message costs the window about a kilobyte beside its text.
constexpr int maxMessageCount = 2000000;

// The most text one opening keeps: the bytes of sender and text, summed over the kept messages.
// Decoded, each takes two bytes of memory. With the message limit, this bounds what an opening
// holds whatever the log holds, the file included while it is decoded.
constexpr qint64 maxTextBytes = 150000000;

// The outcome of decoding one log. `error` is empty whenever the record walk ran, also when it
// produced no message.
struct LogParseResult {
    QList<LogMessage> messages;
    QString error;
    // The log holds more records than were kept: the walk stopped at the message limit or at the
    // text limit.
    bool limitReached = false;
};

// Decodes the complete contents of a log file, keeping at most maxMessageCount messages and
// maxTextBytes of text.
LogParseResult parseMessageLog(const QByteArray &content);

// The same with other limits: the walk keeps at most `maxMessages` messages whose senders and
// texts together take at most `maxText` bytes of the log, and sets `limitReached` when another
// record follows them. `error` stays empty in that case.
LogParseResult parseMessageLog(const QByteArray &content, int maxMessages,
                               qint64 maxText = maxTextBytes);

// The boxed four-line text block of one message; `number` is its 1-based position in the list.
QString formatMessageBlock(const LogMessage &message, int number);

// The four new table items (Time, Dir, Sender, Message) of one message; the caller owns them
// until it hands them to a table.
QList<QTableWidgetItem *> messageRowItems(const LogMessage &message);

// The time of a message as "yyyy-MM-dd HH:mm:ss", in the zone of its timestamp.
QString messageTimeText(const QDateTime &timestamp);

QString typeName(quint16 type);
QString directionArrow(quint16 direction);
QString directionLabel(quint16 direction);
