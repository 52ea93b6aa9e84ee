// Tests of the save-file decoder: whole reports against golden files, the container and the walk,
// the boundaries of every section renderer, the secret-key rule and the report limit.
#include "savefile.h"
#include "secretkeys.h"
#include "testdata.h"

#include <QTemporaryDir>
#include <QtTest>

#include <map>

namespace
{

const QString kPath = QStringLiteral("/evidence/alice.tox");

QString head(qint64 size, const char *words = "00000000] [0x15ed1b1f")
{
    return QStringLiteral(
               "=== Tox Save File: %1 ===\nFile size: %2 bytes\n\nGlobal header: [0x%3]\n")
        .arg(kPath)
        .arg(size)
        .arg(QLatin1String(words));
}

QString sectionLine(int index, int type, const char *name, quint32 length)
{
    return QStringLiteral("\nSection %1: type=%2 (%3), cookie=0x01ce, length=%4\n")
        .arg(index)
        .arg(type)
        .arg(QLatin1String(name))
        .arg(length);
}

QString endLines(int total)
{
    return QStringLiteral("\n=== End of save file ===\nTotal sections: %1\n").arg(total);
}

const QByteArray kEnd = toxSection(255, QByteArray());
const QString kNotice =
    QStringLiteral("!!! The first section is not an intact NOSPAMKEYS section: bytes 52 to 83, "
                   "where a save keeps its secret key, are read as zeros. !!!\n");
const QString kMagicError =
    QStringLiteral("Invalid Tox save file magic. Expected [0x00000000] [0x15ed1b1f]");

} // namespace

class TestSaveFile : public QObject
{
    Q_OBJECT

private slots:
    void golden_data();
    void golden();
    void container_data();
    void container();
    void renderers_data();
    void renderers();
    void secretKey_data();
    void secretKey();
    void keyChecksOfOneSave();
    void reportLimit_data();
    void reportLimit();
    void helpersReadTheirLength();
};

void TestSaveFile::golden_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("every section type and ending, first section intact") << "rich";
    QTest::newRow("damage of every kind, first section over the secret key") << "damaged";
    QTest::newRow("the shipped sample, written by libtoxcore") << "alice";
}

// A whole report against one written by hand-checked reference decoding, and the same file read
// from disk, with its path printed as it was passed.
void TestSaveFile::golden()
{
    QFETCH(QString, name);
    const QByteArray data =
        readFile(testData(name == "alice" ? "../../samples/alice.tox" : name + ".tox"));
    const QByteArray text = readFile(testData(name + ".txt"));
    const QString expected = QString::fromUtf8(text.constData(), text.size()); // NULs included
    QVERIFY(!data.isEmpty() && !expected.isEmpty());
    const ParseResult result = parseSaveData(data, QStringLiteral("/evidence/%1.tox").arg(name));
    QVERIFY(result.success && result.error.isEmpty());
    QCOMPARE(result.report, expected);

    QTemporaryDir dir;
    const QString onDisk = dir.filePath(QStringLiteral("%1 %2.tox").arg(name));
    QVERIFY(writeFile(onDisk, data));
    QCOMPARE(parseSaveFile(onDisk).report, parseSaveData(data, onDisk).report);
}

