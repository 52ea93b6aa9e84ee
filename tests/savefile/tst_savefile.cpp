// Tests of the save-file decoder: container checks, the section walk, every section renderer,
// the packed-node printer, keyToHex and reading real files from disk.
#include "savefile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <fcntl.h>
#include <functional>
#include <future>
#include <limits>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{

const QString kPath = QStringLiteral("test.tox");

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray out;
    for (int v : values)
        out.append(static_cast<char>(v));
    return out;
}

QByteArray le16(quint16 v)
{
    return bytes({v & 0xFF, v >> 8});
}

QByteArray be16(quint16 v)
{
    return bytes({v >> 8, v & 0xFF});
}

QByteArray le32(quint32 v)
{
    return bytes({static_cast<int>(v & 0xFF), static_cast<int>((v >> 8) & 0xFF),
                  static_cast<int>((v >> 16) & 0xFF), static_cast<int>(v >> 24)});
}

// Bytes seed, seed + 1, ... (mod 256).
QByteArray counting(int count, int seed = 0)
{
    QByteArray out;
    for (int i = 0; i < count; ++i)
        out.append(static_cast<char>((seed + i) & 0xFF));
    return out;
}

QByteArray key(int seed)
{
    return counting(32, seed);
}

// Expected key text, formatted independently of the code under test.
QString hexKey(int seed)
{
    return QString::fromLatin1(key(seed).toHex().toUpper());
}

const QByteArray kContainer = bytes({0, 0, 0, 0, 0x1F, 0x1B, 0xED, 0x15});

QByteArray sectionHeader(quint32 length, quint16 type, quint16 cookie = 0x01CE)
{
    return le32(length) + le16(type) + le16(cookie);
}

QByteArray section(quint16 type, const QByteArray &payload, quint16 cookie = 0x01CE)
{
    return sectionHeader(static_cast<quint32>(payload.size()), type, cookie) + payload;
}

QByteArray saveFile(const QByteArrayList &sections)
{
    return kContainer + sections.join();
}

QByteArray node(int family, const QByteArray &address, quint16 port, int keySeed)
{
    return bytes({family}) + address + be16(port) + key(keySeed);
}

QByteArray ipv4Node(int a, int b, int c, int d, quint16 port, int keySeed, int family = 2)
{
    return node(family, bytes({a, b, c, d}), port, keySeed);
}

// 2001:0db8:0000:0000:0000:0000:0000:0001
const QByteArray kIpv6Address =
    bytes({0x20, 0x01, 0x0D, 0xB8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01});
const QString kIpv6Text = QStringLiteral("2001:0db8:0000:0000:0000:0000:0000:0001");

QByteArray ipv6Node(quint16 port, int keySeed, int family = 10)
{
    return node(family, kIpv6Address, port, keySeed);
}

QString nodeLine(int index, const QString &family, const QString &address, int port, int keySeed)
{
    return QStringLiteral("      Node %1: %2 %3:%4 pubkey=%5\n")
        .arg(index)
        .arg(family, address)
        .arg(port)
        .arg(hexKey(keySeed));
}

QString nodeError(int offset)
{
    return QStringLiteral("      [error parsing node at offset %1]\n").arg(offset);
}

QString total(const QString &label, int count)
{
    return QStringLiteral("    Total %1: %2 node(s)\n").arg(label).arg(count);
}

QString headLines(const QString &path, qint64 size, const QString &word0 = "00000000",
                  const QString &word1 = "15ed1b1f")
{
    return QStringLiteral("=== Tox Save File: %1 ===\nFile size: %2 bytes\n\n"
                          "Global header: [0x%3] [0x%4]\n")
        .arg(path, QString::number(size), word0, word1);
}

QString sectionLine(int index, int type, const QString &name, quint32 length,
                    const QString &cookie = "01ce")
{
    return QStringLiteral("\nSection %1: type=%2 (%3), cookie=0x%4, length=%5\n")
        .arg(index)
        .arg(type)
        .arg(name, cookie)
        .arg(length);
}

QString endLines(int count)
{
    return QStringLiteral("\n=== End of save file ===\nTotal sections: %1\n").arg(count);
}

const QString kEndMarker = QStringLiteral("  (end marker)\n");
const QString kEncryptedNotice =
    QStringLiteral("\n!!! This file appears to be ENCRYPTED (ToxEncrypt format) !!!\n"
                   "!!! Decrypt it first with toxencryptsave before parsing. !!!\n\n");
const QString kMagicError =
    QStringLiteral("Invalid Tox save file magic. Expected [0x00000000] [0x15ed1b1f]");

QByteArray dhtSubSection(quint16 type, const QByteArray &data, quint16 cookie = 0)
{
    return le32(static_cast<quint32>(data.size())) + le16(type) + le16(cookie) + data;
}

QByteArray dhtPayload(const QByteArray &subSections)
{
    return le32(0x0159000D) + subSections;
}

const QString kDhtHead = QStringLiteral("  [DHT Section]\n"
                                        "    DHT cookie: 0x0159000d (expected 0x0159000d)\n");

QString subLine(quint32 length, const QString &cookie, int type)
{
    return QStringLiteral("    Sub-section: length=%1, cookie=0x%2, type=%3")
        .arg(length)
        .arg(cookie)
        .arg(type);
}

const int kFriendSize = 2216;

// One friend record. The name area is filled with `name` and then 'Z' up to its 128 bytes, and
// the areas the decoder must not read hold filler, so that reading the wrong bytes shows.
QByteArray friendRecord(int status, int keySeed, quint16 infoSize, const QByteArray &name,
                        quint16 nameLength)
{
    QByteArray record(kFriendSize, '\x5A');
    record[0] = static_cast<char>(status);
    record.replace(1, 32, key(keySeed));
    record.replace(1058, 2, be16(infoSize));
    QByteArray nameArea = name.left(128);
    nameArea.append(QByteArray(128 - nameArea.size(), 'Z'));
    record.replace(1060, 128, nameArea);
    record.replace(1188, 2, be16(nameLength));
    return record;
}

QString friendLine(int index, int status, int keySeed, int infoSize)
{
    return QStringLiteral("    Friend %1: status=%2 pk=%3 info_size=%4")
        .arg(index)
        .arg(status)
        .arg(hexKey(keySeed))
        .arg(infoSize);
}

QString friendsUnexpected(quint32 length, const QByteArray &payload)
{
    QString out = QStringLiteral("  [FRIENDS Section] (%1 bytes)\n"
                                 "    (unexpected size - not a multiple of 2216; length=%1)\n"
                                 "    Raw hex dump of first 64 bytes:\n      ")
                      .arg(length);
    for (char c : payload.left(64))
        out += QString::fromLatin1(QByteArray(1, c).toHex()) + QLatin1Char(' ');
    return out + QLatin1Char('\n');
}

using Renderer = void (*)(ByteView, quint32, QString &);

// Runs a renderer on a report that already holds text and returns what it appended.
QString render(Renderer renderer, const QByteArray &payload)
{
    const QString before = QStringLiteral("previous line\n");
    QString report = before;
    renderer(ByteView(payload), static_cast<quint32>(payload.size()), report);
    if (!report.startsWith(before))
        return QStringLiteral("<renderer changed earlier report text>");
    return report.mid(before.size());
}

void checkFailure(const ParseResult &result, const QString &error, const QString &report)
{
    QCOMPARE(result.success, false);
    QCOMPARE(result.error, error);
    QCOMPARE(result.report, report);
}

void checkSuccess(const ParseResult &result, const QString &report)
{
    QCOMPARE(result.error, QString());
    QCOMPARE(result.report, report);
    QCOMPARE(result.success, true);
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    const bool ok = file.write(data) == data.size();
    file.close();
    return ok;
}

// Calls parseSaveFile on another thread so that a call that blocks fails the test instead of
// hanging it; `unblock` is run if the call has not returned in generous time.
bool parseWithoutHanging(const QString &path, ParseResult &result,
                         const std::function<void()> &unblock)
{
    auto promise = std::make_shared<std::promise<ParseResult>>();
    std::future<ParseResult> future = promise->get_future();
    std::thread([promise, path] { promise->set_value(parseSaveFile(path)); }).detach();
    if (future.wait_for(std::chrono::seconds(30)) == std::future_status::ready) {
        result = future.get();
        return true;
    }
    unblock();
    future.wait_for(std::chrono::seconds(5));
    return false;
}

} // namespace

