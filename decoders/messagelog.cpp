#include "messagelog.h"

#include "bytereader.h"
#include "secretkeys.h"

#include <QLocale>
#include <QTextBoundaryFinder>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <utility>

#include <unicode/uchar.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace
{

constexpr qint64 headerSize = 16;
constexpr qint64 secsPerDay = 86400;
constexpr qint64 julianDayOfEpoch = 2440588; // 1970-01-01
constexpr qint64 maxBodySize = 1000000;
// A later record's time must lie in [firstPlausibleTime, firstPlausibleTime + plausibleTimeSpan].
constexpr quint32 firstPlausibleTime = 1680000000u;
constexpr quint32 plausibleTimeSpan = 220000000u;
// The record types in use, and the same as a mask with bit t set for type t.
constexpr quint8 recordTypes[] = {8, 9, 11, 13, 17};
constexpr quint16 highestRecordType = 17;
constexpr quint32 typeMask()
{
    quint32 mask = 0;
    for (const quint8 type : recordTypes)
        mask |= 1u << type;
    return mask;
}
constexpr quint32 recordTypeMask = typeMask();
static_assert(recordTypeMask == 0x22B00u && recordTypeMask >> (highestRecordType + 1) == 0,
              "the types in use are 8, 9, 11, 13 and 17");

// Whether a record header that could follow another record starts at q. The tests run from the
// cheapest and most selective (reserved bytes) to the time window.
bool isPlausibleHeader(const ByteReader &log, qint64 q)
{
    const uchar *bytes = log.window(quint64(q), headerSize);
    if (!bytes)
        return false;
    ByteReader header(bytes, headerSize);
    quint32 time = 0;
    quint32 reserved = 0;
    quint16 type = 0;
    header.u32le(time) && header.u32le(reserved) && header.u16le(type);
    if (reserved != 0)
        return false;
    if (type > highestRecordType || ((recordTypeMask >> type) & 1u) == 0)
        return false;
    return time - firstPlausibleTime <= plausibleTimeSpan;
}

#if defined(__SSE2__)
// The byte tests of the sixteen-position scan follow from the rule above: every type in use fits
// in its low byte, and every time in the window has a high byte from timeHighFirst to
// timeHighLast.
constexpr int timeHighFirst = int(firstPlausibleTime >> 24);
constexpr int timeHighLast = int((quint64(firstPlausibleTime) + plausibleTimeSpan) >> 24);
static_assert(highestRecordType < 0x100 && timeHighLast < 0x100 && timeHighFirst <= timeHighLast,
              "the scan's byte tests must let every plausible header through");
#endif

// The first position q in [from, last] that holds a plausible header, or -1.
qint64 findNextHeader(const ByteReader &log, qint64 from, qint64 last)
{
    qint64 q = from;
#if defined(__SSE2__)
    // Sixteen positions at a time: a position can only hold a header when the reserved bytes and
    // the high byte of the type are zero, the low byte of the type is a type in use and the high
    // byte of the time lies in the window's range. Only positions that pass these byte tests get
    // the full test, in order, so the first position found is the one a byte-by-byte scan finds.
    constexpr qint64 lanes = 16;
    constexpr qint64 window = lanes + 9; // bytes q .. q + 24 are read for positions q .. q + 15
    const __m128i zero = _mm_setzero_si128();
    const __m128i timeHighLow = _mm_set1_epi8(char(timeHighFirst));
    const __m128i timeHighSpan = _mm_set1_epi8(char(timeHighLast - timeHighFirst));
    for (; q >= 0 && q + lanes - 1 <= last; q += lanes) {
        const uchar *p = log.window(quint64(q), window);
        if (!p)
            break;
        const auto load = [p](int offset) {
            return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + offset));
        };
        // A header has four zero bytes at q + 4: where no byte at q + 4 is zero, none of the
        // sixteen positions can hold one. Most bytes of ordinary text fail this one load.
        if (_mm_movemask_epi8(_mm_cmpeq_epi8(load(4), zero)) == 0)
            continue;
        // Reserved bytes and the high byte of the type all zero, high byte of the time in range:
        // random bytes fail the first, runs of zeros the second.
        const __m128i zeroBytes =
            _mm_cmpeq_epi8(_mm_or_si128(_mm_or_si128(load(4), load(5)),
                                        _mm_or_si128(_mm_or_si128(load(6), load(7)), load(9))),
                           zero);
        const __m128i timeHigh = _mm_sub_epi8(load(3), timeHighLow);
        const __m128i timeHighInWindow =
            _mm_cmpeq_epi8(_mm_min_epu8(timeHigh, timeHighSpan), timeHigh);
        int candidates = _mm_movemask_epi8(_mm_and_si128(zeroBytes, timeHighInWindow));
        if (candidates == 0)
            continue;
        const __m128i type = load(8);
        __m128i typeInUse = zero;
        for (const quint8 inUse : recordTypes)
            typeInUse = _mm_or_si128(typeInUse, _mm_cmpeq_epi8(type, _mm_set1_epi8(char(inUse))));
        candidates &= _mm_movemask_epi8(typeInUse);
        while (candidates != 0) {
            const int lane = __builtin_ctz(unsigned(candidates));
            if (isPlausibleHeader(log, q + lane))
                return q + lane;
            candidates &= candidates - 1;
        }
    }