void TestSaveFile::container_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("report");

    const QString tooSmall = QStringLiteral("File too small to be a valid Tox save file");
    const QByteArray container = toxSave({});
    QTest::newRow("empty file") << QByteArray() << tooSmall << QString();
    QTest::newRow("7 bytes") << container.left(7) << tooSmall << QString();
    QTest::newRow("8-byte container") << container << QString() << head(8) + endLines(0);
    QTest::newRow("container and 7 bytes: no section header fits")
        << container + QByteArray::fromHex("ffffffff0100ce") << QString() << head(15) + endLines(0);
    QTest::newRow("END only") << toxSave({kEnd}) << QString()
                              << head(16) + sectionLine(0, 255, "END", 0) + "  (end marker)\n" +
                                     endLines(1);
    QTest::newRow("END in the middle ends the walk")
        << toxSave({toxSection(9, "ab"), kEnd, toxSection(4, "hidden")}) << QString()
        << head(40) + sectionLine(0, 9, "UNKNOWN", 2) + "  (2 unknown bytes)\n" +
               sectionLine(1, 255, "END", 0) + "  (end marker)\n" + endLines(2);
    const QString encrypted =
        QStringLiteral("\n!!! This file appears to be ENCRYPTED (ToxEncrypt format) !!!\n"
                       "!!! Decrypt it first with toxencryptsave before parsing. !!!\n\n");
    QTest::newRow("encrypted: binary marker alone")
        << QByteArray::fromHex("011e81c0d67bba9e") << QString()
        << head(8, "c0811e01] [0x9eba7bd6") + encrypted;
    QTest::newRow("magic: binary marker with its last byte changed")
        << QByteArray::fromHex("011e81c0d67bba9f") << kMagicError
        << head(8, "c0811e01] [0x9fba7bd6");
    QTest::newRow("encrypted: toxEsave")
        << QByteArray("toxEsave") << QString() << head(8, "45786f74] [0x65766173") + encrypted;
    QTest::newRow("magic: toxEsave with one letter changed")
        << QByteArray("toxEsavf") << kMagicError << head(8, "45786f74] [0x66766173");
    QTest::newRow("magic: zero word 1") << QByteArray::fromHex("010000001f1bed15") << kMagicError
                                        << head(8, "00000001] [0x15ed1b1f");
    QTest::newRow("magic: cookie big-endian") << QByteArray::fromHex("0000000015ed1b1f")
                                              << kMagicError << head(8, "00000000] [0x1f1bed15");
    const QString beyond =
        QStringLiteral("\nError: Section 0 extends beyond file (offset=16, length=%1, "
                       "file_size=%2)\n");
    QTest::newRow("payload one byte past the end")
        << toxSave({le32(5) + le16(4) + le16(0x01CE) + "abcd"}) << QString()
        << head(20) + beyond.arg(5).arg(20) + endLines(0);
    QTest::newRow("length 0xFFFFFFFF does not wrap")
        << toxSave({le32(0xFFFFFFFF) + le16(9) + le16(0x01CE) + "abcd"}) << QString()
        << head(20) + beyond.arg(4294967295u).arg(20) + endLines(0);
    QTest::newRow("payload ending at the end of the file, no END")
        << toxSave({toxSection(0, "abc")}) << QString()
        << head(19) + sectionLine(0, 0, "UNKNOWN", 3) + "  (3 unknown bytes)\n" + endLines(1);
}

// The head lines, the three ways out of the walk and the container failures.
void TestSaveFile::container()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    QFETCH(QString, report);
    const ParseResult result = parseSaveData(file, kPath);
    QCOMPARE(result.error, error);
    QCOMPARE(result.success, error.isEmpty());
    QCOMPARE(result.report, report);
}