class TestSaveFile : public QObject
{
    Q_OBJECT

private slots:
    void tooSmall_data();
    void tooSmall();
    void containerOnly_data();
    void containerOnly();
    void endOnlyFileExactText();
    void badMagic_data();
    void badMagic();
    void encrypted_data();
    void encrypted();
    void walk_data();
    void walk();
    void sectionTypes_data();
    void sectionTypes();
    void completeSave();

    void nospamKeys_data();
    void nospamKeys();
    void secretKeyNeverShown();
    void friends_data();
    void friends();
    void nameSection_data();
    void nameSection();
    void statusMessageSection_data();
    void statusMessageSection();
    void statusSection_data();
    void statusSection();
    void opaqueSections_data();
    void opaqueSections();

    void dhtSection_data();
    void dhtSection();
    void tcpRelaySection_data();
    void tcpRelaySection();
    void pathNodeSection_data();
    void pathNodeSection();
    void packedNodes_data();
    void packedNodes();
    void keyToHex_data();
    void keyToHex();
    void byteView();

    void roundTripOnDisk_data();
    void roundTripOnDisk();
    void pathPrintedAsPassed();
    void notRegularFile_data();
    void notRegularFile();
    void fifoDoesNotBlock();
    void tooLargeFile();
};

// ---- container and walk ----

void TestSaveFile::tooSmall_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("one byte") << bytes({0});
    QTest::newRow("7 bytes of the container") << kContainer.left(7);
    QTest::newRow("7 bytes of the encryption marker")
        << bytes({0x01, 0x1E, 0x81, 0xC0, 0xD6, 0x7B, 0xBA});
}

void TestSaveFile::tooSmall()
{
    QFETCH(QByteArray, file);
    checkFailure(parseSaveData(file, kPath),
                 QStringLiteral("File too small to be a valid Tox save file"), QString());
}

void TestSaveFile::containerOnly_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("8 bytes") << kContainer;
    for (int extra = 1; extra <= 7; ++extra) {
        QTest::addRow("8 + %d trailing bytes", extra) << kContainer + counting(extra, 0xF9);
    }
    QTest::newRow("8 + 7 bytes that look like an END header")
        << kContainer + sectionHeader(0, 255).left(7);
}

void TestSaveFile::containerOnly()
{
    QFETCH(QByteArray, file);
    checkSuccess(parseSaveData(file, kPath), headLines(kPath, file.size()) + endLines(0));
}

void TestSaveFile::endOnlyFileExactText()
{
    const QByteArray file =
        bytes({0, 0, 0, 0, 0x1F, 0x1B, 0xED, 0x15, 0, 0, 0, 0, 0xFF, 0, 0xCE, 0x01});
    const QString path = QStringLiteral("/home/user/.config/tox/alice.tox");
    checkSuccess(parseSaveData(file, path),
                 QStringLiteral("=== Tox Save File: /home/user/.config/tox/alice.tox ===\n"
                                "File size: 16 bytes\n"
                                "\n"
                                "Global header: [0x00000000] [0x15ed1b1f]\n"
                                "\n"
                                "Section 0: type=255 (END), cookie=0x01ce, length=0\n"
                                "  (end marker)\n"
                                "\n"
                                "=== End of save file ===\n"
                                "Total sections: 1\n"));
}

void TestSaveFile::badMagic_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("word0");
    QTest::addColumn<QString>("word1");
    const QByteArray end = sectionHeader(0, 255);
    QTest::newRow("first word 1") << le32(1) + le32(0x15ED1B1F) + end << "00000001"
                                  << "15ed1b1f";
    QTest::newRow("second word 0") << le32(0) + le32(0) + end << "00000000"
                                   << "00000000";
    QTest::newRow("global cookie big-endian")
        << le32(0) + bytes({0x15, 0xED, 0x1B, 0x1F}) + end << "00000000"
        << "1f1bed15";
    QTest::newRow("global cookie off by one") << le32(0) + le32(0x15ED1B1E) << "00000000"
                                              << "15ed1b1e";
    QTest::newRow("words swapped") << le32(0x15ED1B1F) + le32(0) + end << "15ed1b1f"
                                   << "00000000";
    QTest::newRow("toxEsave with one letter changed") << QByteArray("toxEsavf") + end << "45786f74"
                                                      << "66766173";
    QTest::newRow("encryption marker with last byte changed")
        << bytes({0x01, 0x1E, 0x81, 0xC0, 0xD6, 0x7B, 0xBA, 0x9F}) << "c0811e01"
        << "9fba7bd6";
    QTest::newRow("all ones") << QByteArray(8, '\xFF') << "ffffffff"
                              << "ffffffff";
}

void TestSaveFile::badMagic()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, word0);
    QFETCH(QString, word1);
    checkFailure(parseSaveData(file, kPath), kMagicError,
                 headLines(kPath, file.size(), word0, word1));
}

void TestSaveFile::encrypted_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("word0");
    QTest::addColumn<QString>("word1");
    const QByteArray marker = bytes({0x01, 0x1E, 0x81, 0xC0, 0xD6, 0x7B, 0xBA, 0x9E});
    const QByteArray toxEsave = bytes({0x74, 0x6F, 0x78, 0x45, 0x73, 0x61, 0x76, 0x65});
    QTest::newRow("marker alone") << marker << "c0811e01"
                                  << "9eba7bd6";
    QTest::newRow("marker and a valid-looking save")
        << marker + kContainer + section(255, QByteArray()) << "c0811e01"
        << "9eba7bd6";
    QTest::newRow("marker and noise") << marker + counting(300, 7) << "c0811e01"
                                      << "9eba7bd6";
    QTest::newRow("toxEsave alone") << toxEsave << "45786f74"
                                    << "65766173";
    QTest::newRow("toxEsave and noise") << toxEsave + counting(100, 3) << "45786f74"
                                        << "65766173";
}

void TestSaveFile::encrypted()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, word0);
    QFETCH(QString, word1);
    checkSuccess(parseSaveData(file, kPath),
                 headLines(kPath, file.size(), word0, word1) + kEncryptedNotice);
}