#endif
    for (; q <= last; ++q) {
        if (isPlausibleHeader(log, q))
            return q;
    }
    return -1;
}

// `count` bytes from `pos` decoded as UTF-8, in place.
QString utf8(const ByteReader &log, qint64 pos, qint64 count)
{
    const uchar *p = log.window(quint64(pos), quint64(count));
    return p ? QString::fromUtf8(reinterpret_cast<const char *>(p), int(count)) : QString();
}

// The senders of the last records, decoded: a log holds the few names of one conversation over
// and over, so most records share the string of an earlier one instead of decoding and
// allocating their own.
class RecentSenders
{
public:
    QString decoded(const ByteReader &log, qint64 pos, qint64 count)
    {
        const uchar *bytes = log.window(quint64(pos), quint64(count));
        if (!bytes || count > maxLength)
            return utf8(log, pos, count);
        for (Sender &sender : senders) {
            if (sender.length == count && std::memcmp(sender.bytes, bytes, size_t(count)) == 0)
                return sender.text;
        }
        Sender &replaced = senders[next];
        next = (next + 1) % senderCount;
        replaced.bytes = bytes; // the log outlives the walk
        replaced.length = count;
        replaced.text = utf8(log, pos, count);
        return replaced.text;
    }

private:
    static constexpr int senderCount = 16;
    static constexpr qint64 maxLength = 64;
    struct Sender {
        const uchar *bytes = nullptr;
        qint64 length = -1;
        QString text;
    };
    Sender senders[senderCount];
    int next = 0;
};

// A Tox save, plain or encrypted: its first eight bytes, or, when those are damaged, the header
// of the NOSPAMKEYS section that a plain save starts with (length 68, type 1, cookie 0x01ce). As
// a record header that would be type 68 with no text, which no log holds. A save whose start is
// lost is still one when its first 4,096 bytes hold a section header followed, where its section
// ends, by another (the cookie bytes ce 01 are not UTF-8, and a record header holds them only
// with flags 0x01ce), or a secret key beside its public key.
bool isToxSave(const QByteArray &content)
{
    if (content.startsWith(QByteArray::fromRawData("\0\0\0\0\x1f\x1b\xed\x15", 8)) ||
        content.startsWith("toxEsave") ||
        content.startsWith(QByteArray::fromRawData("\x01\x1e\x81\xc0\xd6\x7b\xba\x9e", 8)) ||
        content.mid(8, 8) == QByteArray::fromRawData("\x44\0\0\0\x01\0\xce\x01", 8))
        return true;
    const quint64 searched = quint64(std::min<qint64>(content.size(), keySearchLength));
    const ByteReader start(reinterpret_cast<const uchar *>(content.constData()), searched);
    const uchar *bytes = start.window(0, searched);
    for (quint64 at = 0; at + 8 <= searched; ++at) {
        if (bytes[at + 6] != 0xCE) // the cheap test first: most bytes are not the cookie's
            continue;
        quint32 length = 0;
        quint32 nextLength = 0;
        if (isSaveSectionHeader(start, at, length) &&
            isSaveSectionHeader(start, at + 8 + length, nextLength))
            return true;
    }
    // Every log a client writes starts with a header that a later record could have too (a time in
    // the window, reserved bytes zero, a type in use), and no damaged save does: only a file that
    // does not is searched for a key pair, so that ordinary logs open as fast as ever.
    if (isPlausibleHeader(ByteReader(content), 0))
        return false;
    return !findKeyPairs(reinterpret_cast<const uchar *>(content.constData()), content.size(), true)
                .empty();
}

