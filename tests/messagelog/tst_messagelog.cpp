// Tests of the ORVA message-log decoder and its renderings. Times are shown in local time, so the
// tests run in UTC.
#include "messagelog.h"

#include <QCoreApplication>
#include <QRandomGenerator>
#include <QTableWidgetItem>
#include <QtEndian>
#include <QtTest>

#include <ctime>

Q_DECLARE_METATYPE(LogMessage)

namespace
{

constexpr quint32 inWindow = 1700000000u; // a time that passes the header test

QByteArray header(quint32 time, quint16 type, quint16 textLength, quint16 direction = 0,
                  quint16 flags = 0, const QByteArray &reserved = QByteArray(4, '\0'))
{
    QByteArray bytes(16, '\0');
    uchar *p = reinterpret_cast<uchar *>(bytes.data());
    qToLittleEndian<quint32>(time, p);
    for (int i = 0; i < 4; ++i)
        p[4 + i] = uchar(reserved.at(i));
    qToLittleEndian<quint16>(type, p + 8);
    qToLittleEndian<quint16>(textLength, p + 10);
    qToLittleEndian<quint16>(direction, p + 12);
    qToLittleEndian<quint16>(flags, p + 14);
    return bytes;
}

QByteArray record(quint32 time, quint16 type, quint16 direction, quint16 flags,
                  const QByteArray &sender, const QByteArray &text)
{
    return header(time, type, quint16(text.size()), direction, flags) + sender + text;
}

QString utf8(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

LogMessage message(quint32 time, quint16 type, quint16 direction, quint16 flags,
                   const QString &sender, const QString &text = QString())
{
    LogMessage m;
    m.timestamp = QDateTime::fromSecsSinceEpoch(qint64(time), Qt::LocalTime, 0);
    m.type = type;
    m.direction = direction;
    m.flags = flags;
    m.sender = sender;
    m.text = text;
    return m;
}

// Compares two message lists field by field; reports the first difference.
void compareMessages(const QList<LogMessage> &actual, const QList<LogMessage> &expected)
{
    QCOMPARE(actual.size(), expected.size());
    for (int i = 0; i < actual.size(); ++i) {
        const LogMessage &a = actual.at(i);
        const LogMessage &e = expected.at(i);
        QVERIFY2(a.timestamp == e.timestamp && a.timestamp.timeSpec() == Qt::LocalTime,
                 qPrintable(QStringLiteral("message %1: time %2, expected %3")
                                .arg(i)
                                .arg(a.timestamp.toSecsSinceEpoch())
                                .arg(e.timestamp.toSecsSinceEpoch())));
        QCOMPARE(a.type, e.type);
        QCOMPARE(a.direction, e.direction);
        QCOMPARE(a.flags, e.flags);
        QCOMPARE(a.sender, e.sender);
        QCOMPARE(a.text, e.text);
        QCOMPARE(a.text.isNull(), e.text.isNull());
    }
}

// The record walk done the plain way, one byte at a time: the yardstick for the parser's scan.
quint32 refU32(const QByteArray &c, qint64 p)
{
    return quint32(uchar(c[int(p)])) | quint32(uchar(c[int(p + 1)])) << 8 |
           quint32(uchar(c[int(p + 2)])) << 16 | quint32(uchar(c[int(p + 3)])) << 24;
}

quint16 refU16(const QByteArray &c, qint64 p)
{
    return quint16(uchar(c[int(p)]) | uchar(c[int(p + 1)]) << 8);
}

bool refPlausible(const QByteArray &c, qint64 q)
{
    if (q + 16 > c.size())
        return false;
    if (refU32(c, q) - 1680000000u > 220000000u)
        return false;
    for (int k = 4; k < 8; ++k) {
        if (c[int(q + k)] != '\0')
            return false;
    }
    const quint16 type = refU16(c, q + 8);
    return type <= 17 && ((0x22B00u >> type) & 1u) != 0;
}

QList<LogMessage> referenceParse(const QByteArray &c)
{
    QList<LogMessage> messages;
    const qint64 n = c.size();
    qint64 pos = 0;
    while (pos + 16 <= n) {
        const qint64 length = refU16(c, pos + 10);
        const qint64 start = pos + 16;
        const qint64 scanFrom = start + (length > 0 ? length : 1);
        qint64 next = n;
        for (qint64 q = scanFrom; q + 16 <= n; ++q) {
            if (refPlausible(c, q)) {
                next = q;
                break;
            }
        }
        const qint64 body = next - start;
        if (body > 1000000 || body < length)
            break;
        const qint64 s = body - length;
        messages.append(message(refU32(c, pos), refU16(c, pos + 8), refU16(c, pos + 12),
                                refU16(c, pos + 14),
                                s > 0 ? utf8(c.mid(int(start), int(s))) : QStringLiteral("<?>"),
                                length > 0 ? utf8(c.mid(int(start + s), int(length))) : QString()));
        if (next >= n)
            break;
        pos = next;
    }
    return messages;
}

// Inputs made of pieces that come close to record headers, to give the scan a hard time.
QByteArray adversarialLog(QRandomGenerator &rng)
{
    static const uchar alphabet[] = {0,    0,    0,    0,    8,    9,    11,   13,   17,
                                     0x64, 0x65, 0x6a, 0x71, 0x63, 0x72, 0x1c, 0x21, 0xff};
    const auto anyTime = [&rng] { return quint32(rng.generate()); };
    const auto windowTime = [&rng] {
        static const quint32 edges[] = {1680000000u, 1900000000u, 1700000000u};
        return rng.bounded(2) ? edges[rng.bounded(3)] : 1680000000u + rng.bounded(220000001u);
    };
    static const quint16 types[] = {8, 9, 11, 13, 17};

    QByteArray out = header(anyTime(), quint16(rng.generate()), quint16(rng.bounded(40)),
                            quint16(rng.generate()), quint16(rng.generate()));
    const int pieces = rng.bounded(1, 40);
    for (int i = 0; i < pieces; ++i) {
        switch (rng.bounded(7)) {
        case 0: {
            const int count = rng.bounded(1, 40);
            for (int k = 0; k < count; ++k)
                out.append(char(rng.bounded(256)));
            break;
        }
        case 1:
        case 2:
            out += header(windowTime(), types[rng.bounded(5)], quint16(rng.bounded(48)),
                          quint16(rng.bounded(3)), quint16(rng.generate()));
            break;
        case 3: {
            // A header that fails exactly one of the three tests.
            quint32 time = windowTime();
            quint16 type = types[rng.bounded(5)];
            QByteArray reserved(4, '\0');
            switch (rng.bounded(4)) {
            case 0:
                time = rng.bounded(2) ? 1679999999u : 1900000001u;
                break;
            case 1:
                do {
                    type = quint16(rng.bounded(2) ? rng.bounded(20) : rng.generate());
                } while (type <= 17 && ((0x22B00u >> type) & 1u));
                break;
            case 2:
                type = quint16(type | (rng.bounded(1, 256) << 8));
                break;
            default:
                reserved[rng.bounded(4)] = char(rng.bounded(1, 256));
                break;
            }
            out += header(time, type, quint16(rng.bounded(48)), 0, 0, reserved);
            break;
        }
        case 4:
            out += QByteArray(rng.bounded(1, 40), '\0');
            break;
        case 5: {
            const int count = rng.bounded(1, rng.bounded(5) == 0 ? 600 : 40);
            for (int k = 0; k < count; ++k)
                out.append(char(alphabet[rng.bounded(int(sizeof alphabet))]));
            break;
        }
        default:
            out += QByteArray(rng.bounded(1, 600), char(rng.bounded(256)));
            break;
        }
    }
    if (rng.bounded(4) == 0)
        out.truncate(rng.bounded(out.size() + 1));
    return out;
}

// `count` minimal records of 17 bytes: a header with an empty text and a one-byte sender, which
// the scan (one byte into the body) passes over to the next header. The time goes up by one
// second every 1000 records, the sender runs through a to z.
QByteArray minimalRecords(int count)
{
    constexpr int size = 17;
    QByteArray log(count * size, '\0');
    uchar *p = reinterpret_cast<uchar *>(log.data());
    for (int i = 0; i < count; ++i, p += size) {
        qToLittleEndian<quint32>(inWindow + quint32(i / 1000), p);
        qToLittleEndian<quint16>(8, p + 8);
        p[16] = uchar('a' + i % 26);
    }
    return log;
}

// Random text without zero bytes, so that no header can be found inside it.
QString randomText(QRandomGenerator &rng, int maxChars)
{
    QString text;
    const int count = rng.bounded(maxChars + 1);
    for (int i = 0; i < count; ++i) {
        char32_t cp;
        switch (rng.bounded(4)) {
        case 0:
            cp = char32_t(rng.bounded(1, 0x80));
            break;
        case 1:
            cp = char32_t(rng.bounded(0x80, 0x800));
            break;
        case 2:
            do {
                cp = char32_t(rng.bounded(0x800, 0x10000));
            } while (cp >= 0xD800 && cp <= 0xDFFF);
            break;
        default:
            cp = char32_t(rng.bounded(0x10000, 0x110000));
            break;
        }
        text += QString::fromUcs4(&cp, 1);
    }
    return text;
}

} // namespace

using Messages = QList<LogMessage>;

class TestMessageLog : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void matchesPlainScan();
    void roundTrip();
    void messageLimit_data();
    void messageLimit();
    void limitOfOneOpening_data();
    void limitOfOneOpening();