void TestSaveFile::walk_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("body");

    const QByteArray name = section(4, "Al");
    const QString nameText = QStringLiteral("  [NAME Section] (2 bytes): \"Al\"\n");

    QTest::newRow("bounds: length 5 in a 20-byte file")
        << saveFile({sectionHeader(5, 1) + counting(4)})
        << QStringLiteral(
               "\nError: Section 0 extends beyond file (offset=16, length=5, file_size=20)\n") +
               endLines(0);
    QTest::newRow("bounds: length 0xFFFFFFFF")
        << saveFile({sectionHeader(0xFFFFFFFF, 4)})
        << QStringLiteral("\nError: Section 0 extends beyond file (offset=16, "
                          "length=4294967295, file_size=16)\n") +
               endLines(0);
    QTest::newRow("bounds: length 0xFFFFFFF8 cannot wrap")
        << saveFile({sectionHeader(0xFFFFFFF8, 4) + counting(20)})
        << QStringLiteral("\nError: Section 0 extends beyond file (offset=16, "
                          "length=4294967288, file_size=36)\n") +
               endLines(0);
    const auto beyond = [](int index, qint64 payloadOffset, quint32 length, qint64 size) {
        return QStringLiteral("\nError: Section %1 extends beyond file (offset=%2, length=%3, "
                              "file_size=%4)\n")
            .arg(index)
            .arg(payloadOffset)
            .arg(length)
            .arg(size);
    };
    {
        const QByteArray file = saveFile({name, sectionHeader(100, 255)});
        QTest::newRow("bounds: END that runs past the file")
            << file
            << sectionLine(0, 4, "NAME", 2) + nameText + beyond(1, file.size(), 100, file.size()) +
                   endLines(1);
    }
    {
        const QByteArray file = saveFile({name, sectionHeader(3, 6) + bytes({1, 2})});
        QTest::newRow("bounds: one byte past the end")
            << file
            << sectionLine(0, 4, "NAME", 2) + nameText +
                   beyond(1, file.size() - 2, 3, file.size()) + endLines(1);
    }
    QTest::newRow("section ending exactly at the end of the file")
        << saveFile({name, section(6, bytes({1}))})
        << sectionLine(0, 4, "NAME", 2) + nameText + sectionLine(1, 6, "STATUS", 1) +
               QStringLiteral("  [STATUS Section] (1 bytes): away\n") + endLines(2);
    QTest::newRow("END in the middle")
        << saveFile({name, section(255, QByteArray()), section(6, bytes({2})), name})
        << sectionLine(0, 4, "NAME", 2) + nameText + sectionLine(1, 255, "END", 0) + kEndMarker +
               endLines(2);
    QTest::newRow("END with a payload and garbage after it")
        << saveFile({section(255, counting(5)), counting(3)})
        << sectionLine(0, 255, "END", 5) + kEndMarker + endLines(1);
    QTest::newRow("END with a wrong cookie")
        << saveFile({section(255, QByteArray(), 0x0000)})
        << sectionLine(0, 255, "END", 0, "0000") +
               QStringLiteral("  (unexpected cookie type - expected 0x01ce)\n") + kEndMarker +
               endLines(1);
    QTest::newRow("no END") << saveFile({name, name})
                            << sectionLine(0, 4, "NAME", 2) + nameText +
                                   sectionLine(1, 4, "NAME", 2) + nameText + endLines(2);
    QTest::newRow("no END, 7 bytes left over")
        << saveFile({name, sectionHeader(0, 255).left(7)})
        << sectionLine(0, 4, "NAME", 2) + nameText + endLines(1);
    QTest::newRow("no END, 1 byte left over")
        << saveFile({name, bytes({0xFF})}) << sectionLine(0, 4, "NAME", 2) + nameText + endLines(1);
    QTest::newRow("cookie 0x0000 warns, section still rendered")
        << saveFile({section(6, bytes({2}), 0x0000), section(255, QByteArray())})
        << sectionLine(0, 6, "STATUS", 1, "0000") +
               QStringLiteral("  (unexpected cookie type - expected 0x01ce)\n"
                              "  [STATUS Section] (1 bytes): busy\n") +
               sectionLine(1, 255, "END", 0) + kEndMarker + endLines(2);
    QTest::newRow("cookie 0xffff")
        << saveFile({section(4, "Al", 0xFFFF)})
        << sectionLine(0, 4, "NAME", 2, "ffff") +
               QStringLiteral("  (unexpected cookie type - expected 0x01ce)\n") + nameText +
               endLines(1);
    QTest::newRow("cookie byte-swapped 0xce01")
        << saveFile({section(4, "Al", 0xCE01)})
        << sectionLine(0, 4, "NAME", 2, "ce01") +
               QStringLiteral("  (unexpected cookie type - expected 0x01ce)\n") + nameText +
               endLines(1);
    for (int type : {0, 8, 9, 12, 19, 21, 254, 256, 0x01FF, 65535}) {
        QTest::addRow("unknown type %d", type)
            << saveFile(
                   {section(static_cast<quint16>(type), counting(3)), section(255, QByteArray())})
            << sectionLine(0, type, "UNKNOWN", 3) + QStringLiteral("  (3 unknown bytes)\n") +
                   sectionLine(1, 255, "END", 0) + kEndMarker + endLines(2);
    }
    QTest::newRow("unknown type of length 0")
        << saveFile({section(9, QByteArray())})
        << sectionLine(0, 9, "UNKNOWN", 0) + QStringLiteral("  (0 unknown bytes)\n") + endLines(1);
    QTest::newRow("zero-length sections are walked past")
        << saveFile({section(4, QByteArray()), section(5, QByteArray()), section(6, "\x01")})
        << sectionLine(0, 4, "NAME", 0) + QStringLiteral("  [NAME Section] (0 bytes): \"\"\n") +
               sectionLine(1, 5, "STATUSMESSAGE", 0) +
               QStringLiteral("  [STATUSMESSAGE Section] (0 bytes): \"\"\n") +
               sectionLine(2, 6, "STATUS", 1) +
               QStringLiteral("  [STATUS Section] (1 bytes): away\n") + endLines(3);
}

void TestSaveFile::walk()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, body);
    checkSuccess(parseSaveData(file, kPath), headLines(kPath, file.size()) + body);
}

// Every named type reaches its own renderer: a zero-length section of each type.
void TestSaveFile::sectionTypes_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("lines");
    QTest::newRow("1 NOSPAMKEYS") << 1 << "NOSPAMKEYS"
                                  << "  [NOSPAMKEYS Section] (0 bytes)\n    (too short)\n";
    QTest::newRow("2 DHT") << 2 << "DHT"
                           << "  [DHT Section]\n    (too short: 0 bytes)\n";
    QTest::newRow("3 FRIENDS") << 3 << "FRIENDS" << friendsUnexpected(0, QByteArray());
    QTest::newRow("4 NAME") << 4 << "NAME"
                            << "  [NAME Section] (0 bytes): \"\"\n";
    QTest::newRow("5 STATUSMESSAGE") << 5 << "STATUSMESSAGE"
                                     << "  [STATUSMESSAGE Section] (0 bytes): \"\"\n";
    QTest::newRow("6 STATUS") << 6 << "STATUS"
                              << "  [STATUS Section] (0 bytes): \n";
    QTest::newRow("7 GROUPS") << 7 << "GROUPS"
                              << "  (msgpack-encoded binary data, 0 bytes)\n";
    QTest::newRow("10 TCP_RELAY") << 10 << "TCP_RELAY"
                                  << "  [TCP_RELAY Section]\n    (empty)\n";
    QTest::newRow("11 PATH_NODE") << 11 << "PATH_NODE"
                                  << "  [PATH_NODE Section]\n    (empty)\n";
    QTest::newRow("20 CONFERENCES") << 20 << "CONFERENCES"
                                    << "  (conference data, 0 bytes)\n";
}

void TestSaveFile::sectionTypes()
{
    QFETCH(int, type);
    QFETCH(QString, name);
    QFETCH(QString, lines);
    const QByteArray file =
        saveFile({section(static_cast<quint16>(type), QByteArray()), section(255, QByteArray())});
    checkSuccess(parseSaveData(file, kPath),
                 headLines(kPath, file.size()) + sectionLine(0, type, name, 0) + lines +
                     sectionLine(1, 255, "END", 0) + kEndMarker + endLines(2));
}

