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

class TestMessageLog : public QObject
{
    Q_OBJECT

private slots:
    void workedExample();
    void tooSmall_data();
    void tooSmall();
    void walk_data();
    void walk();
    void headerTest_data();
    void headerTest();
    void firstRecordAnyHeader_data();
    void firstRecordAnyHeader();
    void matchesPlainScan();
    void roundTrip();

    void vocabularies_data();
    void vocabularies();
    void block_data();
    void block();
    void closingLine();
    void rowItems_data();
    void rowItems();
};

void TestMessageLog::workedExample()
{
    const QByteArray content =
        QByteArray::fromHex("00F15365 00000000 0800 0200 0100 0000 426F62 6869"
                            "80F15365 00000000 0B00 0000 0000 0500 416C696365");
    QCOMPARE(content.size(), 42);
    const LogParseResult result = parseMessageLog(content);
    QVERIFY(result.error.isEmpty());
    compareMessages(result.messages,
                    {message(1700000000u, 8, 1, 0, QStringLiteral("Bob"), QStringLiteral("hi")),
                     message(1700000128u, 11, 0, 5, QStringLiteral("Alice"))});
    QCOMPARE(result.messages.at(0).timestamp.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
             QStringLiteral("2023-11-14 22:13:20"));
}

void TestMessageLog::tooSmall_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("fails");
    QTest::newRow("empty") << 0 << true;
    QTest::newRow("1 byte") << 1 << true;
    QTest::newRow("15 bytes") << 15 << true;
    QTest::newRow("16 bytes") << 16 << false;
}

void TestMessageLog::tooSmall()
{
    QFETCH(int, size);
    QFETCH(bool, fails);
    const LogParseResult result = parseMessageLog(header(inWindow, 8, 0).left(size));
    QCOMPARE(result.error,
             fails ? QStringLiteral("File too small to be a valid ORVA message log (min 16 bytes)")
                   : QString());
    QCOMPARE(result.messages.size(), fails ? 0 : 1);
}

