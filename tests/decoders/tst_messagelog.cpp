// Tests of the ORVA message-log decoder, its renderings and its export; times are local, so TZ=UTC.
#include "messagerow.h"
#include "parsedlog.h"
#include "testdata.h"

#include <QTableWidgetItem>
#include <QtTest>

#include <memory>

using Messages = QList<LogMessage>;
Q_DECLARE_METATYPE(LogMessage)
Q_DECLARE_METATYPE(ShownLimits)

namespace
{

constexpr quint32 T = 1700000000u; // 2023-11-14 22:13:20 UTC, a time a later header may carry

QByteArray header(quint32 time, quint16 type, int textLength, quint16 direction = 0,
                  quint16 flags = 0)
{
    return logRecord(time, type, direction, flags, {}, {}, textLength);
}

// Decoded with the size, as the bytes may hold zeros; no bytes give a null string.
QString utf8(const QByteArray &bytes)
{
    return bytes.isNull() ? QString() : QString::fromUtf8(bytes.constData(), bytes.size());
}

// A message as the decoder must return it.
LogMessage msg(const QByteArray &sender, const QByteArray &text = QByteArray(), quint32 time = T,
               quint16 type = 8, quint16 direction = 0, quint16 flags = 0)
{
    return {
        LocalTimestamp::fromSecsSinceEpoch(time), type, direction, flags, utf8(sender), utf8(text)};
}

// Each message as one line of all its fields, so lists compare at once.
QStringList lines(const Messages &messages)
{
    QStringList out;
    for (const LogMessage &m : messages)
        out << QStringLiteral("%1 %2 ")
                       .arg(m.timestamp.toSecsSinceEpoch())
                       .arg(m.timestamp.offsetFromUtc) +
                   QStringLiteral("%1 %2 %3 ").arg(m.type).arg(m.direction).arg(m.flags, 0, 16) +
                   m.sender + '|' + (m.text.isNull() ? QStringLiteral("(null)") : m.text);
    return out;
}

} // namespace

class TestMessageLog : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void limitsOfOneOpening();
    void whereTheWalkStopped_data();
    void whereTheWalkStopped();
    void renderings_data();
    void renderings();
    void exportText();
    void shownStart_data();
    void shownStart();
};