// A save with every kind of section, checked line by line.
void TestSaveFile::completeSave()
{
    QByteArray nospamKeys = bytes({0xDE, 0xAD, 0xBE, 0xEF}) + key(0x10) + key(0x80);
    QByteArray dht =
        dhtPayload(dhtSubSection(4, ipv4Node(192, 168, 0, 1, 33445, 1) + ipv6Node(443, 2), 0x11CE));
    QByteArray friends = friendRecord(4, 0x40, 5, "Bob", 3) + friendRecord(1, 0x60, 0, "", 0);
    QByteArray tcp = ipv4Node(10, 0, 0, 7, 3389, 3, 130);
    QByteArray path = ipv6Node(33445, 4);
    const QByteArray file =
        saveFile({section(1, nospamKeys), section(2, dht), section(3, friends), section(4, "Alice"),
                  section(5, "Hi \"there\""), section(6, bytes({1})), section(7, counting(3)),
                  section(10, tcp), section(11, path), section(20, counting(2)),
                  section(255, QByteArray())});
    QString expected = headLines(kPath, file.size());
    expected +=
        sectionLine(0, 1, "NOSPAMKEYS", 68) + QStringLiteral("  [NOSPAMKEYS Section] (68 bytes)\n"
                                                             "    nospam: 0xdeadbeef (3735928559)\n"
                                                             "    public_key: %1\n"
                                                             "    secret_key: <hidden>\n")
                                                  .arg(hexKey(0x10));
    expected += sectionLine(1, 2, "DHT", 102) + kDhtHead + subLine(90, "11ce", 4) +
                " [DHT NODES]\n" + nodeLine(0, "IPv4", "192.168.0.1", 33445, 1) +
                nodeLine(1, "IPv6", kIpv6Text, 443, 2) + total("DHT nodes", 2);
    expected += sectionLine(2, 3, "FRIENDS", 4432) +
                QStringLiteral("  [FRIENDS Section] (4432 bytes)\n    Number of friends: 2\n") +
                friendLine(0, 4, 0x40, 5) + " name=\"Bob\"\n" + friendLine(1, 1, 0x60, 0) + "\n";
    expected += sectionLine(3, 4, "NAME", 5) + "  [NAME Section] (5 bytes): \"Alice\"\n";
    expected += sectionLine(4, 5, "STATUSMESSAGE", 10) +
                "  [STATUSMESSAGE Section] (10 bytes): \"Hi \"there\"\"\n";
    expected += sectionLine(5, 6, "STATUS", 1) + "  [STATUS Section] (1 bytes): away\n";
    expected += sectionLine(6, 7, "GROUPS", 3) + "  (msgpack-encoded binary data, 3 bytes)\n";
    expected += sectionLine(7, 10, "TCP_RELAY", 39) + "  [TCP_RELAY Section]\n" +
                nodeLine(0, "TCP_IPv4", "10.0.0.7", 3389, 3) + total("TCP relays", 1);
    expected += sectionLine(8, 11, "PATH_NODE", 51) + "  [PATH_NODE Section]\n" +
                nodeLine(0, "IPv6", kIpv6Text, 33445, 4) + total("path nodes", 1);
    expected += sectionLine(9, 20, "CONFERENCES", 2) + "  (conference data, 2 bytes)\n";
    expected += sectionLine(10, 255, "END", 0) + kEndMarker + endLines(11);
    checkSuccess(parseSaveData(file, kPath), expected);
}

// ---- account sections ----

void TestSaveFile::nospamKeys_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");
    const QString full = QStringLiteral("  [NOSPAMKEYS Section] (%1 bytes)\n"
                                        "    nospam: 0x%2 (%3)\n"
                                        "    public_key: %4\n"
                                        "    secret_key: <hidden>\n");
    QTest::newRow("empty") << QByteArray() << "  [NOSPAMKEYS Section] (0 bytes)\n    (too short)\n";
    QTest::newRow("67 bytes") << counting(67)
                              << "  [NOSPAMKEYS Section] (67 bytes)\n    (too short)\n";
    QTest::newRow("68 bytes, nospam 01 02 03 04 read big-endian")
        << bytes({1, 2, 3, 4}) + key(0) + key(0x70)
        << full.arg(68).arg("01020304").arg(16909060).arg(hexKey(0));
    QTest::newRow("bytes after 68 change nothing")
        << bytes({1, 2, 3, 4}) + key(0) + key(0x70) + counting(40, 0xC0)
        << full.arg(108).arg("01020304").arg(16909060).arg(hexKey(0));
    QTest::newRow("nospam zero") << QByteArray(4, '\0') + key(0xE0) + key(1)
                                 << full.arg(68).arg("00000000").arg(0).arg(hexKey(0xE0));
    QTest::newRow("nospam all ones")
        << QByteArray(4, '\xFF') + key(5) + key(1)
        << full.arg(68).arg("ffffffff").arg(QStringLiteral("4294967295")).arg(hexKey(5));
    QTest::newRow("nospam high bit only in first byte")
        << bytes({0x80, 0, 0, 0}) + key(5) + key(1)
        << full.arg(68).arg("80000000").arg(QStringLiteral("2147483648")).arg(hexKey(5));
    QTest::newRow("nospam small value fills with zeros")
        << bytes({0, 0, 0, 0x0A}) + key(5) + key(1)
        << full.arg(68).arg("0000000a").arg(10).arg(hexKey(5));
}

void TestSaveFile::nospamKeys()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    QCOMPARE(render(renderNospamKeysSection, payload), expected);
}

void TestSaveFile::secretKeyNeverShown()
{
    const QByteArray head = bytes({9, 8, 7, 6}) + key(0x20);
    const QByteArray secretA = key(0xA0);
    const QByteArray secretB = QByteArray(32, '\0');
    const QString a = render(renderNospamKeysSection, head + secretA);
    const QString b = render(renderNospamKeysSection, head + secretB);
    QCOMPARE(a, b);
    QVERIFY(!a.contains(QString::fromLatin1(secretA.toHex()), Qt::CaseInsensitive));

    // Through the whole walk as well.
    const QByteArray fileA = saveFile({section(1, head + secretA), section(255, QByteArray())});
    const QByteArray fileB = saveFile({section(1, head + secretB), section(255, QByteArray())});
    const ParseResult ra = parseSaveData(fileA, kPath);
    QVERIFY(ra.success);
    QCOMPARE(ra.report, parseSaveData(fileB, kPath).report);
    QVERIFY(!ra.report.contains(QString::fromLatin1(secretA.toHex()), Qt::CaseInsensitive));
    QVERIFY(ra.report.contains(QStringLiteral("    secret_key: <hidden>\n")));
}

void TestSaveFile::friends_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");
    const auto title = [](int length, int count) {
        return QStringLiteral("  [FRIENDS Section] (%1 bytes)\n    Number of friends: %2\n")
            .arg(length)
            .arg(count);
    };

    QTest::newRow("empty") << QByteArray()
                           << QStringLiteral("  [FRIENDS Section] (0 bytes)\n"
                                             "    (unexpected size - not a multiple of 2216; "
                                             "length=0)\n"
                                             "    Raw hex dump of first 64 bytes:\n"
                                             "      \n");
    QTest::newRow("3 bytes 0a ff 00")
        << bytes({0x0A, 0xFF, 0x00})
        << QStringLiteral("  [FRIENDS Section] (3 bytes)\n"
                          "    (unexpected size - not a multiple of 2216; length=3)\n"
                          "    Raw hex dump of first 64 bytes:\n"
                          "      0a ff 00 \n");
    QTest::newRow("100 bytes dump 64")
        << counting(100, 0x90) << friendsUnexpected(100, counting(64, 0x90));
    QTest::newRow("64 bytes") << counting(64, 1) << friendsUnexpected(64, counting(64, 1));
    const QByteArray one = friendRecord(0, 1, 0, "", 0);
    QTest::newRow("2215 bytes") << one.left(2215) << friendsUnexpected(2215, one);
    QTest::newRow("2217 bytes") << one + bytes({0}) << friendsUnexpected(2217, one);
    QTest::newRow("one and a half records") << one + one.left(1108) << friendsUnexpected(3324, one);

    for (int status : {0, 1, 2}) {
        QTest::addRow("status %d has no name", status)
            << friendRecord(status, 0x33, 7, "Carol", 5)
            << title(2216, 1) + friendLine(0, status, 0x33, 7) + "\n";
    }
    for (int status : {3, 4, 255}) {
        QTest::addRow("status %d has a name", status)
            << friendRecord(status, 0x33, 7, "Carol", 5)
            << title(2216, 1) + friendLine(0, status, 0x33, 7) + " name=\"Carol\"\n";
    }
    QTest::newRow("two friends numbered 0 and 1")
        << friendRecord(3, 0x01, 0, "Ann", 3) + friendRecord(2, 0xF0, 2, "Ben", 3)
        << title(4432, 2) + friendLine(0, 3, 0x01, 0) + " name=\"Ann\"\n" +
               friendLine(1, 2, 0xF0, 2) + "\n";
    QTest::newRow("three friends")
        << friendRecord(1, 1, 0, "", 0) + friendRecord(1, 2, 0, "", 0) +
               friendRecord(4, 3, 1, "x", 1)
        << title(6648, 3) + friendLine(0, 1, 1, 0) + "\n" + friendLine(1, 1, 2, 0) + "\n" +
               friendLine(2, 4, 3, 1) + " name=\"x\"\n";
    QTest::newRow("sizes are big-endian")
        << friendRecord(4, 9, 0x0102, "Alice", 0x0005)
        << title(2216, 1) + friendLine(0, 4, 9, 258) + " name=\"Alice\"\n";
    QTest::newRow("info size 65535")
        << friendRecord(3, 9, 0xFFFF, "A", 1)
        << title(2216, 1) + friendLine(0, 3, 9, 65535) + " name=\"A\"\n";
    QTest::newRow("name length 0") << friendRecord(3, 9, 0, "Dave", 0)
                                   << title(2216, 1) + friendLine(0, 3, 9, 0) + " name=\"\"\n";
    const QByteArray longName = QByteArray(64, 'a') + QByteArray(64, 'b');
    QTest::newRow("name length 128") << friendRecord(3, 9, 0, longName, 128)
                                     << title(2216, 1) + friendLine(0, 3, 9, 0) + " name=\"" +
                                            QString::fromLatin1(longName) + "\"\n";
    QTest::newRow("name length 300 cut to 128")
        << friendRecord(3, 9, 0, longName, 300)
        << title(2216, 1) + friendLine(0, 3, 9, 0) + " name=\"" + QString::fromLatin1(longName) +
               "\"\n";
    QTest::newRow("name length 0xffff cut to 128")
        << friendRecord(3, 9, 0, longName, 0xFFFF)
        << title(2216, 1) + friendLine(0, 3, 9, 0) + " name=\"" + QString::fromLatin1(longName) +
               "\"\n";
    const QByteArray utf8 = QByteArray("Zo\xC3\xAB \xE2\x9C\x93");
    QTest::newRow("UTF-8 name") << friendRecord(4, 9, 0, utf8, static_cast<quint16>(utf8.size()))
                                << title(2216, 1) + friendLine(0, 4, 9, 0) + " name=\"" +
                                       QString::fromUtf8(utf8) + "\"\n";
    const QByteArray cut = QByteArray("Zo\xC3");
    QTest::newRow("UTF-8 name cut inside a character")
        << friendRecord(4, 9, 0, cut, 3)
        << title(2216, 1) + friendLine(0, 4, 9, 0) + " name=\"" +
               QString::fromUtf8(cut.constData(), 3) + "\"\n";
    QTest::newRow("invalid UTF-8 byte")
        << friendRecord(4, 9, 0, "A\xFF", 2)
        << title(2216, 1) + friendLine(0, 4, 9, 0) + " name=\"A" + QChar(0xFFFD) + "\"\n";
    QTest::newRow("quote in the name is printed bare")
        << friendRecord(3, 9, 0, "a\"b", 3)
        << title(2216, 1) + friendLine(0, 3, 9, 0) + " name=\"a\"b\"\n";
    QTest::newRow("placeholders in the name are printed as they are")
        << friendRecord(3, 9, 0, "%1%2", 4)
        << title(2216, 1) + friendLine(0, 3, 9, 0) + " name=\"%1%2\"\n";
    QTest::newRow("zero byte inside the counted name")
        << friendRecord(3, 9, 0, QByteArray("A\0B", 3), 3)
        << title(2216, 1) + friendLine(0, 3, 9, 0) + " name=\"A" + QChar(0) + "B\"\n";
}