void TestMessageLog::walk_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QList<LogMessage>>("expected");

    const QByteArray next = record(1700000500u, 13, 1, 2, "Z", "end");
    const LogMessage nextMessage =
        message(1700000500u, 13, 1, 2, QStringLiteral("Z"), QStringLiteral("end"));
    const QByteArray a = record(inWindow, 8, 0, 0, "Ann", "hello");
    const LogMessage aMessage = message(inWindow, 8, 0, 0, "Ann", "hello");

    QTest::newRow("bare header, empty text")
        << header(inWindow, 9, 0, 1, 3) << QList<LogMessage>{message(inWindow, 9, 1, 3, "<?>")};
    QTest::newRow("bare header, text length 1") << header(inWindow, 9, 1) << QList<LogMessage>{};
    QTest::newRow("17 bytes, empty text: last byte is the sender")
        << header(inWindow, 8, 0) + "x" << QList<LogMessage>{message(inWindow, 8, 0, 0, "x")};
    QTest::newRow("text only, then a header")
        << header(inWindow, 8, 3) + "abc" + next
        << QList<LogMessage>{message(inWindow, 8, 0, 0, "<?>", "abc"), nextMessage};
    QTest::newRow("two records split at the second header")
        << record(inWindow, 17, 0, 0xbeef, "Some sender", "text") + next
        << QList<LogMessage>{message(inWindow, 17, 0, 0xbeef, "Some sender", "text"), nextMessage};

    QTest::newRow("records of the same second, then a later one")
        << record(inWindow, 8, 0, 0, "A", "1") + record(inWindow, 8, 1, 0, "B", "2") +
               record(inWindow + 1, 8, 0, 0, "C", "3") + record(inWindow, 8, 0, 0, "D", "4")
        << QList<LogMessage>{
               message(inWindow, 8, 0, 0, "A", "1"), message(inWindow, 8, 1, 0, "B", "2"),
               message(inWindow + 1, 8, 0, 0, "C", "3"), message(inWindow, 8, 0, 0, "D", "4")};

    // The scan starts behind the text: a header inside the first L body bytes is not a boundary.
    const QByteArray inText = "xy" + header(1700000001u, 8, 0) + "zw";
    QTest::newRow("header inside the text is skipped")
        << header(inWindow, 8, quint16(inText.size())) + inText + next
        << QList<LogMessage>{message(inWindow, 8, 0, 0, "<?>", utf8(inText)), nextMessage};
    const QByteArray shortText = "abc" + header(1700000001u, 8, 0) + "q";
    QTest::newRow("header inside the text, no scan left")
        << a + header(inWindow, 8, 10) + shortText
        << QList<LogMessage>{aMessage, message(inWindow, 8, 0, 0, utf8(shortText.left(10)),
                                               utf8(shortText.mid(10)))};
    // With an empty text the scan starts one byte in.
    const QByteArray glued = header(1700000001u, 8, 0) + "B";
    QTest::newRow("header right after an empty-text header is skipped")
        << header(inWindow, 8, 0) + glued
        << QList<LogMessage>{message(inWindow, 8, 0, 0, utf8(glued))};
    QTest::newRow("header one byte after an empty-text header is taken")
        << header(inWindow, 8, 0) + "A" + glued
        << QList<LogMessage>{message(inWindow, 8, 0, 0, "A"), message(1700000001u, 8, 0, 0, "B")};
    QTest::newRow("header right behind the text is taken")
        << header(inWindow, 8, 2) + "hi" + glued
        << QList<LogMessage>{message(inWindow, 8, 0, 0, "<?>", "hi"),
                             message(1700000001u, 8, 0, 0, "B")};
    QTest::newRow("header pattern inside the sender cuts the record")
        << header(inWindow, 8, 2, 1) + "Ann" + header(1700000002u, 9, 0, 1, 7) + "x" + "hi"
        << QList<LogMessage>{message(inWindow, 8, 1, 0, "A", "nn"),
                             message(1700000002u, 9, 1, 7, "xhi")};

    QTest::newRow("text runs past the end")
        << a + header(inWindow, 8, 10) + "12345" << QList<LogMessage>{aMessage};
    QTest::newRow("text length 65535, body exactly that long")
        << header(inWindow, 8, 65535) + QByteArray(65535, 't') + next
        << QList<LogMessage>{message(inWindow, 8, 0, 0, "<?>", QString(65535, 't')), nextMessage};
    QTest::newRow("text one byte short of 65535")
        << a + header(inWindow, 8, 65535) + QByteArray(65534, 't') << QList<LogMessage>{aMessage};

    const QByteArray limit(1000000, 'b');
    const QByteArray overLimit(1000001, 'b');
    QTest::newRow("body of 1000000 bytes, then a header")
        << header(inWindow, 8, 0) + limit + next
        << QList<LogMessage>{message(inWindow, 8, 0, 0, QString(1000000, 'b')), nextMessage};
    QTest::newRow("body of 1000001 bytes, then a header")
        << header(inWindow, 8, 0) + overLimit + next << QList<LogMessage>{};
    QTest::newRow("body of 1000000 bytes to the end")
        << a + header(inWindow, 8, 0) + limit
        << QList<LogMessage>{aMessage, message(inWindow, 8, 0, 0, QString(1000000, 'b'))};
    QTest::newRow("body of 1000001 bytes to the end")
        << a + header(inWindow, 8, 0) + overLimit << QList<LogMessage>{aMessage};
    QTest::newRow("body of 1000001 bytes with text, then more records")
        << a + header(inWindow, 8, 5) + overLimit + next + a << QList<LogMessage>{aMessage};

    // Bad UTF-8 becomes U+FFFD (one per byte of a cut-off sequence) and the walk goes on.
    const QChar bad(QChar::ReplacementCharacter);
    QTest::newRow("invalid UTF-8")
        << record(inWindow, 8, 0, 0,
                  "\xff"
                  "A\xc3",
                  "B\xe2\x82") +
               next
        << QList<LogMessage>{
               message(inWindow, 8, 0, 0, QString(bad) + "A" + bad, QString("B") + bad + bad),
               nextMessage};
    QTest::newRow("UTF-8 split between sender and text")
        << record(inWindow, 8, 0, 0, "\xc3", "\xa9") + next
        << QList<LogMessage>{message(inWindow, 8, 0, 0, bad, bad), nextMessage};
    QTest::newRow("valid UTF-8")
        << record(inWindow, 8, 0, 0, "J\xc3\xa9r\xc3\xb4me", "\xf0\x9f\x98\x80 ok") + next
        << QList<LogMessage>{
               message(inWindow, 8, 0, 0, QString::fromUtf8("Jérôme"), QString::fromUtf8("😀 ok")),
               nextMessage};
}