    void vocabularies_data();
    void vocabularies();
    void block_data();
    void block();
    void rowItems_data();
    void rowItems();
    void shownStart_data();
    void shownStart();
};

namespace
{

// One row of the parse table. `shown` is the time text expected for the first message, if any;
// `error` the error text expected of the parse.
void parseRow(const QString &name, const QByteArray &content, const Messages &expected,
              const QString &shown = QString(), const QString &error = QString())
{
    QTest::newRow(qPrintable(name)) << content << expected << shown << error;
}

} // namespace

void TestMessageLog::parse_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Messages>("expected");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QString>("error");

    const QByteArray example =
        QByteArray::fromHex("00F15365 00000000 0800 0200 0100 0000 426F62 6869"
                            "80F15365 00000000 0B00 0000 0000 0500 416C696365");
    QCOMPARE(example.size(), 42);
    parseRow("worked example", example,
             {message(1700000000u, 8, 1, 0, QStringLiteral("Bob"), QStringLiteral("hi")),
              message(1700000128u, 11, 0, 5, QStringLiteral("Alice"))},
             "2023-11-14 22:13:20");

    const QString tooSmall =
        QStringLiteral("File too small to be a valid ORVA message log (min 16 bytes)");
    parseRow("empty", QByteArray(), {}, QString(), tooSmall);
    parseRow("1 byte", header(inWindow, 8, 0).left(1), {}, QString(), tooSmall);
    parseRow("15 bytes", header(inWindow, 8, 0).left(15), {}, QString(), tooSmall);
    parseRow("16 bytes", header(inWindow, 8, 0), {message(inWindow, 8, 0, 0, "<?>")});

    const QByteArray next = record(1700000500u, 13, 1, 2, "Z", "end");
    const LogMessage nextMessage =
        message(1700000500u, 13, 1, 2, QStringLiteral("Z"), QStringLiteral("end"));
    const QByteArray a = record(inWindow, 8, 0, 0, "Ann", "hello");
    const LogMessage aMessage = message(inWindow, 8, 0, 0, "Ann", "hello");

    parseRow("bare header, empty text", header(inWindow, 9, 0, 1, 3),
             {message(inWindow, 9, 1, 3, "<?>")});
    parseRow("bare header, text length 1", header(inWindow, 9, 1), {});
    parseRow("17 bytes, empty text: last byte is the sender", header(inWindow, 8, 0) + "x",
             {message(inWindow, 8, 0, 0, "x")});
    parseRow("text only, then a header", header(inWindow, 8, 3) + "abc" + next,
             {message(inWindow, 8, 0, 0, "<?>", "abc"), nextMessage});
    parseRow("two records split at the second header",
             record(inWindow, 17, 0, 0xbeef, "Some sender", "text") + next,
             {message(inWindow, 17, 0, 0xbeef, "Some sender", "text"), nextMessage});
    parseRow("records of the same second, then a later one",
             record(inWindow, 8, 0, 0, "A", "1") + record(inWindow, 8, 1, 0, "B", "2") +
                 record(inWindow + 1, 8, 0, 0, "C", "3") + record(inWindow, 8, 0, 0, "D", "4"),
             {message(inWindow, 8, 0, 0, "A", "1"), message(inWindow, 8, 1, 0, "B", "2"),
              message(inWindow + 1, 8, 0, 0, "C", "3"), message(inWindow, 8, 0, 0, "D", "4")});

    // The scan starts behind the text: a header inside the first L body bytes is not a boundary.
    const QByteArray inText = "xy" + header(1700000001u, 8, 0) + "zw";
    parseRow("header inside the text is skipped",
             header(inWindow, 8, quint16(inText.size())) + inText + next,
             {message(inWindow, 8, 0, 0, "<?>", utf8(inText)), nextMessage});
    const QByteArray shortText = "abc" + header(1700000001u, 8, 0) + "q";
    parseRow(
        "header inside the text, no scan left", a + header(inWindow, 8, 10) + shortText,
        {aMessage, message(inWindow, 8, 0, 0, utf8(shortText.left(10)), utf8(shortText.mid(10)))});
    // With an empty text the scan starts one byte in.
    const QByteArray glued = header(1700000001u, 8, 0) + "B";
    parseRow("header right after an empty-text header is skipped", header(inWindow, 8, 0) + glued,
             {message(inWindow, 8, 0, 0, utf8(glued))});
    parseRow("header one byte after an empty-text header is taken",
             header(inWindow, 8, 0) + "A" + glued,
             {message(inWindow, 8, 0, 0, "A"), message(1700000001u, 8, 0, 0, "B")});
    parseRow("header right behind the text is taken", header(inWindow, 8, 2) + "hi" + glued,
             {message(inWindow, 8, 0, 0, "<?>", "hi"), message(1700000001u, 8, 0, 0, "B")});
    parseRow("header pattern inside the sender cuts the record",
             header(inWindow, 8, 2, 1) + "Ann" + header(1700000002u, 9, 0, 1, 7) + "x" + "hi",
             {message(inWindow, 8, 1, 0, "A", "nn"), message(1700000002u, 9, 1, 7, "xhi")});

    parseRow("text runs past the end", a + header(inWindow, 8, 10) + "12345", {aMessage});
    parseRow("text length 65535, body exactly that long",
             header(inWindow, 8, 65535) + QByteArray(65535, 't') + next,
             {message(inWindow, 8, 0, 0, "<?>", QString(65535, 't')), nextMessage});
    parseRow("text one byte short of 65535",
             a + header(inWindow, 8, 65535) + QByteArray(65534, 't'), {aMessage});

    const QByteArray limit(1000000, 'b');
    const QByteArray overLimit(1000001, 'b');
    const LogMessage limitMessage = message(inWindow, 8, 0, 0, QString(1000000, 'b'));
    parseRow("body of 1000000 bytes, then a header", header(inWindow, 8, 0) + limit + next,
             {limitMessage, nextMessage});
    parseRow("body of 1000001 bytes, then a header", header(inWindow, 8, 0) + overLimit + next, {});
    parseRow("body of 1000000 bytes to the end", a + header(inWindow, 8, 0) + limit,
             {aMessage, limitMessage});
    parseRow("body of 1000001 bytes to the end", a + header(inWindow, 8, 0) + overLimit,
             {aMessage});
    parseRow("body of 1000001 bytes with text, then more records",
             a + header(inWindow, 8, 5) + overLimit + next + a, {aMessage});

    // Bad UTF-8 becomes U+FFFD (one per byte of a cut-off sequence) and the walk goes on.
    const QChar bad(QChar::ReplacementCharacter);
    parseRow("invalid UTF-8",
             record(inWindow, 8, 0, 0,
                    "\xff"
                    "A\xc3",
                    "B\xe2\x82") +
                 next,
             {message(inWindow, 8, 0, 0, QString(bad) + "A" + bad, QString("B") + bad + bad),
              nextMessage});
    parseRow("UTF-8 split between sender and text",
             record(inWindow, 8, 0, 0, "\xc3", "\xa9") + next,
             {message(inWindow, 8, 0, 0, bad, bad), nextMessage});
    parseRow("valid UTF-8",
             record(inWindow, 8, 0, 0, "J\xc3\xa9r\xc3\xb4me", "\xf0\x9f\x98\x80 ok") + next,
             {message(inWindow, 8, 0, 0, QString::fromUtf8("Jérôme"), QString::fromUtf8("😀 ok")),
              nextMessage});

    // A later header is a boundary only when its time, reserved bytes and type all pass: then it
    // starts a second message, else its bytes belong to the first message's sender.
    const QByteArray zeros(4, '\0');
    const auto laterHeader = [](const QString &name, quint32 time, quint16 type,
                                const QByteArray &reserved, bool recognised) {
        const QByteArray candidate = header(time, type, 0, 1, 0x42, reserved);
        const QByteArray content = record(inWindow, 8, 0, 0, "A", "") + candidate + "B";
        parseRow(QStringLiteral("later header, ") + name, content,
                 recognised
                     ? Messages{message(inWindow, 8, 0, 0, "A"), message(time, type, 1, 0x42, "B")}
                     : Messages{message(inWindow, 8, 0, 0, utf8("A" + candidate + "B"))});
    };
    for (quint32 time : {1680000000u, 1900000000u, 1679999999u, 1900000001u, 0u, 4294967295u})
        laterHeader(QStringLiteral("time %1").arg(time), time, 8, zeros,
                    time == 1680000000u || time == 1900000000u);
    QList<quint16> types;
    for (quint16 t = 0; t <= 20; ++t)
        types << t;
    types << 255 << 256 << 264 << 265 << 267 << 269 << 273 << 0x0800 << 0x1100 << 65535;
    for (quint16 t : types)
        laterHeader(QStringLiteral("type %1").arg(t), inWindow, t, zeros,
                    t == 8 || t == 9 || t == 11 || t == 13 || t == 17);
    for (int i = 0; i < 4; ++i) {
        for (char value : {'\x01', '\x80'}) {
            QByteArray reserved = zeros;
            reserved[i] = value;
            laterHeader(QStringLiteral("reserved byte %1 = 0x%2")
                            .arg(i)
                            .arg(uchar(value), 2, 16, QLatin1Char('0')),
                        inWindow, 8, reserved, false);
        }
    }

    // The first record is taken whatever its header holds.
    const auto firstHeader = [](const QString &name, quint32 time, quint16 type,
                                const QByteArray &reserved, const char *shown) {
        parseRow(QStringLiteral("first record, ") + name,
                 header(time, type, 2, 4, 0, reserved) + "Bo" + "hi",
                 {message(time, type, 4, 0, "Bo", "hi")}, QString::fromLatin1(shown));
    };
    firstHeader("time 0", 0u, 8, zeros, "1970-01-01 00:00:00");
    firstHeader("time 4294967295", 4294967295u, 8, zeros, "2106-02-07 06:28:15");
    firstHeader("time 1679999999", 1679999999u, 8, zeros, "2023-03-28 10:39:59");
    firstHeader("type 10", inWindow, 10, zeros, "2023-11-14 22:13:20");
    firstHeader("type 65535", inWindow, 65535, zeros, "2023-11-14 22:13:20");
    firstHeader("reserved bytes set", inWindow, 8, QByteArray(4, '\xff'), "2023-11-14 22:13:20");
}