void TestSaveFile::friends()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    QCOMPARE(render(renderFriendsSection, payload), expected);
}

void TestSaveFile::nameSection_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("quoted");
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("Alice") << bytes({0x41, 0x6C, 0x69, 0x63, 0x65}) << "Alice";
    QTest::newRow("UTF-8 bytes escaped one by one") << bytes({0xC3, 0xA9}) << "\\xc3\\xa9";
    QTest::newRow("tab") << bytes({'a', 0x09, 'b'}) << "a\\x09b";
    QTest::newRow("quote and backslash bare") << QByteArray("\"x\\y\"") << "\"x\\y\"";
    QTest::newRow("printable limits 0x20 and 0x7e") << bytes({0x20, 0x7E}) << " ~";
    QTest::newRow("just outside 0x1f and 0x7f") << bytes({0x1F, 0x7F}) << "\\x1f\\x7f";
    QTest::newRow("zero and 0xff") << bytes({0x00, 0xFF, 0x80}) << "\\x00\\xff\\x80";
    QTest::newRow("newline") << bytes({'A', 0x0A}) << "A\\x0a";
    QTest::newRow("percent and placeholders kept") << QByteArray("%1 %2") << "%1 %2";
    QTest::newRow("128 bytes all printed")
        << QByteArray(127, 'n') + "E" << QString(127, QLatin1Char('n')) + "E";
    QTest::newRow("129 bytes cut to 128")
        << QByteArray(128, 'n') + "X" << QString(128, QLatin1Char('n'));
    QTest::newRow("300 bytes cut to 128")
        << QByteArray(128, 'q') + QByteArray(172, 'r') << QString(128, QLatin1Char('q'));
    QTest::newRow("escapes count as one byte each")
        << QByteArray(127, 'm') + bytes({0x01, 0x02}) << QString(127, QLatin1Char('m')) + "\\x01";
}

void TestSaveFile::nameSection()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, quoted);
    QCOMPARE(render(renderNameSection, payload),
             QStringLiteral("  [NAME Section] (%1 bytes): \"").arg(payload.size()) + quoted +
                 "\"\n");
}

void TestSaveFile::statusMessageSection_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("quoted");
    QTest::newRow("empty") << QByteArray() << "";
    QTest::newRow("plain") << QByteArray("Out for lunch") << "Out for lunch";
    QTest::newRow("escapes") << bytes({'o', 'k', 0x0D, 0x0A, 0xE2, 0x9C, 0x93})
                             << "ok\\x0d\\x0a\\xe2\\x9c\\x93";
    QTest::newRow("129 bytes all printed")
        << QByteArray(129, 's') << QString(129, QLatin1Char('s'));
    QTest::newRow("200 bytes all printed")
        << QByteArray(199, 's') + "E" << QString(199, QLatin1Char('s')) + "E";
    QTest::newRow("201 bytes cut to 200")
        << QByteArray(200, 's') + "X" << QString(200, QLatin1Char('s'));
    QTest::newRow("250 printable bytes cut to 200")
        << QByteArray(200, 'p') + QByteArray(50, 'x') << QString(200, QLatin1Char('p'));
}

void TestSaveFile::statusMessageSection()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, quoted);
    QCOMPARE(render(renderStatusMessageSection, payload),
             QStringLiteral("  [STATUSMESSAGE Section] (%1 bytes): \"").arg(payload.size()) +
                 quoted + "\"\n");
}

void TestSaveFile::statusSection_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << QByteArray() << "  [STATUS Section] (0 bytes): \n";
    QTest::newRow("00 online") << bytes({0}) << "  [STATUS Section] (1 bytes): online\n";
    QTest::newRow("01 away") << bytes({1}) << "  [STATUS Section] (1 bytes): away\n";
    QTest::newRow("02 busy") << bytes({2}) << "  [STATUS Section] (1 bytes): busy\n";
    QTest::newRow("03 unknown") << bytes({3}) << "  [STATUS Section] (1 bytes): unknown (3)\n";
    QTest::newRow("07 unknown") << bytes({7}) << "  [STATUS Section] (1 bytes): unknown (7)\n";
    QTest::newRow("ff unknown") << bytes({0xFF}) << "  [STATUS Section] (1 bytes): unknown (255)\n";
    QTest::newRow("further bytes ignored")
        << bytes({1, 2, 3}) << "  [STATUS Section] (3 bytes): away\n";
}

void TestSaveFile::statusSection()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    QCOMPARE(render(renderStatusSection, payload), expected);
}

void TestSaveFile::opaqueSections_data()
{
    QTest::addColumn<bool>("groups");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");
    QTest::newRow("GROUPS 1234") << true << counting(1234)
                                 << "  (msgpack-encoded binary data, 1234 bytes)\n";
    QTest::newRow("GROUPS 0") << true << QByteArray()
                              << "  (msgpack-encoded binary data, 0 bytes)\n";
    QTest::newRow("CONFERENCES 0") << false << QByteArray() << "  (conference data, 0 bytes)\n";
    QTest::newRow("CONFERENCES 70000")
        << false << counting(70000) << "  (conference data, 70000 bytes)\n";
}

void TestSaveFile::opaqueSections()
{
    QFETCH(bool, groups);
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    QCOMPARE(render(groups ? renderGroupsSection : renderConferencesSection, payload), expected);
}

// ---- node lists ----