void TestMessageLog::walk()
{
    QFETCH(QByteArray, content);
    QFETCH(QList<LogMessage>, expected);
    const LogParseResult result = parseMessageLog(content);
    QVERIFY(result.error.isEmpty());
    compareMessages(result.messages, expected);
}

void TestMessageLog::headerTest_data()
{
    QTest::addColumn<quint32>("time");
    QTest::addColumn<quint16>("type");
    QTest::addColumn<QByteArray>("reserved");
    QTest::addColumn<bool>("recognised");

    const QByteArray zeros(4, '\0');
    QTest::newRow("time 1680000000") << 1680000000u << quint16(8) << zeros << true;
    QTest::newRow("time 1900000000") << 1900000000u << quint16(8) << zeros << true;
    QTest::newRow("time 1679999999") << 1679999999u << quint16(8) << zeros << false;
    QTest::newRow("time 1900000001") << 1900000001u << quint16(8) << zeros << false;
    QTest::newRow("time 0") << 0u << quint16(8) << zeros << false;
    QTest::newRow("time 4294967295") << 4294967295u << quint16(8) << zeros << false;

    QList<quint16> types;
    for (quint16 t = 0; t <= 20; ++t)
        types << t;
    types << 255 << 256 << 264 << 265 << 267 << 269 << 273 << 0x0800 << 0x1100 << 65535;
    for (quint16 t : types) {
        const bool inUse = t == 8 || t == 9 || t == 11 || t == 13 || t == 17;
        QTest::newRow(qPrintable(QStringLiteral("type %1").arg(t)))
            << inWindow << t << zeros << inUse;
    }

    for (int i = 0; i < 4; ++i) {
        for (char value : {'\x01', '\x80'}) {
            QByteArray reserved = zeros;
            reserved[i] = value;
            QTest::newRow(qPrintable(QStringLiteral("reserved byte %1 = 0x%2")
                                         .arg(i)
                                         .arg(uchar(value), 2, 16, QLatin1Char('0'))))
                << inWindow << quint16(8) << reserved << false;
        }
    }
}

void TestMessageLog::headerTest()
{
    QFETCH(quint32, time);
    QFETCH(quint16, type);
    QFETCH(QByteArray, reserved);
    QFETCH(bool, recognised);

    const QByteArray candidate = header(time, type, 0, 1, 0x42, reserved);
    const QByteArray content = record(inWindow, 8, 0, 0, "A", "") + candidate + "B";
    const LogParseResult result = parseMessageLog(content);
    QVERIFY(result.error.isEmpty());
    if (recognised) {
        compareMessages(result.messages,
                        {message(inWindow, 8, 0, 0, "A"), message(time, type, 1, 0x42, "B")});
    } else {
        compareMessages(result.messages, {message(inWindow, 8, 0, 0, utf8("A" + candidate + "B"))});
    }
}

void TestMessageLog::firstRecordAnyHeader_data()
{
    QTest::addColumn<quint32>("time");
    QTest::addColumn<quint16>("type");
    QTest::addColumn<QByteArray>("reserved");
    QTest::addColumn<QString>("shown");

    const QByteArray zeros(4, '\0');
    QTest::newRow("time 0") << 0u << quint16(8) << zeros << "1970-01-01 00:00:00";
    QTest::newRow("time 4294967295") << 4294967295u << quint16(8) << zeros << "2106-02-07 06:28:15";
    QTest::newRow("time 1679999999") << 1679999999u << quint16(8) << zeros << "2023-03-28 10:39:59";
    QTest::newRow("type 10") << inWindow << quint16(10) << zeros << "2023-11-14 22:13:20";
    QTest::newRow("type 65535") << inWindow << quint16(65535) << zeros << "2023-11-14 22:13:20";
    QTest::newRow("reserved bytes set")
        << inWindow << quint16(8) << QByteArray(4, '\xff') << "2023-11-14 22:13:20";
}