void TestMessageLog::parse_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<Messages>("expected");
    QTest::addColumn<QString>("error");
    QTest::addColumn<int>("maxMessages");
    QTest::addColumn<qint64>("maxText");
    QTest::addColumn<bool>("limitReached");
    const auto row = [](const char *name, const QByteArray &content, const Messages &expected,
                        const QString &error = {}, int maxMessages = maxMessageCount,
                        qint64 maxText = maxTextBytes, bool limitReached = false) {
        QTest::newRow(name) << content << expected << error << maxMessages << maxText
                            << limitReached;
    };
    const QByteArray a = logRecord(T, 8, 0, 0, "Ann", "hello");
    const QByteArray z = logRecord(T + 500, 13, 1, 2, "Z", "end");
    const LogMessage am = msg("Ann", "hello"), zm = msg("Z", "end", T + 500, 13, 1, 2);
    const QByteArray h1 = header(T + 1, 8, 0);

    row("worked example",
        QByteArray::fromHex("00F15365 00000000 0800 0200 0100 0000 426F62 6869"
                            "80F15365 00000000 0B00 0000 0000 0500 416C696365"),
        {msg("Bob", "hi", T, 8, 1), msg("Alice", {}, T + 128, 11, 0, 5)});
    row("15 bytes", h1.left(15), {},
        "File too small to be a valid ORVA message log (min 16 bytes)");
    row("16 bytes, empty text", header(T, 9, 0, 1, 3), {msg("<?>", {}, T, 9, 1, 3)});
    row("17 bytes, empty text: the last byte is the sender", header(T, 8, 0) + "x", {msg("x")});
    row("text only, then a header", header(T, 8, 3) + "abc" + z, {msg("<?>", "abc"), zm});
    // The scan for the next header starts behind the text, one byte in for an empty text.
    row("header at the only text byte is body", header(T, 8, 1) + h1 + "B", {msg(h1, "B")});
    row("header inside the text", header(T, 8, 17) + "x" + h1 + z, {msg("<?>", "x" + h1), zm});
    row("header right behind the text", header(T, 8, 2) + "hi" + z, {msg("<?>", "hi"), zm});
    row("header right after an empty-text header is body", header(T, 8, 0) + h1, {msg(h1)});
    // Each type at every lane of the first scan blocks, and as the last 16 bytes (mostly in the
    // byte-by-byte tail); the near headers of the third filler pass only the scan's byte tests.
    for (const char *filler : {"00", "64", "ffc32264000000000800 01b33f71000000001100"}) {
        for (int at = 17; at < 17 + 40; ++at) {
            const QByteArray sender = QByteArray::fromHex(filler).repeated(40).left(at - 16);
            for (const QByteArray &tail : {QByteArray(), "B" + QByteArray(16, 'x')}) {
                const quint32 time = tail.isEmpty() ? 1680000000u : 1900000000u;
                const quint16 type = QList<quint16>{8, 9, 11, 13, 17}.at(at % 5);
                row(qPrintable(
                        QString::asprintf("header of time %u at %d behind %s", time, at, filler)),
                    header(T, 8, 0) + sender + header(time, type, 0, 1, 7) + tail,
                    {msg(sender), msg(tail.isEmpty() ? "<?>" : tail, {}, time, type, 1, 7)});
            }
        }
    }
    // The second header starts at the flags of the first: one block of the scan holds both.
    const QByteArray overlap = QByteArray::fromHex("000000000800") + QByteArray(20, 'z');
    row("two headers in one block of the scan: the first ends the body",
        header(T, 8, 0) + "A" + header(T, 8, 0, 0, 0x6553) + overlap,
        {msg("A"), msg(overlap, {}, T, 8, 0, 0x6553)});

    row("text runs past the end", a + header(T, 8, 10) + "12345", {am});
    const QByteArray mb(1000000, 'b');
    const QByteArray text65535 = "x" + h1 + mb.left(65518);
    row("text of 65535 bytes holding a header", header(T, 8, 65535) + text65535 + z,
        {msg("<?>", text65535), zm});
    row("body of 1000000 bytes, then a header", header(T, 8, 0) + mb + z, {msg(mb), zm});
    row("body of 1000001 bytes, then a header", header(T, 8, 0) + mb + "b" + z, {});
    row("body of 1000001 bytes to the end", a + header(T, 8, 0) + mb + "b", {am});
    // Sender and text are decoded apart: a sequence split between them is two bad ones.
    const QByteArray sender = "J\xc3\xa9r\xc3\xb4me \xff\xc3", text = "\xa9 \xf0\x9f\x98\x80";
    row("UTF-8 split by sender and text", logRecord(T, 8, 0, 0, sender, text), {msg(sender, text)});

    // A later header that fails one test is part of the sender (headers that pass are swept above).
    const auto later = [&row](const char *name, const QByteArray &h) {
        row(name, header(T, 8, 0) + "A" + h + "B", {msg("A" + h + "B")});
    };
    later("later header at time 1679999999", header(1679999999u, 8, 0));
    later("later header at time 1900000001", header(1900000001u, 8, 0));
    later("later header at time 0", header(0, 8, 0));
    later("later header of type 10", header(T, 10, 0));
    later("later header of type 264, a type in use in its low byte", header(T, 264, 0));
    later("later header with reserved byte 0 set", header(T, 8, 0).replace(4, 1, "\x01"));
    later("later header with reserved byte 3 set", header(T, 8, 0).replace(7, 1, "\x80"));

    // A Tox save would be one message holding its secret key; a near miss of its start is a log.
    for (const QByteArray &magic : {QByteArray::fromHex("000000001f1bed15"), QByteArray("toxEsave"),
                                    QByteArray::fromHex("011e81c0d67bba9e")}) {
        row(qPrintable("Tox save starting " + magic.toHex()), magic + QByteArray(40, 'k'), {},
            "This is a Tox save file, not an ORVA message log (open it with save_reader)");
        const QByteArray start = magic.left(7) + char(magic.at(7) + 1);
        row(qPrintable("log " + start.toHex()), start + header(0, 8, 0).mid(8) + "toxEsave",
            {msg("toxEsave", {}, qFromLittleEndian<quint32>(start.constData()))});
    }
    row("Tox save with a damaged start, its first section intact",
        QByteArray::fromHex("010000001f1bed15440000000100ce01") + QByteArray(40, 'k'), {},
        "This is a Tox save file, not an ORVA message log (open it with save_reader)");
    // A save whose start is lost: a secret key beside its public key, or two section headers, the
    // second where the first one's section ends.
    const QByteArray pair = publicKeyOf(testSecretKey()) + "between" + testSecretKey();
    row("a secret key after its public key", QByteArray(16, 'j') + pair, {},
        "This is a Tox save file, not an ORVA message log (open it with save_reader)");
    row("two linked section headers",
        QByteArray(16, 'j') + toxSection(2, counting(12)) + toxSection(255, QByteArray()), {},
        "This is a Tox save file, not an ORVA message log (open it with save_reader)");
    row("a section header alone", header(0, 8, 0) + toxSection(2, counting(12)) + "x",
        {msg(toxSection(2, counting(12)) + "x", {}, 0)});
    row("a key pair after a first header a later record could have", header(T, 8, 0) + pair,
        {msg(pair)});

    // The walk stops before a record that would pass a limit; a malformed record ends it as ever.
    const QByteArray aaz = a + a + z, bad = header(T, 8, 40) + "x"; // bodies of 8, 8 and 4 bytes
    const QByteArray wide = logRecord(T, 8, 0, 0, "\xc3\xa9", "\xe2\x82\xac"); // 5 bytes, 2 chars
    row("4 records, two of each second, limit 4", aaz + z, {am, am, zm, zm}, {}, 4);
    row("4 records, limit 3", aaz + z, {am, am, zm}, {}, 3, maxTextBytes, true);
    row("limit 0", aaz, {}, {}, 0, maxTextBytes, true);
    row("3 records and a malformed one, limit 3", aaz + bad, {am, am, zm}, {}, 3, 100, true);
    row("text budget of all 24 bytes", aaz + z, {am, am, zm, zm}, {}, 9, 24);
    row("text budget of 23 bytes", aaz + z, {am, am, zm}, {}, 9, 23, true);
    row("text budget 0, a bare header", header(T, 8, 0), {msg("<?>")}, {}, 9, 0);
    row("text budget spent, then a malformed record", aaz + bad, {am, am, zm}, {}, 9, 20);
    row("text budget in bytes", wide + wide, {msg("\xc3\xa9", "\xe2\x82\xac")}, {}, 9, 9, true);
}