// The closest two changes of offset of any time zone since 1970 lie a week apart: an offset found
// at both ends of this many seconds holds in between, and where the two differ, it changes once
// between them.
constexpr qint64 offsetStep = 6 * 3600;

// The local offsets of the times of one log. Asking for local time costs a call into the C
// library (and with TZ unset a look at /etc/localtime), so Qt is asked once per stretch of
// offsetStep seconds that the times reach, and at a change of offset some fifteen times more to
// find its second. Every offset is one that Qt gives at a moment of the same stretch.
class LocalOffsets
{
public:
    int at(qint64 secs)
    {
        if (secs >= current.first && secs <= current.last)
            return current.offset;
        return lookUp(secs);
    }

private:
    // Qt gives `offset` for every second from `first` to `last`; the stretch can grow on a side
    // where no change of offset has been found.
    struct Stretch {
        qint64 first = 1;
        qint64 last = 0;
        int offset = 0;
        bool endFound = false;
        bool startFound = false;
    };

    static int asked(qint64 secs) { return LocalTimestamp::fromSecsSinceEpoch(secs).offsetFromUtc; }

    // Grows the stretch by up to one step on one side, up to the change of offset if there is one.
    static void grow(Stretch &stretch, bool later)
    {
        qint64 known = later ? stretch.last : stretch.first;
        qint64 other = later ? known + offsetStep : known - offsetStep;
        if (asked(other) == stretch.offset) {
            (later ? stretch.last : stretch.first) = other;
            return;
        }
        while (qAbs(other - known) > 1) {
            const qint64 middle = known + (other - known) / 2;
            (asked(middle) == stretch.offset ? known : other) = middle;
        }
        (later ? stretch.last : stretch.first) = known;
        (later ? stretch.endFound : stretch.startFound) = true;
    }

    // Whether `stretch` holds `secs`, once grown towards it if it ends less than a step before.
    static bool reaches(Stretch &stretch, qint64 secs)
    {
        if (stretch.first > stretch.last)
            return false; // none yet
        if (secs > stretch.last && !stretch.endFound && secs - stretch.last <= offsetStep)
            grow(stretch, true);
        else if (secs < stretch.first && !stretch.startFound && stretch.first - secs <= offsetStep)
            grow(stretch, false);
        return secs >= stretch.first && secs <= stretch.last;
    }

    int lookUp(qint64 secs)
    {
        // Times go back and forth over a change of offset: the stretches of both sides are kept.
        if (!reaches(current, secs)) {
            std::swap(current, previous);
            if (!reaches(current, secs)) {
                // Grown only when a later time reaches past it: times in no order ask once each.
                current = Stretch();
                current.first = current.last = secs;
                current.offset = asked(secs);
            }
        }
        return current.offset;
    }

    Stretch current;
    Stretch previous;
};

} // namespace

LocalTimestamp LocalTimestamp::fromSecsSinceEpoch(qint64 secs)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // Qt 5 converts a time after 2037 by the rules of an earlier year, which is wrong where the
    // rules changed (on Lord Howe Island it gives +11:00 for 2096-04-01 15:00 local, the C library
    // +10:30); there the C library gives the offset, as Qt 6 does for every time.
    constexpr qint64 lastQt5LocalTime = 2145916799; // 2037-12-31 23:59:59 UTC
    const time_t seconds = time_t(secs);
    tm broken{};
    if (secs > lastQt5LocalTime && localtime_r(&seconds, &broken))
        return {secs, int(broken.tm_gmtoff)};