void TestSaveFile::renderers_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("lines"); // after the section header; "…" first: the tail only

    const auto row = [](const char *name, int type, const QByteArray &payload, const QString &l) {
        QTest::newRow(name) << type << payload << l;
    };
    const QByteArray key = counting(32, 0x40);
    const QString keyHex = QString::fromLatin1(key.toHex().toUpper());
    row("NOSPAMKEYS: 67 bytes", 1, counting(67),
        "  [NOSPAMKEYS Section] (67 bytes)\n    (too short)\n");
    const QByteArray publicKey = publicKeyOf(testSecretKey());
    row("NOSPAMKEYS: small nospam zero-filled, bytes after 68 ignored", 1,
        QByteArray::fromHex("00000001") + publicKey + testSecretKey() + counting(8),
        "  [NOSPAMKEYS Section] (76 bytes)\n    nospam: 0x00000001 (1)\n    public_key: " +
            QString::fromLatin1(publicKey.toHex().toUpper()) + "\n    secret_key: <hidden>\n");
    const QString notMatching = QStringLiteral(
        "  [NOSPAMKEYS Section] (68 bytes)\n    nospam: <hidden: the keys beside it do not match>"
        "\n    public_key: <hidden: it does not match the secret key stored beside it>\n"
        "    secret_key: <hidden>\n");
    row("NOSPAMKEYS: a public key that is not the secret key's is hidden", 1,
        QByteArray::fromHex("01020304") + key + testSecretKey(), notMatching);
    row("NOSPAMKEYS: the secret key where the public key belongs is hidden", 1,
        QByteArray::fromHex("01020304") + testSecretKey() + publicKey, notMatching);
    row("FRIENDS: empty", 3, QByteArray(),
        "  [FRIENDS Section] (0 bytes)\n    (unexpected size - not a multiple of 2216; "
        "length=0)\n    Raw hex dump of first 64 bytes:\n      \n");
    row("FRIENDS: one byte short of a record", 3, counting(2215, 0xF0),
        "…f0 f1 f2 f3 f4 f5 f6 f7 f8 f9 fa fb fc fd fe ff 00 01 02 03 04 05 06 07 08 09 0a 0b 0c "
        "0d 0e 0f 10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f 20 21 22 23 24 25 26 27 28 29 "
        "2a 2b 2c 2d 2e 2f \n");
    QByteArray busy(2216, '\0'); // status 2, the highest that shows no name
    busy[0] = 2;
    busy.replace(1060, 3, "Bob");
    busy.replace(1188, 2, be16(3));
    row("FRIENDS: status 2 shows no name", 3, busy, "…info_size=0\n");
    row("NAME: empty", 4, QByteArray(), "  [NAME Section] (0 bytes): \"\"\n");
    row("NAME: 129 bytes show 128", 4, QByteArray(128, 'n') + 'X',
        "  [NAME Section] (129 bytes): \"" + QString(128, 'n') + "\"\n");
    row("STATUSMESSAGE: 201 bytes show 200", 5, QByteArray(200, 's') + 'X',
        "  [STATUSMESSAGE Section] (201 bytes): \"" + QString(200, 's') + "\"\n");
    row("STATUS: online", 6, QByteArray(1, 0), "  [STATUS Section] (1 bytes): online\n");
    row("STATUS: busy", 6, QByteArray(1, 2), "  [STATUS Section] (1 bytes): busy\n");
    row("STATUS: unknown", 6, QByteArray(1, 3), "  [STATUS Section] (1 bytes): unknown (3)\n");
    row("DHT: 3 bytes", 2, counting(3), "  [DHT Section]\n    (too short: 3 bytes)\n");
    const QString cookieLine =
        QStringLiteral("  [DHT Section]\n    DHT cookie: 0x0159000d (expected 0x0159000d)\n");
    const QByteArray cookie = le32(0x0159000D);
    row("DHT: cookie only", 2, cookie, cookieLine);
    row("DHT: 7 bytes after the cookie are not reported", 2, cookie + counting(7), cookieLine);
    const QByteArray node = packedNode(2, QByteArray::fromHex("c0a80001"), 33445, 0x40);
    row("DHT: a bad cookie skips the sub-sections", 2,
        le32(0x0159000E) + le32(39) + le16(4) + le16(0) + node,
        "  [DHT Section]\n    DHT cookie: 0x0159000e (expected 0x0159000d)\n"
        "    (invalid DHT cookie - skipping)\n");
    const QString nodeLine = "      Node 0: IPv4 192.168.0.1:33445 pubkey=" + keyHex + "\n";
    row("DHT: sub-section ending at the end of the section", 2,
        cookie + le32(39) + le16(4) + le16(0) + node,
        cookieLine + "    Sub-section: length=39, cookie=0x0000, type=4 [DHT NODES]\n" + nodeLine +
            "    Total DHT nodes: 1 node(s)\n");
    row("DHT: sub-section one byte longer", 2, cookie + le32(40) + le16(4) + le16(0) + node,
        cookieLine +
            "    Sub-section: length=40, cookie=0x0000, type=4 (extends beyond section!)\n");
    row("DHT: TCP family in a DHT node list", 2,
        cookie + le32(39) + le16(4) + le16(0) + char(130) + node.mid(1),
        "…      [error parsing node at offset 0]\n    Total DHT nodes: 0 node(s)\n");
    row("PATH_NODE: TCP family", 11, char(130) + node.mid(1),
        "  [PATH_NODE Section]\n      [error parsing node at offset 0]\n    Total path nodes: "
        "0 node(s)\n");
    row("PATH_NODE: family 0x12", 11, char(0x12) + node.mid(1),
        "…[error parsing node at offset 0]\n    Total path nodes: 0 node(s)\n");
    row("TCP_RELAY: one node and one byte", 10, node + 'x',
        "  [TCP_RELAY Section]\n" + nodeLine +
            "      [error parsing node at offset 39]\n    Total TCP relays: 1 node(s)\n");
    row("TCP_RELAY: IPv6 with 50 bytes left", 10, node + char(10) + counting(49),
        "…[error parsing node at offset 39]\n    Total TCP relays: 1 node(s)\n");
    row("TCP_RELAY: empty", 10, QByteArray(), "  [TCP_RELAY Section]\n    (empty)\n");
    // The node lists are read over their whole 32-bit length.
    QByteArray relays;
    for (int i = 0; i < 1681; ++i)
        relays += node;
    row("TCP_RELAY: 65,559 bytes, 1,681 nodes", 10, relays,
        "…      Node 1680: IPv4 192.168.0.1:33445 pubkey=" + keyHex +
            "\n    Total TCP relays: 1681 node(s)\n");
}