void TestMessageLog::parse()
{
    QFETCH(QByteArray, content);
    QFETCH(Messages, expected);
    QFETCH(QString, error);
    QFETCH(int, maxMessages);
    QFETCH(qint64, maxText);
    QFETCH(bool, limitReached);
    const LogParseResult result = parseMessageLog(content, maxMessages, maxText);
    QCOMPARE(result.error, error);
    QCOMPARE(lines(result.messages), lines(expected));
    QCOMPARE(result.limitReached, limitReached);
}

void TestMessageLog::limitsOfOneOpening()
{
    // The message limit through the plain overload, with records of 17 bytes.
    QCOMPARE(maxTextBytes, Q_INT64_C(150000000));
    const LogParseResult result = parseMessageLog((header(T, 8, 0) + "a").repeated(2000001));
    QCOMPARE(result.messages.size(), 2000000);
    QVERIFY(result.limitReached);
}

void TestMessageLog::whereTheWalkStopped_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("maxMessages");
    QTest::addColumn<qint64>("maxText");
    QTest::addColumn<qint64>("decodedBytes");
    QTest::addColumn<int>("stopped");
    using Stop = LogParseResult::Stop;
    const auto row = [](const char *name, const QByteArray &content, qint64 decodedBytes,
                        Stop stopped, int maxMessages = maxMessageCount,
                        qint64 maxText = maxTextBytes) {
        QTest::newRow(name) << content << maxMessages << maxText << decodedBytes << int(stopped);
    };
    const QByteArray a = logRecord(T, 8, 0, 0, "Ann", "hello"); // 24 bytes, a body of 8
    const QByteArray bad = header(T, 8, 40) + "x";
    row("whole file", a + a, 48, Stop::EndOfFile);
    row("text past the end", a + bad, 24, Stop::DamagedRecord);
    row("body over 1000000 bytes", a + header(T, 8, 0) + QByteArray(1000001, 'b'), 24,
        Stop::DamagedRecord);
    row("first record damaged", bad, 0, Stop::DamagedRecord);
    row("message limit", a + a + a, 48, Stop::MessageLimit, 2);
    row("text limit", a + a + a, 24, Stop::TextLimit, maxMessageCount, 10);
}

void TestMessageLog::whereTheWalkStopped()
{
    QFETCH(QByteArray, content);
    QFETCH(int, maxMessages);
    QFETCH(qint64, maxText);
    QFETCH(qint64, decodedBytes);
    QFETCH(int, stopped);
    const LogParseResult result = parseMessageLog(content, maxMessages, maxText);
    QCOMPARE(result.decodedBytes, decodedBytes);
    QCOMPARE(int(result.stopped), stopped);
}