#endif
    const QDateTime local = QDateTime::fromSecsSinceEpoch(secs, Qt::LocalTime, 0);
    const qint64 wall = (local.date().toJulianDay() - julianDayOfEpoch) * secsPerDay +
                        local.time().msecsSinceStartOfDay() / 1000;
    return {secs, int(wall - secs)};
}

QDate LocalTimestamp::date() const
{
    const qint64 wall = secsSinceEpoch + offsetFromUtc;
    const qint64 day = wall >= 0 ? wall / secsPerDay : (wall + 1) / secsPerDay - 1;
    return QDate::fromJulianDay(day + julianDayOfEpoch);
}

QTime LocalTimestamp::time() const
{
    const qint64 wall = secsSinceEpoch + offsetFromUtc;
    const qint64 second = wall % secsPerDay;
    return QTime::fromMSecsSinceStartOfDay(int(second < 0 ? second + secsPerDay : second) * 1000);
}

QDateTime LocalTimestamp::toDateTime() const
{
    return QDateTime::fromSecsSinceEpoch(secsSinceEpoch, Qt::OffsetFromUTC, offsetFromUtc);
}

LogParseResult parseMessageLog(const QByteArray &content)
{
    return parseMessageLog(content, maxMessageCount);
}

LogParseResult parseMessageLog(const QByteArray &content, int maxMessages, qint64 maxText)
{
    LogParseResult result;
    const ByteReader log(content);
    const qint64 n = qint64(log.size());
    if (n < headerSize) {
        result.error =
            QStringLiteral("File too small to be a valid ORVA message log (min 16 bytes)");
        return result;
    }
    // The first record is taken whatever its header holds, so a Tox save opened here would become
    // one message whose sender holds the save's secret key.
    if (isToxSave(content)) {
        result.error = QStringLiteral(
            "This is a Tox save file, not an ORVA message log (open it with save_reader)");
        return result;
    }

    LocalOffsets offsets;
    RecentSenders senders;
    qint64 keptText = 0;

    qint64 pos = 0;
    while (pos + headerSize <= n) {
        // Another record starts at pos; with the list full, the walk stops short of it.
        if (result.messages.size() >= maxMessages) {
            result.limitReached = true;
            result.stopped = LogParseResult::Stop::MessageLimit;
            break;
        }
        ByteReader header = log.at(quint64(pos));
        quint32 time = 0;
        quint16 type = 0;
        quint16 textLength = 0;
        quint16 direction = 0;
        quint16 flags = 0;
        header.u32le(time) && header.skip(4) && header.u16le(type) && header.u16le(textLength) &&
            header.u16le(direction) && header.u16le(flags);

        // The sender's length is not stored: the body runs on to the next plausible header. The
        // search starts behind the text (one byte in for an empty text, so that a header right
        // after a header is never a boundary) and need not look further than the longest body.
        const qint64 start = pos + headerSize;
        const qint64 scanFrom = start + (textLength > 0 ? textLength : 1);
        const qint64 last = qMin(n - headerSize, start + maxBodySize);
        qint64 next = findNextHeader(log, scanFrom, last);
        if (next < 0)
            next = n;

        const qint64 body = next - start;
        if (body > maxBodySize || body < textLength) {
            result.stopped = LogParseResult::Stop::DamagedRecord;
            break; // malformed: the record and everything after it are dropped
        }

        // The kept text is what fills the memory (a decoded string reserves two bytes for every
        // byte it came from); a record that would pass the limit is not kept.
        if (body > maxText - keptText) {
            result.limitReached = true;
            result.stopped = LogParseResult::Stop::TextLimit;
            break;
        }
        keptText += body;

        const qint64 senderLength = body - textLength;
        // Filled in place: the list's own copy is the only one, so no string changes hands.
        result.messages.append(LogMessage());
        LogMessage &message = result.messages.last();
        message.timestamp.secsSinceEpoch = time;
        message.timestamp.offsetFromUtc = offsets.at(time);
        message.type = type;
        message.direction = direction;
        message.flags = flags;
        message.sender =
            senderLength > 0 ? senders.decoded(log, start, senderLength) : QStringLiteral("<?>");
        if (textLength > 0)
            message.text = utf8(log, start + senderLength, textLength);
        result.decodedBytes = next;

        if (next >= n)
            break;
        pos = next;
    }
    return result;
}

