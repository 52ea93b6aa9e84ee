#include "messagelog.h"

#include "bytereader.h"

#include <QLocale>
#include <QTextBoundaryFinder>

#include <ctime>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace
{

constexpr qint64 headerSize = 16;
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

// A Tox save, plain or encrypted: its first eight bytes, or, when those are damaged, the header
// of the NOSPAMKEYS section that a plain save starts with (length 68, type 1, cookie 0x01ce). As
// a record header that would be type 68 with no text, which no log holds.
bool isToxSave(const QByteArray &content)
{
    return content.startsWith(QByteArray::fromRawData("\0\0\0\0\x1f\x1b\xed\x15", 8)) ||
           content.startsWith("toxEsave") ||
           content.startsWith(QByteArray::fromRawData("\x01\x1e\x81\xc0\xd6\x7b\xba\x9e", 8)) ||
           content.mid(8, 8) == QByteArray::fromRawData("\x44\0\0\0\x01\0\xce\x01", 8);
}

// The instant in local time. Qt 5 converts a time after 2037 by the rules of an earlier year,
// which is wrong where the rules changed (on Lord Howe Island it gives +11:00 for 2096-04-01
// 15:00 local, the C library +10:30); there the C library gives the offset, as it does for every
// time on Qt 6.
QDateTime localTimestamp(quint32 time)
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    constexpr quint32 lastQt5LocalTime = 2145916799; // 2037-12-31 23:59:59 UTC
    const time_t seconds = time_t(time);
    tm local{};
    if (time > lastQt5LocalTime && localtime_r(&seconds, &local))
        return QDateTime::fromSecsSinceEpoch(qint64(time), Qt::OffsetFromUTC, int(local.tm_gmtoff));
#endif
    return QDateTime::fromSecsSinceEpoch(qint64(time), Qt::LocalTime, 0);
}

} // namespace

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

    // Converting to local time is by far the dearest step per record (the C library is asked
    // for every value); records of the same second share one conversion.
    quint32 lastTime = 0;
    QDateTime lastTimestamp;
    qint64 keptText = 0;

    qint64 pos = 0;
    while (pos + headerSize <= n) {
        // Another record starts at pos; with the list full, the walk stops short of it.
        if (result.messages.size() >= maxMessages) {
            result.limitReached = true;
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
        if (body > maxBodySize || body < textLength)
            break; // malformed: the record and everything after it are dropped

        // The kept text is what fills the memory (a decoded string reserves two bytes for every
        // byte it came from); a record that would pass the limit is not kept.
        if (body > maxText - keptText) {
            result.limitReached = true;
            break;
        }
        keptText += body;

        const qint64 senderLength = body - textLength;
        // Filled in place: the list's own copy is the only one, so no string changes hands.
        result.messages.append(LogMessage());
        LogMessage &message = result.messages.last();
        if (lastTimestamp.isNull() || time != lastTime) {
            lastTime = time;
            lastTimestamp = localTimestamp(time);
        }
        message.timestamp = lastTimestamp;
        message.type = type;
        message.direction = direction;
        message.flags = flags;
        message.sender = senderLength > 0 ? utf8(log, start, senderLength) : QStringLiteral("<?>");
        if (textLength > 0)
            message.text = utf8(log, start + senderLength, textLength);

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
    // The arrow of the block, a space and the word.
    const char *word = direction == 0 ? "IN" : direction == 1 ? "OUT" : "?";
    return directionArrow(direction) + QLatin1Char(' ') + QLatin1String(word);
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

} // namespace

// QDateTime::toString formats in the system locale, whose digits are ASCII for nearly every
// language; then the text is built here directly (the format is parsed and the locale consulted
// once per call otherwise). Any other locale, or a year outside 1000 to 9999, goes through
// toString.
QString messageTimeText(const QDateTime &timestamp)
{
    const QDate date = timestamp.date();
    const QTime time = timestamp.time();
    const int year = date.year();
    if (!timestamp.isValid() || year < 1000 || year > 9999 ||
        QLocale::system().zeroDigit() != QLatin1Char('0'))
        return timestamp.toString(timeFormat);
    QString text(19, Qt::Uninitialized);
    QChar *out = text.data();
    out = putDigits(out, year, 4);
    *out++ = QLatin1Char('-');
    out = putDigits(out, date.month(), 2);
    *out++ = QLatin1Char('-');
    out = putDigits(out, date.day(), 2);
    *out++ = QLatin1Char(' ');
    out = putDigits(out, time.hour(), 2);
    *out++ = QLatin1Char(':');
    out = putDigits(out, time.minute(), 2);
    *out++ = QLatin1Char(':');
    putDigits(out, time.second(), 2);
    return text;
}

QString formatMessageBlock(const LogMessage &message, int number)
{
    // The four lines are "┌─ [%1]  %2  %3  %4\n" (time, arrow, type name, sender), "│  %1\n"
    // (the text or "(empty)"), "│  flags=0x%1  |  #%2\n" (flags as four lowercase hex digits, the
    // number in decimal) and the closing line. Each value is put in as it is, so a "%1" inside
    // the sender or the text stays as it is.
    static const QString closingLine = QStringLiteral("└───────────────────────────────────────\n");
    const QString &text = message.text.isEmpty() ? QStringLiteral("(empty)") : message.text;
    const QString arrow = directionArrow(message.direction);
    const QString type = typeName(message.type);
    QString block;
    block.reserve(64 + message.sender.size() + text.size() + closingLine.size());
    block += QStringLiteral("┌─ [");
    block += messageTimeText(message.timestamp);
    block += QLatin1String("]  ");
    block += arrow;
    block += QLatin1String("  ");
    block += type;
    block += QLatin1String("  ");
    block += message.sender;
    block += QStringLiteral("\n│  ");
    block += text;
    block += QStringLiteral("\n│  flags=0x");
    static const char hexDigits[] = "0123456789abcdef";
    for (int shift = 12; shift >= 0; shift -= 4)
        block += QLatin1Char(hexDigits[(message.flags >> shift) & 0xF]);
    block += QLatin1String("  |  #");
    block += QString::number(number);
    block += QLatin1Char('\n');
    block += closingLine;
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

// Whether Qt draws the code point as a colour emoji: the emoji blocks of the supplementary plane,
// and the selector that asks for the emoji form of the character before it.
bool isPictograph(uint c)
{
    return (c >= 0x1F000 && c <= 0x1FAFF) || c == 0xFE0F;
}

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
        for (int i = end; i < end + length; ++i) {
            uint c = text.at(i).unicode();
            if (QChar::isHighSurrogate(c) && i + 1 < end + length &&
                text.at(i + 1).isLowSurrogate()) {
                c = QChar::surrogateToUcs4(text.at(i), text.at(i + 1));
                ++i;
            }
            clusterRuns += runCounter.startsRun(c) ? 1 : 0;
            clusterPictographs += isPictograph(c) ? 1 : 0;
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