void TestMessageLog::renderings_data()
{
    // Blocks only for what the sample's export (exportText) leaves out; 1000000 has seven digits.
    QTest::addColumn<LogMessage>("message");
    QTest::addColumn<QString>("block");
    QTest::addColumn<QStringList>("cells");
    const QString closing = QChar(0x2514) + QString(39, QChar(0x2500)) + '\n';
    const auto row = [&closing](const char *name, const LogMessage &message, const char *block,
                                const char *dir, const QString &shown) {
        // The Time cell shows the time of the block's head line, or of T.
        const QString time = block ? QString::fromUtf8(block).mid(4, 19) : "2023-11-14 22:13:20";
        QTest::newRow(name) << message << (block ? block + closing : QString())
                            << QStringList{time, dir, message.sender, shown};
    };
    row("incoming info without text in the afternoon, flags 001a",
        msg("<?>", {}, 1714571110u, 11, 0, 0x1a),
        "┌─ [2024-05-01 13:45:10]  ←  INFO  <?>\n│  (empty)\n│  flags=0x001a  |  #1000000\n",
        "← IN", "");
    row("unknown direction and type, flags ffff", msg("Bob", "x", T, 10, 65535, 0xffff),
        "┌─ [2023-11-14 22:13:20]  ↔  TYPE10  Bob\n│  x\n│  flags=0xffff  |  #1000000\n", "↔ ?",
        "x");
    row("placeholders and line breaks stay as they are, flags 0abc, the epoch",
        msg("%1 %2", "%1\n%L1\n", 0, 17, 1, 0xabc),
        "┌─ [1970-01-01 00:00:00]  →  REPLY  %1 %2\n│  %1\n%L1\n\n│  flags=0x0abc  |  #1000000\n",
        "→ OUT", "%1\n%L1\n");
    // The Message cell: the first 80 UTF-16 code units of the text.
    const QByteArray m80(80, 'm');
    row("text of 80 units", msg("A", m80), nullptr, "← IN", m80);
    row("text of 81 units, sender of 100", msg(QByteArray(100, 's'), m80 + 'x'), nullptr, "← IN",
        m80 + "...");
    row("astral character across the cut", msg("A", m80.left(79) + "\xf0\x9f\x98\x80"), nullptr,
        "← IN", QString(m80.left(79)) + QChar(0xD83D) + "...");
}

void TestMessageLog::renderings()
{
    QFETCH(LogMessage, message);
    QFETCH(QString, block);
    QFETCH(QStringList, cells);
    if (!block.isEmpty())
        QCOMPARE(formatMessageBlock(message, 1000000), block);
    const QList<QTableWidgetItem *> items = messageRowItems(message);
    const QVariant centred = int(Qt::AlignHCenter | Qt::AlignVCenter);
    QStringList texts;
    for (const QTableWidgetItem *item : items) {
        texts << item->text();
        // Plain items without tooltip or colour; only the Dir cell is centred.
        QCOMPARE(item->type(), int(QTableWidgetItem::Type));
        QVERIFY(item->toolTip().isEmpty() && !item->data(Qt::ForegroundRole).isValid());
        QCOMPARE(item->data(Qt::TextAlignmentRole), texts.size() == 2 ? centred : QVariant());
    }
    QCOMPARE(texts, cells);
    // The Message cell reads the same through every way a view or a copy asks for it, until
    // anything is set as its text, even nothing.
    QTableWidgetItem *text = items.last();
    QCOMPARE(text->data(Qt::EditRole).toString(), cells.last());
    const std::unique_ptr<QTableWidgetItem> copy(text->clone());
    QCOMPARE(copy->text(), cells.last());
    text->setText(QStringLiteral("set"));
    QCOMPARE(text->text(), QStringLiteral("set"));
    text->setData(Qt::DisplayRole, QVariant());
    QVERIFY(!text->data(Qt::DisplayRole).isValid());
    QCOMPARE(copy->text(), cells.last());
    qDeleteAll(items);
}