void TestSaveFile::dhtSection_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");

    const QByteArray cookie = le32(0x0159000D);
    for (int length = 0; length <= 3; ++length) {
        QTest::addRow("too short: %d bytes", length)
            << cookie.left(length)
            << QStringLiteral("  [DHT Section]\n    (too short: %1 bytes)\n").arg(length);
    }
    QTest::newRow("cookie only") << cookie << kDhtHead;
    QTest::newRow("zero cookie") << QByteArray(4, '\0') + dhtSubSection(4, QByteArray())
                                 << QStringLiteral("  [DHT Section]\n"
                                                   "    DHT cookie: 0x00000000 (expected "
                                                   "0x0159000d)\n"
                                                   "    (invalid DHT cookie - skipping)\n");
    QTest::newRow("cookie stored big-endian")
        << bytes({0x01, 0x59, 0x00, 0x0D})
        << QStringLiteral("  [DHT Section]\n"
                          "    DHT cookie: 0x0d005901 (expected 0x0159000d)\n"
                          "    (invalid DHT cookie - skipping)\n");

    const QByteArray v4 = ipv4Node(0xC0, 0xA8, 0x00, 0x01, 0x82A5, 0x11);
    const QString v4Line = nodeLine(0, "IPv4", "192.168.0.1", 33445, 0x11);
    QTest::newRow("one IPv4 node")
        << dhtPayload(dhtSubSection(4, v4))
        << kDhtHead + subLine(39, "0000", 4) + " [DHT NODES]\n" + v4Line + total("DHT nodes", 1);
    QTest::newRow("IPv4 and IPv6 nodes")
        << dhtPayload(dhtSubSection(4, v4 + ipv6Node(33445, 0x22)))
        << kDhtHead + subLine(90, "0000", 4) + " [DHT NODES]\n" + v4Line +
               nodeLine(1, "IPv6", kIpv6Text, 33445, 0x22) + total("DHT nodes", 2);
    QTest::newRow("empty nodes sub-section") << dhtPayload(dhtSubSection(4, QByteArray()))
                                             << kDhtHead + subLine(0, "0000", 4) + " (empty)\n";
    QTest::newRow("unknown type 1 of 10 bytes, walk goes on 18 bytes")
        << dhtPayload(dhtSubSection(1, counting(10, 2)) + dhtSubSection(4, v4))
        << kDhtHead + subLine(10, "0000", 1) + " (unknown, 10 bytes of data)\n" +
               subLine(39, "0000", 4) + " [DHT NODES]\n" + v4Line + total("DHT nodes", 1);
    QTest::newRow("unknown sub-section holding node-like data")
        << dhtPayload(dhtSubSection(2, v4))
        << kDhtHead + subLine(39, "0000", 2) + " (unknown, 39 bytes of data)\n";
    QTest::newRow("type with high byte set is not 4")
        << dhtPayload(dhtSubSection(0x0104, v4))
        << kDhtHead + subLine(39, "0000", 260) + " (unknown, 39 bytes of data)\n";
    QTest::newRow("unknown empty sub-section")
        << dhtPayload(dhtSubSection(0, QByteArray()))
        << kDhtHead + subLine(0, "0000", 0) + " (unknown, 0 bytes of data)\n";
    QTest::newRow("sub-section cookie 0xffff") << dhtPayload(dhtSubSection(4, QByteArray(), 0xFFFF))
                                               << kDhtHead + subLine(0, "ffff", 4) + " (empty)\n";
    QTest::newRow("sub-section cookie 0x11ce") << dhtPayload(dhtSubSection(4, QByteArray(), 0x11CE))
                                               << kDhtHead + subLine(0, "11ce", 4) + " (empty)\n";
    QTest::newRow("sub-section cookie 0x000a") << dhtPayload(dhtSubSection(4, QByteArray(), 0x000A))
                                               << kDhtHead + subLine(0, "000a", 4) + " (empty)\n";
    QTest::newRow("sub-section one byte longer than the section")
        << dhtPayload(le32(40) + le16(4) + le16(0) + v4)
        << kDhtHead + subLine(40, "0000", 4) + " (extends beyond section!)\n";
    QTest::newRow("second sub-section beyond the section")
        << dhtPayload(dhtSubSection(4, QByteArray()) + le32(5) + le16(1) + le16(0) + counting(4))
        << kDhtHead + subLine(0, "0000", 4) + " (empty)\n" + subLine(5, "0000", 1) +
               " (extends beyond section!)\n";
    QTest::newRow("sub-section length 0xffffffff")
        << dhtPayload(le32(0xFFFFFFFF) + le16(4) + le16(0) + v4)
        << kDhtHead + subLine(0xFFFFFFFF, "0000", 4) + " (extends beyond section!)\n";
    QTest::newRow("sub-section length 0xfffffff8")
        << dhtPayload(le32(0xFFFFFFF8) + le16(1) + le16(0) + v4)
        << kDhtHead + subLine(0xFFFFFFF8, "0000", 1) + " (extends beyond section!)\n";
    QTest::newRow("1 trailing byte ignored")
        << dhtPayload(dhtSubSection(4, v4) + bytes({4}))
        << kDhtHead + subLine(39, "0000", 4) + " [DHT NODES]\n" + v4Line + total("DHT nodes", 1);
    QTest::newRow("7 trailing bytes ignored")
        << dhtPayload(dhtSubSection(4, v4) + le32(0) + le16(4) + bytes({0}))
        << kDhtHead + subLine(39, "0000", 4) + " [DHT NODES]\n" + v4Line + total("DHT nodes", 1);
    QTest::newRow("TCP family refused, next sub-section still walked")
        << dhtPayload(dhtSubSection(4, ipv4Node(1, 2, 3, 4, 5, 6, 130)) +
                      dhtSubSection(4, QByteArray()))
        << kDhtHead + subLine(39, "0000", 4) + " [DHT NODES]\n" + nodeError(0) +
               total("DHT nodes", 0) + subLine(0, "0000", 4) + " (empty)\n";
    QTest::newRow("TCP_IPv6 family refused")
        << dhtPayload(dhtSubSection(4, ipv6Node(1, 6, 138)))
        << kDhtHead + subLine(51, "0000", 4) + " [DHT NODES]\n" + nodeError(0) +
               total("DHT nodes", 0);
    QTest::newRow("bad second node")
        << dhtPayload(dhtSubSection(4, v4 + ipv4Node(1, 1, 1, 1, 1, 1, 6) + v4))
        << kDhtHead + subLine(117, "0000", 4) + " [DHT NODES]\n" + v4Line + nodeError(39) +
               total("DHT nodes", 1);

    // A nodes sub-section past 65,535 bytes is listed in full.
    QByteArray many;
    QString manyLines;
    for (int i = 0; i < 1681; ++i) {
        many += ipv4Node(10, i >> 8, i & 0xFF, 1, static_cast<quint16>(i), i);
        manyLines +=
            nodeLine(i, "IPv4", QStringLiteral("10.%1.%2.1").arg(i >> 8).arg(i & 0xFF), i, i);
    }
    QTest::newRow("1681 nodes, 65559 bytes")
        << dhtPayload(dhtSubSection(4, many))
        << kDhtHead + subLine(65559, "0000", 4) + " [DHT NODES]\n" + manyLines +
               total("DHT nodes", 1681);
}

void TestSaveFile::dhtSection()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    QCOMPARE(render(renderDhtSection, payload), expected);
}