QString typeName(quint16 type)
{
    switch (type) {
    case 8:
    case 9:
    case 13:
        return QStringLiteral("MSG");
    case 11:
        return QStringLiteral("INFO");
    case 17:
        return QStringLiteral("REPLY");
    default:
        return QStringLiteral("TYPE%1").arg(type);
    }
}

QString directionArrow(quint16 direction)
{
    switch (direction) {
    case 0:
        return QStringLiteral("←");
    case 1:
        return QStringLiteral("→");
    default:
        return QStringLiteral("↔");
    }
}

QString directionLabel(quint16 direction)
{
    // The arrow of the block, a space and the word; every cell shares one of three strings.
    static const QString labels[] = {directionArrow(0) + QLatin1String(" IN"),
                                     directionArrow(1) + QLatin1String(" OUT"),
                                     directionArrow(2) + QLatin1String(" ?")};
    return labels[qMin<int>(direction, 2)];
}

namespace
{

const QString timeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");

// Writes `value` as `width` ASCII digits, zero-filled.
QChar *putDigits(QChar *out, int value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = QLatin1Char(char('0' + value % 10));
        value /= 10;
    }
    return out + width;
}

// Appends the time of a message. QDateTime::toString formats in the system locale, whose digits
// are ASCII for nearly every language; then the text is written here directly (the format is
// parsed and the locale consulted once per call otherwise). Any other locale, or a year outside
// 1000 to 9999, goes through toString.
void appendTimeText(QString &out, const LocalTimestamp &timestamp)
{
    int year = 0;
    int month = 0;
    int day = 0;
    timestamp.date().getDate(&year, &month, &day);
    if (year < 1000 || year > 9999 || QLocale::system().zeroDigit() != QLatin1Char('0')) {
        out += timestamp.toString(timeFormat);
        return;
    }
    const QTime time = timestamp.time();
    const int at = out.size();
    out.resize(at + 19);
    QChar *digits = out.data() + at;
    digits = putDigits(digits, year, 4);
    *digits++ = QLatin1Char('-');
    digits = putDigits(digits, month, 2);
    *digits++ = QLatin1Char('-');
    digits = putDigits(digits, day, 2);
    *digits++ = QLatin1Char(' ');
    digits = putDigits(digits, time.hour(), 2);
    *digits++ = QLatin1Char(':');
    digits = putDigits(digits, time.minute(), 2);
    *digits++ = QLatin1Char(':');
    putDigits(digits, time.second(), 2);
}

} // namespace

QString messageTimeText(const LocalTimestamp &timestamp)
{
    QString text;
    text.reserve(19);
    appendTimeText(text, timestamp);
    return text;
}