void TestMessageLog::parse()
{
    QFETCH(QByteArray, content);
    QFETCH(Messages, expected);
    QFETCH(QString, shown);
    QFETCH(QString, error);

    const LogParseResult result = parseMessageLog(content);
    QCOMPARE(result.error, error);
    compareMessages(result.messages, expected);
    QVERIFY(!result.limitReached);
    if (!QTest::currentTestFailed() && !shown.isEmpty())
        QCOMPARE(result.messages.at(0).timestamp.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                 shown);
}

void TestMessageLog::matchesPlainScan()
{
    QRandomGenerator rng(20240501);
    for (int i = 0; i < 4000; ++i) {
        const QByteArray content = adversarialLog(rng);
        const LogParseResult result = parseMessageLog(content);
        if (content.size() < 16) {
            QVERIFY(!result.error.isEmpty());
            QVERIFY(result.messages.isEmpty());
            continue;
        }
        QVERIFY(result.error.isEmpty());
        compareMessages(result.messages, referenceParse(content));
        if (QTest::currentTestFailed()) {
            qWarning("input %d: %s", i, content.toHex().constData());
            return;
        }
    }

    // Every start offset and every length around the scan's block size, over bytes that nearly
    // form headers everywhere.
    for (int fill : {0x00, 0x08, 0x64}) {
        QByteArray content = header(inWindow, 8, 0) + QByteArray(64, char(fill));
        const QByteArray hidden = header(1900000000u, 17, 0);
        for (int at = 16; at + 16 <= content.size(); ++at) {
            QByteArray withHeader = content;
            withHeader.replace(at, 16, hidden);
            for (int size = 16; size <= withHeader.size(); ++size) {
                const QByteArray input = withHeader.left(size);
                compareMessages(parseMessageLog(input).messages, referenceParse(input));
                if (QTest::currentTestFailed()) {
                    qWarning("input: %s", input.toHex().constData());
                    return;
                }
            }
        }
    }
}