void TestSaveFile::tcpRelaySection_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");
    const QString title = QStringLiteral("  [TCP_RELAY Section]\n");
    QTest::newRow("empty") << QByteArray() << title + "    (empty)\n";
    QTest::newRow("one IPv4 node")
        << ipv4Node(192, 168, 0, 1, 33445, 7)
        << title + nodeLine(0, "IPv4", "192.168.0.1", 33445, 7) + total("TCP relays", 1);
    QTest::newRow("TCP_IPv4 accepted")
        << ipv4Node(1, 2, 3, 4, 443, 7, 130)
        << title + nodeLine(0, "TCP_IPv4", "1.2.3.4", 443, 7) + total("TCP relays", 1);
    QTest::newRow("TCP_IPv6 accepted")
        << ipv6Node(3389, 8, 138)
        << title + nodeLine(0, "TCP_IPv6", kIpv6Text, 3389, 8) + total("TCP relays", 1);
    QTest::newRow("all four families mixed")
        << ipv4Node(1, 1, 1, 1, 1, 1) + ipv6Node(2, 2) + ipv4Node(3, 3, 3, 3, 3, 3, 130) +
               ipv6Node(4, 4, 138)
        << title + nodeLine(0, "IPv4", "1.1.1.1", 1, 1) + nodeLine(1, "IPv6", kIpv6Text, 2, 2) +
               nodeLine(2, "TCP_IPv4", "3.3.3.3", 3, 3) + nodeLine(3, "TCP_IPv6", kIpv6Text, 4, 4) +
               total("TCP relays", 4);
    for (int family : {0, 6, 0x12, 0x80, 0x81, 0x0B}) {
        QTest::addRow("family 0x%02x refused", family)
            << ipv4Node(1, 1, 1, 1, 1, 1, family) << title + nodeError(0) + total("TCP relays", 0);
    }
    QTest::newRow("node cut short")
        << ipv4Node(1, 1, 1, 1, 1, 1).left(38) << title + nodeError(0) + total("TCP relays", 0);

    // 65,536 bytes: 1680 IPv4 nodes (65,520 bytes) and 16 bytes that are no node.
    QByteArray list;
    QString lines;
    for (int i = 0; i < 1680; ++i) {
        list += ipv4Node(172, 16, i >> 8, i & 0xFF, 33445, i);
        lines +=
            nodeLine(i, "IPv4", QStringLiteral("172.16.%1.%2").arg(i >> 8).arg(i & 0xFF), 33445, i);
    }
    QTest::newRow("65536 bytes: 1680 nodes and 16 more bytes")
        << list + ipv4Node(9, 9, 9, 9, 9, 9).left(16)
        << title + lines + nodeError(65520) + total("TCP relays", 1680);
    const QByteArray last = ipv6Node(65535, 0xEE, 138);
    QTest::newRow("65571 bytes: 1680 IPv4 nodes and one TCP_IPv6 node")
        << list + last
        << title + lines + nodeLine(1680, "TCP_IPv6", kIpv6Text, 65535, 0xEE) +
               total("TCP relays", 1681);
}

void TestSaveFile::tcpRelaySection()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    QCOMPARE(render(renderTcpRelaySection, payload), expected);
}

void TestSaveFile::pathNodeSection_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");
    const QString title = QStringLiteral("  [PATH_NODE Section]\n");
    QTest::newRow("empty") << QByteArray() << title + "    (empty)\n";
    QTest::newRow("one IPv4 node")
        << ipv4Node(8, 8, 4, 4, 53, 3)
        << title + nodeLine(0, "IPv4", "8.8.4.4", 53, 3) + total("path nodes", 1);
    QTest::newRow("one IPv6 node")
        << ipv6Node(33445, 3)
        << title + nodeLine(0, "IPv6", kIpv6Text, 33445, 3) + total("path nodes", 1);
    QTest::newRow("TCP_IPv4 refused")
        << ipv4Node(1, 2, 3, 4, 443, 7, 130) << title + nodeError(0) + total("path nodes", 0);
    QTest::newRow("TCP_IPv6 refused after one node")
        << ipv4Node(8, 8, 4, 4, 53, 3) + ipv6Node(1, 1, 138)
        << title + nodeLine(0, "IPv4", "8.8.4.4", 53, 3) + nodeError(39) + total("path nodes", 1);
    QTest::newRow("single byte") << bytes({2}) << title + nodeError(0) + total("path nodes", 0);
}

void TestSaveFile::pathNodeSection()
{
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    QCOMPARE(render(renderPathNodeSection, payload), expected);
}

void TestSaveFile::packedNodes_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("length");
    QTest::addColumn<bool>("tcpAllowed");
    QTest::addColumn<QString>("expected");
    const auto row = [](const char *name, const QByteArray &data, bool tcp,
                        const QString &expected) {
        QTest::newRow(name) << data << static_cast<uint>(data.size()) << tcp << expected;
    };
    const QString label = QStringLiteral("list");

    row("empty list", QByteArray(), true, total(label, 0));
    row("IPv4 192.168.0.1:33445", ipv4Node(0xC0, 0xA8, 0x00, 0x01, 33445, 0x30), false,
        nodeLine(0, "IPv4", "192.168.0.1", 33445, 0x30) + total(label, 1));
    row("IPv4 without zero fill", ipv4Node(10, 0, 0, 7, 0, 0x30), false,
        nodeLine(0, "IPv4", "10.0.0.7", 0, 0x30) + total(label, 1));
    row("IPv4 high bytes are unsigned", ipv4Node(255, 255, 128, 200, 65535, 0x30), false,
        nodeLine(0, "IPv4", "255.255.128.200", 65535, 0x30) + total(label, 1));
    row("IPv6 eight full groups", ipv6Node(33445, 0x40), false,
        nodeLine(0, "IPv6", kIpv6Text, 33445, 0x40) + total(label, 1));
    row("IPv6 all zero", node(10, QByteArray(16, '\0'), 1, 0x40), false,
        nodeLine(0, "IPv6", "0000:0000:0000:0000:0000:0000:0000:0000", 1, 0x40) + total(label, 1));
    row("IPv6 lowercase hex digits",
        node(10,
             bytes({0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0xAB, 0xCD, 0x0E, 0xF0, 0x12, 0x34, 0xFF, 0xFF}),
             8080, 0x40),
        false,
        nodeLine(0, "IPv6", "fe80:0000:0000:0000:abcd:0ef0:1234:ffff", 8080, 0x40) +
            total(label, 1));
    row("port is big-endian", ipv4Node(1, 2, 3, 4, 0x0102, 0), false,
        nodeLine(0, "IPv4", "1.2.3.4", 258, 0) + total(label, 1));
    row("TCP_IPv4 allowed", ipv4Node(1, 2, 3, 4, 443, 1, 130), true,
        nodeLine(0, "TCP_IPv4", "1.2.3.4", 443, 1) + total(label, 1));
    row("TCP_IPv4 not allowed", ipv4Node(1, 2, 3, 4, 443, 1, 130), false,
        nodeError(0) + total(label, 0));
    row("TCP_IPv6 allowed", ipv6Node(443, 1, 138), true,
        nodeLine(0, "TCP_IPv6", kIpv6Text, 443, 1) + total(label, 1));
    row("TCP_IPv6 not allowed", ipv6Node(443, 1, 138), false, nodeError(0) + total(label, 0));
    for (int family : {0, 6, 0x12}) {
        for (bool tcp : {false, true}) {
            const QByteArray name = QStringLiteral("family 0x%1, tcp %2")
                                        .arg(family, 2, 16, QLatin1Char('0'))
                                        .arg(tcp ? "allowed" : "not allowed")
                                        .toLatin1();
            row(name.constData(), ipv4Node(1, 1, 1, 1, 1, 1, family), tcp,
                nodeError(0) + total(label, 0));
        }
    }
    const QByteArray v4 = ipv4Node(1, 2, 3, 4, 5, 6);
    const QString v4Line = nodeLine(0, "IPv4", "1.2.3.4", 5, 6);
    row("node and one more byte (2)", v4 + bytes({2}), false,
        v4Line + nodeError(39) + total(label, 1));
    row("node and one more byte (0)", v4 + bytes({0}), false,
        v4Line + nodeError(39) + total(label, 1));
    row("IPv4 node one byte short", v4.left(38), false, nodeError(0) + total(label, 0));
    row("IPv6 family with 50 bytes", ipv6Node(1, 1).left(50), false,
        nodeError(0) + total(label, 0));
    row("IPv6 family with 39 bytes", ipv6Node(1, 1).left(39), false,
        nodeError(0) + total(label, 0));
    row("IPv6 node cut short after an IPv4 node", v4 + ipv6Node(1, 1).left(50), true,
        v4Line + nodeError(39) + total(label, 1));
    row("error stops the list", v4 + ipv4Node(1, 1, 1, 1, 1, 1, 0) + v4, false,
        v4Line + nodeError(39) + total(label, 1));
    row("error offset after an IPv6 node", ipv6Node(1, 1) + bytes({0x42}), false,
        nodeLine(0, "IPv6", kIpv6Text, 1, 1) + nodeError(51) + total(label, 1));

    QTest::newRow("length shorter than the data")
        << v4 + v4 << 39u << false << v4Line + total(label, 1);
    QTest::newRow("length cuts the second node")
        << v4 + v4 << 40u << false << v4Line + nodeError(39) + total(label, 1);
}