// Each renderer within a save whose first section is intact, so that nothing is hidden.
void TestSaveFile::renderers()
{
    QFETCH(int, type);
    QFETCH(QByteArray, payload);
    QFETCH(QString, lines);
    const QByteArray file = toxSave({nospamKeysSection(), toxSection(quint16(type), payload)});
    const QString report = parseSaveData(file, kPath).report;
    const QString header = QStringLiteral("\nSection 1: type=%1 (%2), cookie=0x01ce, length=%3\n")
                               .arg(type)
                               .arg(sectionTypeName(quint16(type)))
                               .arg(payload.size());
    const int start = report.indexOf(header);
    QVERIFY(start > 0);
    const QString section = report.mid(start + header.size()).chopped(endLines(2).size());
    if (lines.startsWith(QChar(0x2026)))
        QVERIFY2(section.endsWith(lines.mid(1)), qPrintable(section.right(300)));
    else
        QCOMPARE(section, lines);

    // The public renderer of the type prints the same lines on its own.
    using Renderer = void (*)(ByteReader, quint32, QString &);
    const std::map<int, Renderer> renderer = {
        {1, renderNospamKeysSection},  {2, renderDhtSection},           {3, renderFriendsSection},
        {4, renderNameSection},        {5, renderStatusMessageSection}, {6, renderStatusSection},
        {10, renderTcpRelaySection},   {11, renderPathNodeSection},     {17, renderGroupsSection},
        {20, renderConferencesSection}};
    QString alone;
    renderer.at(type)(ByteReader(payload), quint32(payload.size()), alone);
    QCOMPARE(alone, section);
}

void TestSaveFile::secretKey_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("notices"); // the lines after the global header line
    QTest::addColumn<bool>("fixed");      // the report does not depend on bytes 52 to 83
    const QByteArray keys = nospamKeysSection();
    const QString none;
    const QString moved = QStringLiteral(
        "!!! Bytes %1 to %2 hold the secret key of the public key at bytes %3 to %4; they are "
        "read as zeros. !!!\n");
    const QString before = QStringLiteral(
        "!!! Bytes %1 to %2, up to the next section header, may hold parts of the secret key; "
        "they are read as zeros. !!!\n");
    const auto row = [](const char *name, const QByteArray &file, const QString &notices,
                        bool fixed) { QTest::newRow(name) << file << notices << fixed; };
    row("intact NOSPAMKEYS first", toxSave({keys, kEnd}), none, false);
    row("intact NOSPAMKEYS first, odd cookie",
        toxSave({keys.left(6) + "\x34\x12" + keys.mid(8), kEnd}), none, false);
    row("type read as STATUSMESSAGE", toxSave({toxSection(5, keys.mid(8))}), kNotice, true);
    row("type read as FRIENDS", toxSave({toxSection(3, keys.mid(8))}), kNotice, true);
    row("length read as 64",
        toxSave({le32(64) + keys.mid(4, 4) + keys.mid(8, 64), le32(0) + le16(9) + le16(0)}),
        kNotice, true);
    row("length read as 69", toxSave({le32(69) + keys.mid(4) + 'x', kEnd}), kNotice, true);
    row("52 bytes: nothing to hide", toxSave({toxSection(5, counting(36))}), none, true);
    row("53 bytes: one byte hidden", toxSave({toxSection(5, counting(37))}), kNotice, true);
    row("8 bytes before the first section: the key moved by 8",
        toxSave({counting(8, 0x10) + keys, kEnd}),
        kNotice + moved.arg(60).arg(91).arg(28).arg(59) + before.arg(8).arg(15), false);
    row("8 bytes inside the secret key: its end before the next section header",
        toxSave({keys.left(52) + counting(8, 0x10) + keys.mid(52), kEnd}), before.arg(84).arg(91),
        false);
    row("8 bytes inside the public key: the secret key's end before the next section header",
        toxSave({keys.left(20) + counting(8, 0x10) + keys.mid(20), kEnd}), before.arg(84).arg(91),
        false);
    // Only the first 4,096 bytes are searched: a key ending at byte 4095 is found, one byte
    // further on it is not.
    const QByteArray pair = publicKeyOf(testSecretKey()) + QByteArray(100, 'p') + testSecretKey();
    const QByteArray pad(4096 - 8 - 8 - pair.size(), 'n');
    row("a key pair ending at byte 4095", toxSave({toxSection(4, pad + pair)}),
        kNotice + moved.arg(4064).arg(4095).arg(3932).arg(3963), true);
    row("a key pair ending at byte 4096", toxSave({toxSection(4, pad + 'n' + pair)}), kNotice,
        true);
}