void TestMessageLog::roundTrip()
{
    static const quint16 types[] = {8, 9, 11, 13, 17};
    QRandomGenerator rng(4242);
    for (int log = 0; log < 300; ++log) {
        QByteArray content;
        QList<LogMessage> expected;
        const int count = rng.bounded(1, 30);
        for (int i = 0; i < count; ++i) {
            const quint32 time = 1680000000u + rng.bounded(220000001u);
            const quint16 type = types[rng.bounded(5)];
            const quint16 direction = quint16(rng.bounded(2) ? rng.bounded(3) : rng.generate());
            const quint16 flags = quint16(rng.generate());
            QString sender = randomText(rng, 12);
            QString text = randomText(rng, rng.bounded(8) == 0 ? 400 : 40);
            if (sender.isEmpty() && text.isEmpty())
                sender = QStringLiteral("s"); // a record needs a body byte to be found
            const QByteArray senderBytes = sender.toUtf8();
            const QByteArray textBytes = text.toUtf8();
            content += record(time, type, direction, flags, senderBytes, textBytes);
            expected << message(time, type, direction, flags,
                                sender.isEmpty() ? QStringLiteral("<?>") : sender,
                                text.isEmpty() ? QString() : text);
        }
        const LogParseResult result = parseMessageLog(content);
        QVERIFY(result.error.isEmpty());
        compareMessages(result.messages, expected);
        if (QTest::currentTestFailed()) {
            qWarning("log %d: %s", log, content.toHex().constData());
            return;
        }
    }
}