void TestSaveFile::packedNodes()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, length);
    QFETCH(bool, tcpAllowed);
    QFETCH(QString, expected);
    QString report = QStringLiteral("before\n");
    appendPackedNodes(ByteView(data), length, tcpAllowed, QStringLiteral("list"), report);
    QCOMPARE(report, QStringLiteral("before\n") + expected);
}

void TestSaveFile::keyToHex_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QString>("hex");
    QTest::newRow("00 to 1f") << key(0)
                              << "000102030405060708090A0B0C0D0E0F"
                                 "101112131415161718191A1B1C1D1E1F";
    QTest::newRow("all zero") << QByteArray(32, '\0') << QString(64, QLatin1Char('0'));
    QTest::newRow("all ff") << QByteArray(32, '\xFF') << QString(64, QLatin1Char('F'));
    QTest::newRow("uppercase letters") << QByteArray(32, '\xAB') << QString("AB").repeated(32);
    QTest::newRow("longer view gives the first 32 bytes")
        << key(0xE0) + bytes({0x11, 0x22}) << hexKey(0xE0);
    QTest::newRow("shorter view gives what it has") << bytes({0x0A, 0xBC, 0x01}) << "0ABC01";
    QTest::newRow("empty view") << QByteArray() << "";
}

void TestSaveFile::keyToHex()
{
    QFETCH(QByteArray, key);
    QFETCH(QString, hex);
    QCOMPARE(::keyToHex(ByteView(key)), hex);
}

void TestSaveFile::byteView()
{
    const QByteArray data = bytes({0x01, 0x02, 0x03, 0x04, 0xFF});
    const ByteView view(data);
    QCOMPARE(view.size(), 5u);
    QCOMPARE(view.u8(4), quint8(0xFF));
    QCOMPARE(view.u16le(0), quint16(0x0201));
    QCOMPARE(view.u16be(0), quint16(0x0102));
    QCOMPARE(view.u32le(0), quint32(0x04030201));
    QCOMPARE(view.u32be(1), quint32(0x020304FF));
    QVERIFY(view.has(0, 5));
    QVERIFY(view.has(5, 0));
    QVERIFY(!view.has(5, 1));
    QVERIFY(!view.has(6, 0));
    QVERIFY(!view.has(1, std::numeric_limits<quint64>::max()));
    // Reads past the end give 0 instead of touching memory outside the view.
    QCOMPARE(view.u32le(2), 0u);
    QCOMPARE(view.u8(5), quint8(0));
    QCOMPARE(view.u16be(std::numeric_limits<quint64>::max()), quint16(0));
    const ByteView tail = view.mid(3, 100);
    QCOMPARE(tail.size(), 2u);
    QCOMPARE(tail.u16be(0), quint16(0x04FF));
    QCOMPARE(view.mid(9, 1).size(), 0u);
}

// ---- files on disk ----

void TestSaveFile::roundTripOnDisk_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("complete save")
        << saveFile({section(1, bytes({1, 2, 3, 4}) + key(1) + key(2)), section(4, "Alice"),
                     section(10, ipv4Node(1, 2, 3, 4, 5, 6)), section(255, QByteArray())});
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("bad magic") << QByteArray("not a save file at all");
    QTest::newRow("encrypted") << QByteArray("toxEsave") + counting(200);
    QTest::newRow("section beyond the end") << saveFile({sectionHeader(5, 1) + counting(4)});
    QTest::newRow("binary noise after the container") << kContainer + counting(1000, 0x55);
}

void TestSaveFile::roundTripOnDisk()
{
    QFETCH(QByteArray, file);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("save.tox"));
    QVERIFY(writeFile(path, file));
    const ParseResult fromDisk = parseSaveFile(path);
    const ParseResult fromMemory = parseSaveData(file, path);
    QCOMPARE(fromDisk.report, fromMemory.report);
    QCOMPARE(fromDisk.success, fromMemory.success);
    QCOMPARE(fromDisk.error, fromMemory.error);
    QCOMPARE(fromDisk.success, fromDisk.error.isEmpty());
    if (fromDisk.success)
        QVERIFY(
            fromDisk.report.startsWith(QStringLiteral("=== Tox Save File: %1 ===\n").arg(path)));
}

void TestSaveFile::pathPrintedAsPassed()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    const QByteArray file = saveFile({section(255, QByteArray())});
    QVERIFY(writeFile(dir.filePath(QStringLiteral("my save \u00FC %1.tox")), file));
    const QString unusual = dir.path() + QStringLiteral("/./sub/../my save \u00FC %1.tox");
    const ParseResult result = parseSaveFile(unusual);
    checkSuccess(result,
                 headLines(unusual, 16) + sectionLine(0, 255, "END", 0) + kEndMarker + endLines(1));

    const QString missing = dir.path() + QStringLiteral("/./missing %1.tox");
    checkFailure(parseSaveFile(missing), QStringLiteral("Could not open '%1'").arg(missing),
                 QString());
}

void TestSaveFile::notRegularFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("directory") << "directory";
    QTest::newRow("symbolic link to a directory") << "link to directory";
    QTest::newRow("/dev/null") << "/dev/null";
    QTest::newRow("unix socket") << "socket";
    QTest::newRow("nonexistent") << "nonexistent";
    QTest::newRow("dangling symbolic link") << "dangling link";
}

void TestSaveFile::notRegularFile()
{
    QFETCH(QString, kind);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path;
    int socketFd = -1;
    if (kind == "directory") {
        path = dir.filePath("folder.tox");
        QVERIFY(QDir(dir.path()).mkdir("folder.tox"));
    } else if (kind == "link to directory") {
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        path = dir.filePath("link.tox");
        QVERIFY(QFile::link(dir.filePath("folder"), path));
    } else if (kind == "/dev/null") {
        path = QStringLiteral("/dev/null");
    } else if (kind == "socket") {
        path = dir.filePath("sock.tox");
        socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(socketFd >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        const QByteArray native = QFile::encodeName(path);
        QVERIFY(static_cast<size_t>(native.size()) < sizeof(address.sun_path));
        qstrncpy(address.sun_path, native.constData(), sizeof(address.sun_path));
        QCOMPARE(::bind(socketFd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        QCOMPARE(::listen(socketFd, 1), 0);
    } else if (kind == "nonexistent") {
        path = dir.filePath("nothing here.tox");
    } else {
        path = dir.filePath("dangling.tox");
        QVERIFY(QFile::link(dir.filePath("gone"), path));
    }
    const ParseResult result = parseSaveFile(path);
    if (socketFd >= 0)
        ::close(socketFd);
    checkFailure(result, QStringLiteral("Could not open '%1'").arg(path), QString());
}

void TestSaveFile::fifoDoesNotBlock()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("pipe.tox"));
    const QByteArray native = QFile::encodeName(path);
    QCOMPARE(::mkfifo(native.constData(), 0600), 0);
    ParseResult result;
    const bool returned = parseWithoutHanging(path, result, [native] {
        // A reader blocked in open() or read() is released by a writer that opens and closes.
        const int fd = ::open(native.constData(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0)
            ::close(fd);
    });
    QVERIFY2(returned, "parseSaveFile blocked on a FIFO without a writer");
    checkFailure(result, QStringLiteral("Could not open '%1'").arg(path), QString());
}

void TestSaveFile::tooLargeFile()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("huge.tox"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write(kContainer) == kContainer.size());
        // Sparse: the file occupies next to no disk space.
        QVERIFY(file.resize(3LL << 30));
    }
    checkFailure(parseSaveFile(path),
                 QStringLiteral("Could not open '%1': file too large (3221225472 bytes)").arg(path),
                 QString());
}

QTEST_GUILESS_MAIN(TestSaveFile)
#include "tst_savefile.moc"