void appendMessageBlock(QString &block, const LogMessage &message, int number)
{
    // The four lines are "┌─ [%1]  %2  %3  %4\n" (time, arrow, type name, sender), "│  %1\n"
    // (the text or "(empty)"), "│  flags=0x%1  |  #%2\n" (flags as four lowercase hex digits, the
    // number in decimal) and the closing line. Each value is put in as it is, so a "%1" inside
    // the sender or the text stays as it is.
    static const QString closingLine = QStringLiteral("└───────────────────────────────────────\n");
    block += QStringLiteral("┌─ [");
    appendTimeText(block, message.timestamp);
    block += QLatin1String("]  ");
    block += directionArrow(message.direction);
    block += QLatin1String("  ");
    block += typeName(message.type);
    block += QLatin1String("  ");
    block += message.sender;
    block += QStringLiteral("\n│  ");
    if (message.text.isEmpty())
        block += QLatin1String("(empty)");
    else
        block += message.text;
    block += QStringLiteral("\n│  flags=0x");
    // The flags in hexadecimal, "  |  #", the number in decimal and the line's end, as Latin-1.
    static const char hexDigits[] = "0123456789abcdef";
    char tail[4 + 6 + 11 + 1];
    char *out = tail;
    for (int shift = 12; shift >= 0; shift -= 4)
        *out++ = hexDigits[(message.flags >> shift) & 0xF];
    for (const char c : {' ', ' ', '|', ' ', ' ', '#'})
        *out++ = c;
    char reversed[11];
    int count = 0;
    qint64 value = number;
    if (value < 0) {
        *out++ = '-';
        value = -value;
    }
    do {
        reversed[count++] = char('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0)
        *out++ = reversed[--count];
    *out++ = '\n';
    block += QLatin1String(tail, int(out - tail));
    block += closingLine;
}

QString formatMessageBlock(const LogMessage &message, int number)
{
    QString block;
    block.reserve(106 + message.sender.size() + message.text.size());
    appendMessageBlock(block, message, number);
    return block;
}

namespace
{

// Follows the runs of a text as Qt splits it for shaping: a run ends where the writing direction
// (left-to-right, right-to-left, numbers within right-to-left, explicit embeddings) or the script
// of a letter changes. Neutral characters and combining marks continue the run they are in.
class RunCounter
{
public:
    // Takes the next code point; true when it starts another run.
    bool startsRun(uint c)
    {
        int direction = -1;
        switch (QChar::direction(c)) {
        case QChar::DirL:
            direction = 0;
            break;
        case QChar::DirR:
        case QChar::DirAL:
            direction = 1;
            break;
        case QChar::DirEN:
        case QChar::DirAN:
            // Numbers go with left-to-right text, and take a level of their own in right-to-left.
            direction = lastDirection >= 1 ? 2 : 0;
            break;
        case QChar::DirLRE:
        case QChar::DirLRO:
        case QChar::DirRLE:
        case QChar::DirRLO:
        case QChar::DirPDF:
        case QChar::DirLRI:
        case QChar::DirRLI:
        case QChar::DirFSI:
        case QChar::DirPDI:
            return true;
        default:
            break;
        }
        const QChar::Script letterScript = QChar::script(c);
        const int script =
            letterScript == QChar::Script_Common || letterScript == QChar::Script_Inherited
                ? -1
                : int(letterScript);
        const bool starts = (direction >= 0 && lastDirection >= 0 && direction != lastDirection) ||
                            (script >= 0 && lastScript >= 0 && script != lastScript);
        if (direction >= 0)
            lastDirection = direction;
        if (script >= 0)
            lastScript = script;
        return starts;
    }

private:
    int lastDirection = -1;
    int lastScript = -1;
};

const QChar ellipsis(0x2026);

// Counts the colour emoji of one grapheme cluster as Qt draws them, each a bitmap that Qt decodes
// again whenever it lays the text out or draws it. Every pictograph (Unicode's
// Extended_Pictographic) counts, shown as emoji by default (Emoji_Presentation), asked to with
// U+FE0F or starting a tag sequence, or not: the text fonts lack most of them, and Qt then draws
// them from the colour font. So do the characters shown as emoji by default that are not
// pictographs: the skin tones, unless they join the pictograph before them, and the regional
// indicators, two of which make one flag. A keycap (a digit, # or * under U+20E3) is one more.
class PictographCounter
{
public:
    // Takes the next code point of the cluster; returns how many colour emoji it adds.
    int add(uint c)
    {
        const UChar32 point = UChar32(c);
        int added = 0;
        if (u_hasBinaryProperty(point, UCHAR_REGIONAL_INDICATOR)) {
            added = pendingFlag ? 0 : 1;
            pendingFlag = !pendingFlag;
        } else if (u_hasBinaryProperty(point, UCHAR_EMOJI_MODIFIER)) {
            added = lastModifierBase ? 0 : 1;
        } else if (c == 0x20E3) {
            added = lastKeycapBase ? 1 : 0;
        } else if (u_hasBinaryProperty(point, UCHAR_EXTENDED_PICTOGRAPHIC) ||
                   u_hasBinaryProperty(point, UCHAR_EMOJI_PRESENTATION)) {
            added = 1;
        }
        if (c != 0xFE0F) { // the selector leaves the character before it as it is
            lastKeycapBase = (c >= '0' && c <= '9') || c == '#' || c == '*';
            lastModifierBase = u_hasBinaryProperty(point, UCHAR_EMOJI_MODIFIER_BASE);
        }
        return added;
    }

private:
    bool pendingFlag = false;      // a regional indicator waits for its pair
    bool lastKeycapBase = false;   // the last code point can start a keycap
    bool lastModifierBase = false; // the last code point takes a skin tone
};

} // namespace

ShownText shownStart(const QString &text, const ShownLimits &limits)
{
    // Nothing beyond a cluster that starts by the length limit can be shown, and a longer cluster
    // is cut anyway: the clusters are looked for in this window only.
    const int size = text.size();
    const int window =
        int(qMin<qint64>(size, qint64(qMax(limits.length, 0)) + maxClusterLength + 1));
    QTextBoundaryFinder clusters(QTextBoundaryFinder::Grapheme, text.constData(), window);
    RunCounter runCounter;
    int runs = 0;
    int pictographs = 0;
    int end = 0; // the shown start is text[0, end)
    while (end < window) {
        int next = clusters.toNextBoundary();
        if (next < 0 || next > window)
            next = window;
        int length = next - end;
        const bool oversized = length > maxClusterLength;
        if (oversized) {
            length = maxClusterLength;
            if (text.at(end + length - 1).isHighSurrogate())
                --length;
        }
        if (length > limits.length - end)
            break;
        int clusterRuns = 0;
        int clusterPictographs = 0;
        PictographCounter pictographCounter;
        for (int i = end; i < end + length; ++i) {
            uint c = text.at(i).unicode();
            if (QChar::isHighSurrogate(c) && i + 1 < end + length &&
                text.at(i + 1).isLowSurrogate()) {
                c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
                ++i;
            }
            clusterRuns += runCounter.startsRun(c) ? 1 : 0;
            clusterPictographs += pictographCounter.add(c);
        }
        if (clusterRuns > limits.runs - runs ||
            clusterPictographs > limits.pictographs - pictographs)
            break;
        runs += clusterRuns;
        pictographs += clusterPictographs;
        end += length;
        if (oversized)
            break;
    }
    ShownText shown;
    shown.leftOut = size - end;
    shown.text = end == size ? text : text.left(end);
    shown.pictographs = pictographs;
    return shown;
}

QString cellText(const QString &text)
{
    const ShownText shown = shownStart(text, cellLimits);
    return shown.leftOut > 0 ? shown.text + ellipsis : text;
}

QString paneBlock(const LogMessage &message, int number)
{
    const ShownText sender = shownStart(message.sender, paneFieldLimits);
    const ShownText text = shownStart(message.text, paneFieldLimits);
    if (sender.leftOut == 0 && text.leftOut == 0)
        return formatMessageBlock(message, number);

    QString notice = QStringLiteral("[Cut for display.");
    LogMessage shown = message;
    if (sender.leftOut > 0) {
        shown.sender = sender.text + ellipsis;
        notice += QStringLiteral(" Sender: %1 of %2 characters shown.")
                      .arg(sender.text.size())
                      .arg(message.sender.size());
    }
    if (text.leftOut > 0) {
        shown.text = text.text + ellipsis;
        notice += QStringLiteral(" Text: %1 of %2 characters shown.")
                      .arg(text.text.size())
                      .arg(message.text.size());
    }
    notice += QStringLiteral(" The export holds the whole message.]\n");
    return notice + formatMessageBlock(shown, number);
}