void TestMessageLog::messageLimit_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("limit");
    QTest::addColumn<qint64>("textLimit");
    QTest::addColumn<int>("kept");
    QTest::addColumn<bool>("limitReached");
    QTest::addColumn<QString>("error");

    // Bodies of 6, 6, 5 and 3 bytes.
    const QByteArray a = record(inWindow, 8, 0, 0, "Ann", "one");
    const QByteArray b = record(inWindow + 1, 9, 1, 4, "Bob", "two");
    const QByteArray c = record(inWindow + 2, 11, 2, 0, "", "three");
    const QByteArray d = record(inWindow + 3, 17, 0, 0, "Dan", "");
    const auto row = [](const char *name, const QByteArray &content, int limit, int kept,
                        bool limitReached, const QString &error = QString()) {
        QTest::newRow(name) << content << limit << maxTextBytes << kept << limitReached << error;
    };
    const auto textRow = [](const char *name, const QByteArray &content, qint64 textLimit, int kept,
                            bool limitReached) {
        QTest::newRow(name) << content << maxMessageCount << textLimit << kept << limitReached
                            << QString();
    };
    textRow("text limit, exactly the bytes of all records", a + b + c + d, 20, 4, false);
    textRow("text limit one byte short", a + b + c + d, 19, 3, true);
    textRow("text limit below the first body", a + b, 5, 0, true);
    textRow("text limit 0, bare header", header(inWindow, 8, 0), 0, 1, false);
    textRow("negative text limit", a, -1, 0, true);
    // Only a record that would be kept counts: a malformed one ends the walk as before.
    textRow("text limit reached, then a malformed record", a + b + header(inWindow, 8, 40) + "x",
            12, 2, false);
    // Decoded text reserves two bytes for every byte it came from, whatever it holds.
    textRow("text limit counts bytes, not characters", record(inWindow, 8, 0, 0, "é", "€"), 4, 0,
            true);
    row("3 records, limit 3", a + b + c, 3, 3, false);
    row("4 records, limit 3", a + b + c + d, 3, 3, true);
    row("4 records, limit 4", a + b + c + d, 4, 4, false);
    row("4 records, limit 5", a + b + c + d, 5, 4, false);
    row("4 records, limit 1", a + b + c + d, 1, 1, true);
    row("1 record, limit 0", a, 0, 0, true);
    row("negative limit", a, -1, 0, true);
    row("bare header, limit 1", header(inWindow, 8, 0), 1, 1, false);
    row("3 records and bytes that hold no header, limit 3", a + b + c + QByteArray(40, 'z'), 3, 3,
        false);
    row("3 records and a header cut short, limit 3", a + b + c + header(inWindow, 8, 0).left(15), 3,
        3, false);
    // The walk stops as soon as another record starts, before it is decoded.
    row("3 records and a malformed fourth, limit 3", a + b + c + header(inWindow, 8, 40) + "x", 3,
        3, true);
    row("3 records and a malformed fourth, limit 4", a + b + c + header(inWindow, 8, 40) + "x", 4,
        3, false);
    row("3 records, the third malformed, limit 2", a + b + header(inWindow, 8, 40) + "x", 2, 2,
        true);
    row("too short, limit 3", a.left(15), 3, 0, false,
        QStringLiteral("File too small to be a valid ORVA message log (min 16 bytes)"));
    row("too short, limit 0", a.left(15), 0, 0, false,
        QStringLiteral("File too small to be a valid ORVA message log (min 16 bytes)"));
}