void TestMessageLog::exportText()
{
    const QString path = "/evidence/chat.log";
    const Messages sample = parseMessageLog(readFile(SAMPLE_LOG)).messages;
    const QByteArray golden = readFile(testData("chat_parsed.txt"));
    QByteArray out;
    bool accept = true;
    const ByteSink sink = [&](const char *data, qint64 size) {
        out.append(data, int(size));
        return accept;
    };
    QVERIFY(writeParsedLog(sink, path, sample, false));
    QCOMPARE(out, golden);
    // The three parts, with a range reaching past both ends of the list, give the same text.
    QString parts = parsedLogHeader(path);
    appendParsedLogBlocks(parts, sample, -1, sample.size() + 1);
    QCOMPARE((parts + parsedLogEnd(sample.size(), false)).toUtf8(), golden);

    // A long export comes in pieces, each once; a failed one (the first holds two blocks) ends it.
    const LogMessage w = msg("s", QByteArray(300000, 'w'));
    const Messages wide = {w, w, w};
    out.clear();
    QVERIFY(writeParsedLog(sink, path, wide, true));
    QCOMPARE(out.count('w'), 900000);
    QVERIFY(out.endsWith("  |  #3" + golden.mid(golden.lastIndexOf('\n', -3)) +
                         "!!! Only the first 3 messages are listed; the log holds more. !!!\n"));
    accept = false;
    out.clear();
    QVERIFY(!writeParsedLog(sink, path, wide, false));
    QCOMPARE(out.count('w'), 600000);
    QVERIFY(!writeParsedLog(sink, path, sample, false));
}

void TestMessageLog::shownStart_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<ShownLimits>("limits");
    QTest::addColumn<QString>("shown");
    const auto row = [](const char *name, const QString &text, ShownLimits limits,
                        const QString &shown) { QTest::newRow(name) << text << limits << shown; };
    const QString x256(256, 'x'), acute(QChar(0x0301)), stem = QString::fromUtf8("\U0001D167");
    const QString alternating = QString::fromUtf8("aب").repeated(100);
    const QString emoji = "😀🃏"; // two emoji from two blocks of Unicode
    row("256 units", x256, cellLimits, x256);
    row("257 units", x256 + 'y', cellLimits, x256);
    row("combining sequence across the length", "abce\u0301", {4, 0, 0}, "abc");
    // A cluster of more than 32 units ends the start after its first 32, in whole code points.
    const QString a32 = 'a' + acute.repeated(31); // one cluster of 32 units
    row("cluster of 32 units", a32 + 'b', cellLimits, a32 + 'b');
    row("cluster of 33 units", a32 + acute + 'b', cellLimits, a32);
    row("cut cluster keeps pairs", 'a' + stem.repeated(20), cellLimits, 'a' + stem.repeated(15));
    row("cut cluster beyond the length", "abca" + acute.repeated(40), {20, 0, 0}, "abc");
    row("64 runs", alternating, cellLimits, alternating.left(65));
    row("neutrals, marks and emoji continue a run", "a, c\u0301! (d) 😀", {64, 0, 1},
        "a, c\u0301! (d) 😀");
    row("change of script", "Kenji 山田", {64, 0, 0}, "Kenji ");
    // Numbers take a level of their own after right-to-left text only; µ is of no script.
    row("numbers in both directions", "Room 101 א 1µ", {64, 2, 0}, "Room 101 א 1");
    row("explicit embeddings", "a\u202Eb\u202Cc", {64, 1, 0}, "a\u202Eb");
    row("8 emoji", emoji.repeated(4), cellLimits, emoji.repeated(4));
    row("9 emoji", emoji.repeated(4) + "😀", cellLimits, emoji.repeated(4));
    // Colour emoji by their Unicode properties, in every plane; a sequence drawn as one counts
    // once.
    row("basic-plane emoji", "✅⌚☔⭐", {64, 0, 3}, "✅⌚☔");
    row("pictographs shown as text", "1©™☺", {64, 0, 2}, "1©™");
    row("emoji presentation selector", "\u2764\uFE0F\u2764\uFE0F", {64, 0, 1}, "\u2764\uFE0F");
    row("keycaps", "#1\uFE0F\u20E3*\u20E3", {64, 0, 1}, "#1\uFE0F\u20E3");
    row("flags", "🇩🇪🇫🇷🇯🇵", {64, 0, 2}, "🇩🇪🇫🇷");
    row("skin tones", "👍🏽🏿👍🏻", {64, 0, 2}, "👍🏽🏿");
    row("tag flags", "🏴󠁧󠁢󠁳󠁣󠁴󠁿🏴󠁧󠁢󠁷󠁬󠁳󠁿", {64, 0, 1},
        "🏴󠁧󠁢󠁳󠁣󠁴󠁿");
    row("joined sequence", "👩‍💻👩‍💻", {64, 0, 3}, "👩‍💻");
}

void TestMessageLog::shownStart()
{
    QFETCH(QString, text);
    QFETCH(ShownLimits, limits);
    QFETCH(QString, shown);
    const ShownText result = ::shownStart(text, limits);
    QCOMPARE(result.text, shown);
    QCOMPARE(result.leftOut, qint64(text.size() - shown.size()));
}

QTEST_GUILESS_MAIN(TestMessageLog)

#include "tst_messagelog.moc"