void TestMessageLog::firstRecordAnyHeader()
{
    QFETCH(quint32, time);
    QFETCH(quint16, type);
    QFETCH(QByteArray, reserved);
    QFETCH(QString, shown);

    const QByteArray content = header(time, type, 2, 4, 0, reserved) + "Bo" + "hi";
    const LogParseResult result = parseMessageLog(content);
    QVERIFY(result.error.isEmpty());
    compareMessages(result.messages, {message(time, type, 4, 0, "Bo", "hi")});
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

void TestMessageLog::vocabularies_data()
{
    QTest::addColumn<quint16>("value");
    QTest::addColumn<QString>("type");
    QTest::addColumn<QString>("arrow");
    QTest::addColumn<QString>("label");

    const QString in = QString::fromUtf8("←");
    const QString out = QString::fromUtf8("→");
    const QString unknown = QString::fromUtf8("↔");
    QTest::newRow("0") << quint16(0) << "TYPE0" << in << QString::fromUtf8("← IN");
    QTest::newRow("1") << quint16(1) << "TYPE1" << out << QString::fromUtf8("→ OUT");
    QTest::newRow("2") << quint16(2) << "TYPE2" << unknown << QString::fromUtf8("↔ ?");
    QTest::newRow("8") << quint16(8) << "MSG" << unknown << QString::fromUtf8("↔ ?");
    QTest::newRow("9") << quint16(9) << "MSG" << unknown << QString::fromUtf8("↔ ?");
    QTest::newRow("10") << quint16(10) << "TYPE10" << unknown << QString::fromUtf8("↔ ?");
    QTest::newRow("11") << quint16(11) << "INFO" << unknown << QString::fromUtf8("↔ ?");
    QTest::newRow("12") << quint16(12) << "TYPE12" << unknown << QString::fromUtf8("↔ ?");
    QTest::newRow("13") << quint16(13) << "MSG" << unknown << QString::fromUtf8("↔ ?");
    QTest::newRow("16") << quint16(16) << "TYPE16" << unknown << QString::fromUtf8("↔ ?");
    QTest::newRow("17") << quint16(17) << "REPLY" << unknown << QString::fromUtf8("↔ ?");
    QTest::newRow("18") << quint16(18) << "TYPE18" << unknown << QString::fromUtf8("↔ ?");
    QTest::newRow("65535") << quint16(65535) << "TYPE65535" << unknown << QString::fromUtf8("↔ ?");
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
    const QString closing = QString::fromUtf8("└───────────────────────────────────────\n");
    const QString head = QString::fromUtf8("┌─ [2024-05-01 13:45:10]  ");

    QTest::newRow("outgoing message")
        << message(may, 8, 1, 0x1a, "Ann", "Hi") << 3
        << head + QString::fromUtf8("→  MSG  Ann\n│  Hi\n│  flags=0x001a  |  #3\n") + closing;
    QTest::newRow("incoming info, flags 0, no text")
        << message(may, 11, 0, 0, "<?>") << 1
        << head + QString::fromUtf8("←  INFO  <?>\n│  (empty)\n│  flags=0x0000  |  #1\n") + closing;
    QTest::newRow("unknown direction and type, flags ffff")
        << message(may, 10, 2, 0xffff, "Bob", "x") << 1000000
        << head + QString::fromUtf8("↔  TYPE10  Bob\n│  x\n│  flags=0xffff  |  #1000000\n") +
               closing;
    QTest::newRow("flags 0abc, reply")
        << message(may, 17, 65535, 0xabc, "C", "y") << 42
        << head + QString::fromUtf8("↔  REPLY  C\n│  y\n│  flags=0x0abc  |  #42\n") + closing;
    QTest::newRow("placeholders in sender and text are literal")
        << message(may, 9, 1, 1, "%1 %2 %4 %L1", "%1 and %2") << 2
        << head +
               QString::fromUtf8("→  MSG  %1 %2 %4 %L1\n│  %1 and %2\n│  flags=0x0001  |  #2\n") +
               closing;
    QTest::newRow("line breaks in the text")
        << message(may, 13, 0, 0, "D", "one\ntwo\n") << 5
        << head + QString::fromUtf8("←  MSG  D\n│  one\ntwo\n\n│  flags=0x0000  |  #5\n") + closing;
    QTest::newRow("epoch")
        << message(0, 8, 0, 0, "E", "z") << 1
        << QString::fromUtf8(
               "┌─ [1970-01-01 00:00:00]  ←  MSG  E\n│  z\n│  flags=0x0000  |  #1\n") +
               closing;
}

void TestMessageLog::block()
{
    QFETCH(LogMessage, message);
    QFETCH(int, number);
    QFETCH(QString, expected);
    QCOMPARE(formatMessageBlock(message, number), expected);
}

void TestMessageLog::closingLine()
{
    const QString block = formatMessageBlock(message(inWindow, 8, 0, 0, "A", "B"), 1);
    const QStringList lines = block.split(QLatin1Char('\n'));
    QCOMPARE(lines.size(), 5); // four lines, then nothing after the last line feed
    QVERIFY(lines.last().isEmpty());
    const QString closing = lines.at(3) + QLatin1Char('\n');
    QCOMPARE(closing.size(), 41);
    QCOMPARE(closing, QChar(0x2514) + QString(39, QChar(0x2500)) + QLatin1Char('\n'));
    QVERIFY(lines.at(0).startsWith(QString(QChar(0x250C)) + QChar(0x2500) + QLatin1Char(' ')));
    QVERIFY(lines.at(1).startsWith(QString(QChar(0x2502)) + QLatin1String("  ")));
}

void TestMessageLog::rowItems_data()
{
    QTest::addColumn<LogMessage>("message");
    QTest::addColumn<QStringList>("cells");

    const QString time = QStringLiteral("2023-11-14 22:13:20");
    const QString smile = QString::fromUtf8("😀");
    QTest::newRow("outgoing") << message(inWindow, 8, 1, 0, "Ann", "Hi")
                              << QStringList{time, QString::fromUtf8("→ OUT"), "Ann", "Hi"};
    QTest::newRow("incoming, empty text")
        << message(inWindow, 8, 0, 0, "<?>")
        << QStringList{time, QString::fromUtf8("← IN"), "<?>", ""};
    QTest::newRow("unknown direction") << message(inWindow, 8, 7, 0, "%1", "%1")
                                       << QStringList{time, QString::fromUtf8("↔ ?"), "%1", "%1"};
    QTest::newRow("80 units") << message(inWindow, 8, 0, 0, "A", QString(80, 'm'))
                              << QStringList{time, QString::fromUtf8("← IN"), "A",
                                             QString(80, 'm')};
    QTest::newRow("81 units") << message(inWindow, 8, 0, 0, "A", QString(81, 'm'))
                              << QStringList{time, QString::fromUtf8("← IN"), "A",
                                             QString(80, 'm') + "..."};
    QTest::newRow("astral character ending at unit 80")
        << message(inWindow, 8, 0, 0, "A", QString(78, 'm') + smile)
        << QStringList{time, QString::fromUtf8("← IN"), "A", QString(78, 'm') + smile};
    QTest::newRow("astral character across the cut")
        << message(inWindow, 8, 0, 0, "A", QString(79, 'm') + smile)
        << QStringList{time, QString::fromUtf8("← IN"), "A",
                       QString(79, 'm') + smile.at(0) + "..."};
    const QString lines = QStringLiteral("first line\nsecond line\n").repeated(5);
    QTest::newRow("line breaks count toward the cut")
        << message(inWindow, 8, 0, 0, "A", lines)
        << QStringList{time, QString::fromUtf8("← IN"), "A", lines.left(80) + "..."};
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