void TestMessageLog::messageLimit()
{
    QFETCH(QByteArray, content);
    QFETCH(int, limit);
    QFETCH(qint64, textLimit);
    QFETCH(int, kept);
    QFETCH(bool, limitReached);
    QFETCH(QString, error);

    const LogParseResult result = parseMessageLog(content, limit, textLimit);
    QCOMPARE(result.error, error);
    QCOMPARE(result.limitReached, limitReached);
    // The messages kept are the first ones of the whole log, as they are.
    const LogParseResult whole = parseMessageLog(content);
    QVERIFY(!whole.limitReached);
    compareMessages(result.messages, whole.messages.mid(0, kept));
}

void TestMessageLog::limitOfOneOpening_data()
{
    QTest::addColumn<int>("records");
    QTest::addColumn<bool>("limitReached");
    QTest::newRow("exactly maxMessageCount records") << maxMessageCount << false;
    QTest::newRow("one record more") << maxMessageCount + 1 << true;
}

void TestMessageLog::limitOfOneOpening()
{
    QFETCH(int, records);
    QFETCH(bool, limitReached);

    const QByteArray content = minimalRecords(records);
    LogParseResult result = parseMessageLog(content);
    QVERIFY(result.error.isEmpty());
    QCOMPARE(result.limitReached, limitReached);
    QCOMPARE(result.messages.size(), maxMessageCount);
    const int last = maxMessageCount - 1;
    compareMessages(
        {result.messages.first(), result.messages.last()},
        {message(inWindow, 8, 0, 0, "a"), message(inWindow + quint32(last / 1000), 8, 0, 0,
                                                  QString(QLatin1Char(char('a' + last % 26))))});
    result.messages.clear();
}

void TestMessageLog::vocabularies_data()
{
    QTest::addColumn<quint16>("value");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("arrow");
    QTest::addColumn<QString>("label");

    QTest::newRow("0") << quint16(0) << "TYPE0" << QString::fromUtf8("←")
                       << QString::fromUtf8("← IN");
    QTest::newRow("1") << quint16(1) << "TYPE1" << QString::fromUtf8("→")
                       << QString::fromUtf8("→ OUT");
    // Every other value is an unknown direction.
    const struct {
        quint16 value;
        const char *type;
    } others[] = {{2, "TYPE2"},  {8, "MSG"},     {9, "MSG"},          {10, "TYPE10"},
                  {11, "INFO"},  {12, "TYPE12"}, {13, "MSG"},         {16, "TYPE16"},
                  {17, "REPLY"}, {18, "TYPE18"}, {65535, "TYPE65535"}};
    for (const auto &other : others)
        QTest::newRow(qPrintable(QString::number(other.value)))
            << other.value << QString::fromLatin1(other.type) << QString::fromUtf8("↔")
            << QString::fromUtf8("↔ ?");
}

void TestMessageLog::vocabularies()
{
    QFETCH(quint16, value);
    QFETCH(QString, type);
    QFETCH(QString, arrow);
    QFETCH(QString, label);
    QCOMPARE(typeName(value), type);
    QCOMPARE(directionArrow(value), arrow);
    QCOMPARE(directionLabel(value), label);
}

