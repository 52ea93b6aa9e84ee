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

#include <limits>

// A moment as the local time zone shows it: seconds since the epoch and the zone's offset from
// UTC at that moment, so that the local date and time follow without asking the zone again.
struct LocalTimestamp {
    qint64 secsSinceEpoch = 0;
    int offsetFromUtc = 0; // seconds

    // The local time of `secs` as QDateTime in Qt::LocalTime shows it.
    static LocalTimestamp fromSecsSinceEpoch(qint64 secs);

    qint64 toSecsSinceEpoch() const { return secsSinceEpoch; }
    QDate date() const;
    QTime time() const;
    // The same local date and time and the same moment, with the offset as its zone.
    QDateTime toDateTime() const;
    // As QDateTime::toString(format) writes the local time.
    QString toString(const QString &format) const { return toDateTime().toString(format); }

    bool operator==(const LocalTimestamp &other) const
    {
        return secsSinceEpoch == other.secsSinceEpoch && offsetFromUtc == other.offsetFromUtc;
    }
    bool operator!=(const LocalTimestamp &other) const { return !(*this == other); }
};

// One decoded message.
struct LogMessage {
    LocalTimestamp timestamp; // local time
    quint16 type = 0;
    quint16 direction = 0;
    quint16 flags = 0;
    QString sender;
    QString text;
};
// Moved in memory as plain bytes, as its strings are: a list that grows reallocates its
// elements instead of moving them one by one into new memory.
Q_DECLARE_TYPEINFO(LocalTimestamp, Q_RELOCATABLE_TYPE);
Q_DECLARE_TYPEINFO(LogMessage, Q_RELOCATABLE_TYPE);

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
    // Where and why the record walk stopped: the offset right after the last decoded record (the
    // file's size when the whole file was decoded, 0 when no record was).
    qint64 decodedBytes = 0;
    enum class Stop { EndOfFile, DamagedRecord, MessageLimit, TextLimit };
    Stop stopped = Stop::EndOfFile;
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
// The same block appended to `block`.
void appendMessageBlock(QString &block, const LogMessage &message, int number);

// The time of a message as "yyyy-MM-dd HH:mm:ss", in local time.
QString messageTimeText(const LocalTimestamp &timestamp);

// What a view shows of a text. Qt lays a text out in time that grows with its length, with its
// changes of writing direction or script, steeply with the size of a grapheme cluster (thousands
// of combining marks on one letter are shaped as one piece), and with every colour emoji, whose
// bitmap it decodes again each time. So a view shows the start of a text within limits of each.
struct ShownLimits {
    int length;      // code units
    int runs;        // changes of writing direction or script
    int pictographs; // colour emoji
};

struct ShownText {
    QString text;        // whole grapheme clusters from the start of the text
    qint64 leftOut = 0;  // code units of the text not shown; 0 when it is shown whole
    int pictographs = 0; // colour emoji in `text`
};

// The longest grapheme cluster shown whole: longer than any emoji sequence, and than any cluster
// of text in Unicode's stream-safe form.
constexpr int maxClusterLength = 32;

// The longest start of `text` in whole grapheme clusters within `limits`. A longer cluster than
// maxClusterLength code units is shown by its first maxClusterLength units (whole code points) and
// ends the start. The work is bounded by the limits, however long `text` is.
ShownText shownStart(const QString &text, const ShownLimits &limits);

// A table cell: wider than the window, far more runs than ordinary text has, and more emoji than
// a name holds. The table lays out up to a thousand rows to size its columns, and each cell shown
// several times to draw it: Qt decodes every colour emoji's bitmap each time (about a millisecond
// here), and looks every glyph that no installed font holds up in each fallback font.
constexpr ShownLimits cellLimits = {256, 64, 8};

// The sender and the text in the detail pane: more than any name or message a client sends (the
// emoji of a long message aside), and little enough to wrap in a fraction of a second whatever it
// holds.
constexpr ShownLimits paneFieldLimits = {4096, std::numeric_limits<int>::max(), 64};

// The text of a table cell: shownStart(text, cellLimits), followed by an ellipsis when cut.
QString cellText(const QString &text);

// The block of a message as the detail pane shows it: formatMessageBlock's block, except that a
// sender or a text that shownStart(field, paneFieldLimits) cuts is shown cut and ends in an
// ellipsis, under a first line that says what was cut.
QString paneBlock(const LogMessage &message, int number);

QString typeName(quint16 type);
QString directionArrow(quint16 direction);
QString directionLabel(quint16 direction);