// The notices after the global header line; no four bytes of the secret key in the report; and
// where the first section header is damaged and the key at its place, the report does not depend
// on bytes 52 to 83.
void TestSaveFile::secretKey()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, notices);
    QFETCH(bool, fixed);
    const QString report = parseSaveData(file, kPath).report;
    QVERIFY2(report.startsWith(head(file.size()) + notices + '\n'), qPrintable(report.left(600)));
    for (int i = 0; i + 4 <= secretKeySize; ++i)
        QVERIFY(!report.contains(QString::fromLatin1(testSecretKey().mid(i, 4).toHex()),
                                 Qt::CaseInsensitive));
    for (int i = 52; fixed && i < qMin(84, file.size()); ++i) {
        QByteArray changed = file;
        changed[i] = char(~changed.at(i));
        QCOMPARE(parseSaveData(changed, kPath).report, report);
    }
}

// Each check of a key pair costs a derivation: the keys of the first 64 NOSPAMKEYS sections are
// checked and shown, those of a crafted save's further ones are hidden.
void TestSaveFile::keyChecksOfOneSave()
{
    const QByteArray keys = nospamKeysSection();
    const QString report = parseSaveData(toxSave({keys.repeated(65)}), kPath).report;
    QCOMPARE(report.count(keyToHex(publicKeyOf(testSecretKey()))), 64);
    QCOMPARE(report.count("public_key: <hidden"), 1);
    QCOMPARE(report.indexOf("public_key: <hidden"), report.lastIndexOf("public_key: "));
}

// A crafted save cannot ask for a report longer than one string holds: the walk stops at 16 Mi
// characters, after a whole line, and says so before the end lines.
void TestSaveFile::reportLimit_data()
{
    QTest::addColumn<QByteArray>("section");
    QTest::addColumn<QString>("entry");     // how each of the many entries starts
    QTest::addColumn<int>("entries");       // how many the section holds
    QTest::addColumn<QString>("beforeCut"); // the report's text before the notice; %1 entries shown
    QByteArray relays;
    for (int i = 0; i < 200000; ++i)
        relays += packedNode(130, le32(quint32(i)), 443, i);
    QTest::newRow("TCP relay list") << toxSection(10, relays) << "      Node " << 200000
                                    << "    Total TCP relays: %1 node(s)\n";
    QTest::newRow("DHT sub-sections")
        << toxSection(2, le32(0x0159000D) + QByteArray(8 * 300000, '\0'))
        << "    Sub-section: " << 300000 << "type=0 (unknown, 0 bytes of data)\n";
}

void TestSaveFile::reportLimit()
{
    QFETCH(QByteArray, section);
    QFETCH(QString, entry);
    QFETCH(int, entries);
    QFETCH(QString, beforeCut);
    const ParseResult result = parseSaveData(toxSave({nospamKeysSection(), section, kEnd}), kPath);
    QVERIFY(result.success);
    const int cut = result.report.indexOf(QStringLiteral("\n!!! Report cut"));
    QVERIFY(cut >= 16 * 1024 * 1024 && cut < 16 * 1024 * 1024 + 200);
    const int shown = result.report.count(entry);
    QVERIFY(shown > 1000 && shown < entries);
    const QString tail = QStringLiteral(
        "\n!!! Report cut: it reached 16777216 characters, the most this program shows; the rest "
        "of the file was not decoded. !!!\n");
    QVERIFY(result.report.endsWith(beforeCut.replace("%1", QString::number(shown)) + tail +
                                   endLines(2)));
}

// Callers may pass more bytes than the helpers are to read: a key shows its 32 bytes, a node list
// the length it was given.
void TestSaveFile::helpersReadTheirLength()
{
    QCOMPARE(keyToHex(counting(33)), QString::fromLatin1(counting(32).toHex().toUpper()));
    QCOMPARE(keyToHex(counting(3)), QStringLiteral("000102"));
    const QByteArray node = packedNode(2, QByteArray::fromHex("7f000001"), 1, 0);
    QString report;
    appendPackedNodes(ByteReader(node + node), quint32(node.size()), false, "nodes", report);
    QCOMPARE(report, "      Node 0: IPv4 127.0.0.1:1 pubkey=" + keyToHex(counting(32)) +
                         "\n    Total nodes: 1 node(s)\n");
}

QTEST_GUILESS_MAIN(TestSaveFile)
#include "tst_savefile.moc"