void TestMessageLog::block_data()
{
    QTest::addColumn<LogMessage>("message");
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("expected");

    const quint32 may =
        quint32(QDateTime(QDate(2024, 5, 1), QTime(13, 45, 10), Qt::UTC).toSecsSinceEpoch());
    // Each block ends in the same closing line.
    const auto row = [](const char *name, const LogMessage &message, int number,
                        const char *lines) {
        QTest::newRow(name) << message << number
                            << QString::fromUtf8(lines) +
                                   QString::fromUtf8("└───────────────────────────────────────\n");
    };
    row("outgoing message", message(may, 8, 1, 0x1a, "Ann", "Hi"), 3,
        "┌─ [2024-05-01 13:45:10]  →  MSG  Ann\n│  Hi\n│  flags=0x001a  |  #3\n");
    row("incoming info, flags 0, no text", message(may, 11, 0, 0, "<?>"), 1,
        "┌─ [2024-05-01 13:45:10]  ←  INFO  <?>\n│  (empty)\n│  flags=0x0000  |  #1\n");
    row("unknown direction and type, flags ffff", message(may, 10, 2, 0xffff, "Bob", "x"), 1000000,
        "┌─ [2024-05-01 13:45:10]  ↔  TYPE10  Bob\n│  x\n│  flags=0xffff  |  #1000000\n");
    row("flags 0abc, reply", message(may, 17, 65535, 0xabc, "C", "y"), 42,
        "┌─ [2024-05-01 13:45:10]  ↔  REPLY  C\n│  y\n│  flags=0x0abc  |  #42\n");
    row("placeholders in sender and text are literal",
        message(may, 9, 1, 1, "%1 %2 %4 %L1", "%1 and %2"), 2,
        "┌─ [2024-05-01 13:45:10]  →  MSG  %1 %2 %4 %L1\n│  %1 and %2\n│  flags=0x0001  |  #2\n");
    row("line breaks in the text", message(may, 13, 0, 0, "D", "one\ntwo\n"), 5,
        "┌─ [2024-05-01 13:45:10]  ←  MSG  D\n│  one\ntwo\n\n│  flags=0x0000  |  #5\n");
    row("epoch", message(0, 8, 0, 0, "E", "z"), 1,
        "┌─ [1970-01-01 00:00:00]  ←  MSG  E\n│  z\n│  flags=0x0000  |  #1\n");
}

void TestMessageLog::block()
{
    QFETCH(LogMessage, message);
    QFETCH(int, number);
    QFETCH(QString, expected);
    const QString block = formatMessageBlock(message, number);
    QCOMPARE(block, expected);

    // The box-drawing characters, spelt as code points: the head line opens with U+250C U+2500,
    // the text line with U+2502 and two spaces, and the closing line is U+2514, 39 times U+2500
    // and a line feed: 41 characters.
    QVERIFY(block.startsWith(QString(QChar(0x250C)) + QChar(0x2500) + QLatin1Char(' ')));
    QVERIFY(block.contains(QLatin1Char('\n') + QString(QChar(0x2502)) + QLatin1String("  ")));
    const QString closing = block.mid(block.lastIndexOf(QLatin1Char('\n'), -2) + 1);
    QCOMPARE(closing.size(), 41);
    QCOMPARE(closing, QChar(0x2514) + QString(39, QChar(0x2500)) + QLatin1Char('\n'));
}

void TestMessageLog::rowItems_data()
{
    QTest::addColumn<LogMessage>("message");
    QTest::addColumn<QStringList>("cells");

    // Each row: the direction, the sender and text of the message, then the Dir and Message cells.
    const auto row = [](const char *name, quint16 direction, const QString &sender,
                        const QString &text, const char *dirCell, const QString &messageCell) {
        QTest::newRow(name) << message(inWindow, 8, direction, 0, sender, text)
                            << QStringList{QStringLiteral("2023-11-14 22:13:20"),
                                           QString::fromUtf8(dirCell), sender, messageCell};
    };
    const QString smile = QString::fromUtf8("😀");
    const QString lines = QStringLiteral("first line\nsecond line\n").repeated(5);
    row("outgoing", 1, "Ann", "Hi", "→ OUT", "Hi");
    row("incoming, empty text", 0, "<?>", QString(), "← IN", "");
    row("unknown direction", 7, "%1", "%1", "↔ ?", "%1");
    row("80 units", 0, "A", QString(80, 'm'), "← IN", QString(80, 'm'));
    row("81 units", 0, "A", QString(81, 'm'), "← IN", QString(80, 'm') + "...");
    row("astral character ending at unit 80", 0, "A", QString(78, 'm') + smile, "← IN",
        QString(78, 'm') + smile);
    row("astral character across the cut", 0, "A", QString(79, 'm') + smile, "← IN",
        QString(79, 'm') + smile.at(0) + "...");
    row("line breaks count toward the cut", 0, "A", lines, "← IN", lines.left(80) + "...");
}

void TestMessageLog::rowItems()
{
    QFETCH(LogMessage, message);
    QFETCH(QStringList, cells);

    const QList<QTableWidgetItem *> items = messageRowItems(message);
    QCOMPARE(items.size(), 4);
    for (int column = 0; column < 4; ++column) {
        const QTableWidgetItem *cell = items.at(column);
        QCOMPARE(cell->text(), cells.at(column));
        QCOMPARE(cell->type(), int(QTableWidgetItem::Type));
        QVERIFY(!cell->data(Qt::ToolTipRole).isValid());
        QVERIFY(!cell->data(Qt::ForegroundRole).isValid());
        const QVariant alignment = cell->data(Qt::TextAlignmentRole);
        if (column == 1) {
            QCOMPARE(alignment.userType(), int(QMetaType::Int));
            QCOMPARE(alignment.toInt(), 0x84);
        } else {
            QVERIFY(!alignment.isValid());
        }
    }
    qDeleteAll(items);
}

void TestMessageLog::shownStart_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("maxLength");
    QTest::addColumn<int>("maxRuns");
    QTest::addColumn<int>("maxPictographs");
    QTest::addColumn<QString>("shown");

    const auto row = [](const QString &name, const QString &text, const ShownLimits &limits,
                        const QString &shown) {
        QTest::newRow(qPrintable(name))
            << text << limits.length << limits.runs << limits.pictographs << shown;
    };
    // Every cell and pane field of the sample log, and ordinary text up to the limits, is whole.
    QFile sample(QStringLiteral(SAMPLE_LOG));
    QVERIFY(sample.open(QIODevice::ReadOnly));
    const QList<LogMessage> messages = parseMessageLog(sample.readAll()).messages;
    for (int i = 0; i < messages.size(); ++i) {
        const QList<QTableWidgetItem *> cells = messageRowItems(messages.at(i));
        for (int column = 0; column < cells.size(); ++column)
            row(QStringLiteral("sample message %1, cell %2").arg(i).arg(column),
                cells.at(column)->text(), cellLimits, cells.at(column)->text());
        qDeleteAll(cells);
        const QString &text = messages.at(i).text;
        row(QStringLiteral("sample message %1, text").arg(i), text, paneFieldLimits, text);
    }
    const QString x1024(1024, 'x');
    const QString family =
        QString::fromUtf8("👨🏻‍👩🏻‍👧🏻‍👦🏻"); // 19 code units
    row("1024 units", x1024, cellLimits, x1024);
    row("40 emoji", family.left(2).repeated(40), cellLimits, family.left(2).repeated(40));
    row("emoji family with skin tones", family, {32, 0, 8}, family);
    row("Latin, Arabic, Hebrew and numbers in words", QString::fromUtf8("Ali (علي) שלום 2024 Ali"),
        {64, 4, 0}, QString::fromUtf8("Ali (علي) שלום 2024 Ali"));

    // The length, in whole clusters.
    row("one unit over", x1024 + 'y', cellLimits, x1024);
    row("a megabyte", QString(1000000, 'x'), cellLimits, x1024);
    row("combining sequence across the limit", "abc" + QString::fromUtf8("e\u0301"), {4, 0, 0},
        "abc");
    row("surrogate pair across the limit", "abc" + family.left(2), {4, 0, 0}, "abc");
    row("empty", QString(), cellLimits, QString());
    // A cluster of more than 32 units ends the start after its first 32, in whole code points.
    const QString acute(QChar(0x0301));
    row("cluster of 32 units", 'a' + acute.repeated(31) + 'b', cellLimits,
        'a' + acute.repeated(31) + 'b');
    row("cluster of 33 units", 'a' + acute.repeated(32) + 'b', cellLimits,
        'a' + acute.repeated(31));
    row("cluster of a megabyte", 'a' + acute.repeated(499999), cellLimits,
        'a' + acute.repeated(31));
    const QString stem = QString::fromUtf8("\U0001D167"); // a combining mark of two units
    row("cut cluster keeps pairs whole", 'a' + stem.repeated(20), cellLimits,
        'a' + stem.repeated(15));
    row("cut cluster beyond the length", "abca" + acute.repeated(40), {20, 0, 0}, "abc");
    // Runs: a change of direction or of the script of a letter.
    const QString alternating = QString::fromUtf8("aب").repeated(100);
    row("64 runs", alternating, cellLimits, alternating.left(65));
    row("neutrals and marks continue a run", QString::fromUtf8("a, b. c\u0301! (d)"), {64, 0, 0},
        QString::fromUtf8("a, b. c\u0301! (d)"));
    row("change of script", QString::fromUtf8("Kenji 山田"), {64, 0, 0}, "Kenji ");
    row("numbers in left-to-right text", "Room 101, floor 3", {64, 0, 0}, "Room 101, floor 3");
    row("numbers after right-to-left text", QString::fromUtf8("א1a"), {64, 1, 0},
        QString::fromUtf8("א1"));
    row("explicit embeddings", QString::fromUtf8("a\u202Eb\u202Cc"), {64, 1, 0},
        QString::fromUtf8("a\u202Eb"));
    row("41 emoji", family.left(2).repeated(41), cellLimits, family.left(2).repeated(40));
    row("emoji presentation selector", QString::fromUtf8("\u2764\uFE0F\u2764\uFE0F"), {64, 0, 1},
        QString::fromUtf8("\u2764\uFE0F"));
}

void TestMessageLog::shownStart()
{
    QFETCH(QString, text);
    QFETCH(int, maxLength);
    QFETCH(int, maxRuns);
    QFETCH(int, maxPictographs);
    QFETCH(QString, shown);

    const ShownText result = ::shownStart(text, {maxLength, maxRuns, maxPictographs});
    QCOMPARE(result.text, shown);
    QCOMPARE(result.leftOut, qint64(text.size() - shown.size()));
}

int main(int argc, char **argv)
{
    // Times are rendered in local time; pin it so that the expected texts hold anywhere.
    qputenv("TZ", "UTC");
    tzset();
    QCoreApplication app(argc, argv);
    TestMessageLog test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_messagelog.moc"
