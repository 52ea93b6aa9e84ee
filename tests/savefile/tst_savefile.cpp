// Tests of the save-file decoder: container checks, the section walk, every section renderer,
// the packed-node printer, keyToHex and reading real files from disk.
#include "savefile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <chrono>
#include <fcntl.h>
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

// Only printed in the title line: parseSaveData never opens it.
const QString kPath = QStringLiteral("/home/user/.config/tox/alice.tox");

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
    return le16(static_cast<quint16>(v & 0xFFFF)) + le16(static_cast<quint16>(v >> 16));
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
const QByteArray kEnd = QByteArray::fromHex("00000000ff00ce01");
const QByteArray kMarker = bytes({0x01, 0x1E, 0x81, 0xC0, 0xD6, 0x7B, 0xBA, 0x9E});

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

// The title, size and header lines; `words` holds the two header words as printed.
QString headLines(const QString &path, qint64 size, const QString &words = "00000000 15ed1b1f")
{
    return QStringLiteral("=== Tox Save File: %1 ===\nFile size: %2 bytes\n\n"
                          "Global header: [0x%3] [0x%4]\n")
        .arg(path, QString::number(size), words.left(8), words.mid(9));
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

// An END section of length 0 at `index`, and the end lines that follow it.
QString endSection(int index)
{
    return sectionLine(index, 255, "END", 0) + QStringLiteral("  (end marker)\n") +
           endLines(index + 1);
}

QString beyond(int index, qint64 payloadOffset, quint32 length, qint64 size)
{
    return QStringLiteral("\nError: Section %1 extends beyond file (offset=%2, length=%3, "
                          "file_size=%4)\n")
        .arg(index)
        .arg(payloadOffset)
        .arg(length)
        .arg(size);
}

const QString kEndMarker = QStringLiteral("  (end marker)\n");
const QString kCookieWarning = QStringLiteral("  (unexpected cookie type - expected 0x01ce)\n");
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

// One friend record. The name area is filled with `name` and then 'Z' up to its 128 bytes, and
// the areas the decoder must not read hold filler, so that reading the wrong bytes shows.
QByteArray friendRecord(int status, int keySeed, quint16 infoSize, const QByteArray &name,
                        quint16 nameLength)
{
    QByteArray record(2216, '\x5A');
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

// The section types that have a renderer, with the name the walk prints for them.
struct SectionKind {
    int type;
    const char *name;
    Renderer renderer;
};
const SectionKind kKinds[] = {
    {1, "NOSPAMKEYS", renderNospamKeysSection},
    {2, "DHT", renderDhtSection},
    {3, "FRIENDS", renderFriendsSection},
    {4, "NAME", renderNameSection},
    {5, "STATUSMESSAGE", renderStatusMessageSection},
    {6, "STATUS", renderStatusSection},
    {7, "GROUPS", renderGroupsSection},
    {10, "TCP_RELAY", renderTcpRelaySection},
    {11, "PATH_NODE", renderPathNodeSection},
    {20, "CONFERENCES", renderConferencesSection},
};

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

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// Calls parseSaveFile on another thread so that a call that blocks fails the test instead of
// hanging it. A reader blocked on a FIFO is released by a writer that opens and closes it.
bool parseWithoutHanging(const QString &path, ParseResult &result)
{
    auto promise = std::make_shared<std::promise<ParseResult>>();
    std::future<ParseResult> future = promise->get_future();
    std::thread([promise, path] { promise->set_value(parseSaveFile(path)); }).detach();
    if (future.wait_for(std::chrono::seconds(30)) == std::future_status::ready) {
        result = future.get();
        return true;
    }
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0)
        ::close(fd);
    future.wait_for(std::chrono::seconds(5));
    return false;
}

} // namespace

class TestSaveFile : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void secretKeyNeverShown();
    void reportLimit_data();
    void reportLimit();
    void sections_data();
    void sections();
    void packedNodes_data();
    void packedNodes();
    void keyToHex_data();
    void keyToHex();
    void byteView();
    void roundTripOnDisk_data();
    void roundTripOnDisk();
    void cannotOpen_data();
    void cannotOpen();
};

// ---- container and walk: whole files decoded in memory ----

void TestSaveFile::parse_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("report");
    const auto row = [](const QString &name, const QByteArray &file, const QString &error,
                        const QString &report) {
        QTest::newRow(qPrintable(name)) << file << error << report;
    };
    // A finished report: the head lines of a valid container, then `body`.
    const auto ok = [&row](const QString &name, const QByteArray &file, const QString &body) {
        row(name, file, QString(), headLines(kPath, file.size()) + body);
    };
    const auto magic = [&row](const QString &name, const QByteArray &file, const QString &words) {
        row("magic: " + name, file, kMagicError, headLines(kPath, file.size(), words));
    };
    const auto encrypted = [&row](const QString &name, const QByteArray &file,
                                  const QString &words) {
        row("encrypted: " + name, file, QString(),
            headLines(kPath, file.size(), words) + kEncryptedNotice);
    };

    const QString tooSmall = QStringLiteral("File too small to be a valid Tox save file");
    row("too small: empty", QByteArray(), tooSmall, QString());
    row("too small: one byte", bytes({0}), tooSmall, QString());
    row("too small: 7 bytes of the container", kContainer.left(7), tooSmall, QString());
    row("too small: 7 bytes of the encryption marker", kMarker.left(7), tooSmall, QString());

    ok("container: 8 bytes", kContainer, endLines(0));
    for (int extra = 1; extra <= 7; ++extra) {
        ok(QStringLiteral("container: 8 + %1 trailing bytes").arg(extra),
           kContainer + counting(extra, 0xF9), endLines(0));
    }
    ok("container: 8 + 7 bytes that look like an END header",
       kContainer + sectionHeader(0, 255).left(7), endLines(0));

    row("END only: exact text",
        bytes({0, 0, 0, 0, 0x1F, 0x1B, 0xED, 0x15, 0, 0, 0, 0, 0xFF, 0, 0xCE, 0x01}), QString(),
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

    const QByteArray end = sectionHeader(0, 255);
    magic("first word 1", le32(1) + le32(0x15ED1B1F) + end, "00000001 15ed1b1f");
    magic("second word 0", le32(0) + le32(0) + end, "00000000 00000000");
    magic("global cookie big-endian", le32(0) + bytes({0x15, 0xED, 0x1B, 0x1F}) + end,
          "00000000 1f1bed15");
    magic("global cookie off by one", le32(0) + le32(0x15ED1B1E), "00000000 15ed1b1e");
    magic("words swapped", le32(0x15ED1B1F) + le32(0) + end, "15ed1b1f 00000000");
    magic("toxEsave with one letter changed", QByteArray("toxEsavf") + end, "45786f74 66766173");
    magic("encryption marker with last byte changed", kMarker.left(7) + bytes({0x9F}),
          "c0811e01 9fba7bd6");
    magic("all ones", QByteArray(8, '\xFF'), "ffffffff ffffffff");

    const QByteArray toxEsave = bytes({0x74, 0x6F, 0x78, 0x45, 0x73, 0x61, 0x76, 0x65});
    encrypted("marker alone", kMarker, "c0811e01 9eba7bd6");
    encrypted("marker and a valid-looking save", kMarker + kContainer + kEnd, "c0811e01 9eba7bd6");
    encrypted("marker and noise", kMarker + counting(300, 7), "c0811e01 9eba7bd6");
    encrypted("toxEsave alone", toxEsave, "45786f74 65766173");
    encrypted("toxEsave and noise", toxEsave + counting(100, 3), "45786f74 65766173");

    const QByteArray name = section(4, "Al");
    const QString nameLines =
        sectionLine(0, 4, "NAME", 2) + QStringLiteral("  [NAME Section] (2 bytes): \"Al\"\n");
    ok("bounds: length 5 in a 20-byte file", saveFile({sectionHeader(5, 1) + counting(4)}),
       beyond(0, 16, 5, 20) + endLines(0));
    ok("bounds: length 0xFFFFFFFF", saveFile({sectionHeader(0xFFFFFFFF, 4)}),
       beyond(0, 16, 0xFFFFFFFF, 16) + endLines(0));
    ok("bounds: length 0xFFFFFFF8 cannot wrap",
       saveFile({sectionHeader(0xFFFFFFF8, 4) + counting(20)}),
       beyond(0, 16, 0xFFFFFFF8, 36) + endLines(0));
    ok("bounds: END that runs past the file", saveFile({name, sectionHeader(100, 255)}),
       nameLines + beyond(1, 26, 100, 26) + endLines(1));
    ok("bounds: one byte past the end", saveFile({name, sectionHeader(3, 6) + bytes({1, 2})}),
       nameLines + beyond(1, 26, 3, 28) + endLines(1));
    ok("section ending exactly at the end of the file", saveFile({name, section(6, bytes({1}))}),
       nameLines + sectionLine(1, 6, "STATUS", 1) + "  [STATUS Section] (1 bytes): away\n" +
           endLines(2));
    ok("END in the middle", saveFile({name, kEnd, section(6, bytes({2})), name}),
       nameLines + endSection(1));
    ok("END with a payload and garbage after it",
       saveFile({section(255, counting(5)), counting(3)}),
       sectionLine(0, 255, "END", 5) + kEndMarker + endLines(1));
    ok("END with a wrong cookie", saveFile({section(255, QByteArray(), 0x0000)}),
       sectionLine(0, 255, "END", 0, "0000") + kCookieWarning + kEndMarker + endLines(1));
    ok("no END", saveFile({name, name}),
       nameLines + sectionLine(1, 4, "NAME", 2) + "  [NAME Section] (2 bytes): \"Al\"\n" +
           endLines(2));
    ok("no END, 7 bytes left over", saveFile({name, sectionHeader(0, 255).left(7)}),
       nameLines + endLines(1));
    ok("no END, 1 byte left over", saveFile({name, bytes({0xFF})}), nameLines + endLines(1));
    ok("cookie 0x0000 warns, section still rendered",
       saveFile({section(6, bytes({2}), 0x0000), kEnd}),
       sectionLine(0, 6, "STATUS", 1, "0000") + kCookieWarning +
           "  [STATUS Section] (1 bytes): busy\n" + endSection(1));
    for (quint16 cookie : {0xFFFF, 0xCE01}) {
        const QString text = QStringLiteral("%1").arg(cookie, 4, 16, QLatin1Char('0'));
        ok("cookie 0x" + text, saveFile({section(4, "Al", cookie)}),
           sectionLine(0, 4, "NAME", 2, text) + kCookieWarning +
               "  [NAME Section] (2 bytes): \"Al\"\n" + endLines(1));
    }
    for (int type : {0, 8, 9, 12, 19, 21, 254, 256, 0x01FF, 65535}) {
        ok(QStringLiteral("unknown type %1").arg(type),
           saveFile({section(static_cast<quint16>(type), counting(3)), kEnd}),
           sectionLine(0, type, "UNKNOWN", 3) + "  (3 unknown bytes)\n" + endSection(1));
    }
    ok("unknown type of length 0", saveFile({section(9, QByteArray())}),
       sectionLine(0, 9, "UNKNOWN", 0) + "  (0 unknown bytes)\n" + endLines(1));
    ok("zero-length sections are walked past",
       saveFile({section(4, QByteArray()), section(5, QByteArray()), section(6, "\x01")}),
       sectionLine(0, 4, "NAME", 0) + "  [NAME Section] (0 bytes): \"\"\n" +
           sectionLine(1, 5, "STATUSMESSAGE", 0) + "  [STATUSMESSAGE Section] (0 bytes): \"\"\n" +
           sectionLine(2, 6, "STATUS", 1) + "  [STATUS Section] (1 bytes): away\n" + endLines(3));

    // A save with every kind of section, checked line by line.
    const QByteArray file = saveFile(
        {section(1, bytes({0xDE, 0xAD, 0xBE, 0xEF}) + key(0x10) + key(0x80)),
         section(2, dhtPayload(dhtSubSection(
                        4, ipv4Node(192, 168, 0, 1, 33445, 1) + ipv6Node(443, 2), 0x11CE))),
         section(3, friendRecord(4, 0x40, 5, "Bob", 3) + friendRecord(1, 0x60, 0, "", 0)),
         section(4, "Alice"), section(5, "Hi \"there\""), section(6, bytes({1})),
         section(7, counting(3)), section(10, ipv4Node(10, 0, 0, 7, 3389, 3, 130)),
         section(11, ipv6Node(33445, 4)), section(20, counting(2)), kEnd});
    ok("complete save", file,
       sectionLine(0, 1, "NOSPAMKEYS", 68) +
           QStringLiteral("  [NOSPAMKEYS Section] (68 bytes)\n"
                          "    nospam: 0xdeadbeef (3735928559)\n"
                          "    public_key: %1\n"
                          "    secret_key: <hidden>\n")
               .arg(hexKey(0x10)) +
           sectionLine(1, 2, "DHT", 102) + kDhtHead + subLine(90, "11ce", 4) + " [DHT NODES]\n" +
           nodeLine(0, "IPv4", "192.168.0.1", 33445, 1) + nodeLine(1, "IPv6", kIpv6Text, 443, 2) +
           total("DHT nodes", 2) + sectionLine(2, 3, "FRIENDS", 4432) +
           "  [FRIENDS Section] (4432 bytes)\n    Number of friends: 2\n" +
           friendLine(0, 4, 0x40, 5) + " name=\"Bob\"\n" + friendLine(1, 1, 0x60, 0) + "\n" +
           sectionLine(3, 4, "NAME", 5) + "  [NAME Section] (5 bytes): \"Alice\"\n" +
           sectionLine(4, 5, "STATUSMESSAGE", 10) +
           "  [STATUSMESSAGE Section] (10 bytes): \"Hi \"there\"\"\n" +
           sectionLine(5, 6, "STATUS", 1) + "  [STATUS Section] (1 bytes): away\n" +
           sectionLine(6, 7, "GROUPS", 3) + "  (msgpack-encoded binary data, 3 bytes)\n" +
           sectionLine(7, 10, "TCP_RELAY", 39) + "  [TCP_RELAY Section]\n" +
           nodeLine(0, "TCP_IPv4", "10.0.0.7", 3389, 3) + total("TCP relays", 1) +
           sectionLine(8, 11, "PATH_NODE", 51) + "  [PATH_NODE Section]\n" +
           nodeLine(0, "IPv6", kIpv6Text, 33445, 4) + total("path nodes", 1) +
           sectionLine(9, 20, "CONFERENCES", 2) + "  (conference data, 2 bytes)\n" +
           endSection(10));
}

void TestSaveFile::parse()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, error);
    QFETCH(QString, report);
    const ParseResult result = parseSaveData(file, kPath);
    QCOMPARE(result.error, error);
    QCOMPARE(result.report, report);
    QCOMPARE(result.success, error.isEmpty());
}

// The secret key changes nothing in the report and never shows, on its own or through the walk.
// A crafted save can make a report far longer than one string holds (a line of 60 or more
// characters for every 8 bytes). The report stops at 16 Mi characters with a notice and the end
// lines; what comes before the notice is the ordinary rendering.
void TestSaveFile::reportLimit_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("lastLineBeforeNotice");
    QTest::addColumn<int>("totalSections");

    constexpr int unknownSections = 300000; // about 24 Mi characters of report
    QByteArray many;
    many.reserve(unknownSections * 8);
    for (int i = 0; i < unknownSections; ++i)
        many += sectionHeader(0, 9);
    // Each section gives 2 lines of 62 + 20 characters or so; the cut comes after a whole section.
    const int listed = [] {
        int chars = 0;
        int count = 0;
        const QString head = headLines(kPath, 8 + unknownSections * 8);
        chars = head.size();
        while (chars < 16 * 1024 * 1024) {
            chars += QStringLiteral("\nSection %1: type=9 (UNKNOWN), cookie=0x01ce, length=0\n")
                         .arg(count)
                         .size() +
                     QStringLiteral("  (0 unknown bytes)\n").size();
            ++count;
        }
        return count;
    }();
    QTest::newRow("empty sections of an unknown type")
        << saveFile({many}) << QStringLiteral("  (0 unknown bytes)") << listed;

    constexpr int relays = 200000; // about 23 Mi characters of node lines
    QByteArray nodes;
    nodes.reserve(relays * 39);
    for (int i = 0; i < relays; ++i)
        nodes += ipv4Node(10, 0, i / 256 % 256, i % 256, 443, i % 200, 130);
    QTest::newRow("TCP relay list")
        << saveFile({section(10, nodes), kEnd}) << QStringLiteral("TCP relays") << 1;

    constexpr int subSections = 300000;
    QByteArray dht;
    dht.reserve(subSections * 8);
    for (int i = 0; i < subSections; ++i)
        dht += dhtSubSection(1, QByteArray());
    QTest::newRow("DHT sub-sections")
        << saveFile({section(2, dhtPayload(dht)), kEnd})
        << QStringLiteral(
               "    Sub-section: length=0, cookie=0x0000, type=1 (unknown, 0 bytes of data)")
        << 1;
}

void TestSaveFile::reportLimit()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, lastLineBeforeNotice);
    QFETCH(int, totalSections);

    const ParseResult result = parseSaveData(file, kPath);
    QVERIFY(result.success);
    QVERIFY(result.error.isEmpty());
    const QString notice = QStringLiteral(
        "\n!!! Report cut: it reached 16777216 characters, the most this program shows; the rest "
        "of the file was not decoded. !!!\n");
    const QString end =
        QStringLiteral("\n=== End of save file ===\nTotal sections: %1\n").arg(totalSections);
    QVERIFY(result.report.endsWith(notice + end));
    const QString beforeNotice =
        result.report.left(result.report.size() - notice.size() - end.size());
    QVERIFY(beforeNotice.size() >= 16 * 1024 * 1024);
    QVERIFY(beforeNotice.size() < 16 * 1024 * 1024 + 200);
    const QString lastLine = beforeNotice.section(QLatin1Char('\n'), -2, -2);
    QVERIFY2(lastLine.contains(lastLineBeforeNotice), qPrintable(lastLine));
    QVERIFY(!result.report.contains(QStringLiteral("(end marker)")));
}

void TestSaveFile::secretKeyNeverShown()
{
    const QByteArray head = bytes({9, 8, 7, 6}) + key(0x20);
    const QByteArray secret = key(0xA0);
    const QByteArray zeroSecret(32, '\0');
    const QString rendered = render(renderNospamKeysSection, head + secret);
    QCOMPARE(rendered, render(renderNospamKeysSection, head + zeroSecret));
    const auto parse = [&head](const QByteArray &secretKey) {
        return parseSaveData(saveFile({section(1, head + secretKey), kEnd}), kPath);
    };
    const ParseResult result = parse(secret);
    QVERIFY(result.success);
    QCOMPARE(result.report, parse(zeroSecret).report);
    for (const QString &text : {rendered, result.report}) {
        QVERIFY(!text.contains(QString::fromLatin1(secret.toHex()), Qt::CaseInsensitive));
        QVERIFY(text.contains(QStringLiteral("    secret_key: <hidden>\n")));
    }
}

// ---- section renderers, each called on a payload of its own ----

void TestSaveFile::sections_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<QString>("expected");
    // Rows of the renderer of the section named `kind`, each named "<kind>: <case>".
    const auto rows = [](const QString &kind) {
        return [=](const QString &name, const QByteArray &payload, const QString &expected) {
            QTest::newRow(qPrintable(kind + ": " + name)) << kind << payload << expected;
        };
    };

    const auto nospam = rows("NOSPAMKEYS");
    const QString full = QStringLiteral("  [NOSPAMKEYS Section] (%1 bytes)\n"
                                        "    nospam: 0x%2 (%3)\n"
                                        "    public_key: %4\n"
                                        "    secret_key: <hidden>\n");
    nospam("empty", QByteArray(), "  [NOSPAMKEYS Section] (0 bytes)\n    (too short)\n");
    nospam("67 bytes", counting(67), "  [NOSPAMKEYS Section] (67 bytes)\n    (too short)\n");
    nospam("68 bytes, nospam 01 02 03 04 read big-endian", bytes({1, 2, 3, 4}) + key(0) + key(0x70),
           full.arg(68).arg("01020304").arg(16909060).arg(hexKey(0)));
    nospam("bytes after 68 change nothing",
           bytes({1, 2, 3, 4}) + key(0) + key(0x70) + counting(40, 0xC0),
           full.arg(108).arg("01020304").arg(16909060).arg(hexKey(0)));
    nospam("nospam zero", QByteArray(4, '\0') + key(0xE0) + key(1),
           full.arg(68).arg("00000000").arg(0).arg(hexKey(0xE0)));
    nospam("nospam all ones", QByteArray(4, '\xFF') + key(5) + key(1),
           full.arg(68).arg("ffffffff").arg("4294967295").arg(hexKey(5)));
    nospam("nospam high bit only in first byte", bytes({0x80, 0, 0, 0}) + key(5) + key(1),
           full.arg(68).arg("80000000").arg("2147483648").arg(hexKey(5)));
    nospam("nospam small value fills with zeros", bytes({0, 0, 0, 0x0A}) + key(5) + key(1),
           full.arg(68).arg("0000000a").arg(10).arg(hexKey(5)));

    const auto friends = rows("FRIENDS");
    const auto title = [](int length, int count) {
        return QStringLiteral("  [FRIENDS Section] (%1 bytes)\n    Number of friends: %2\n")
            .arg(length)
            .arg(count);
    };
    friends("empty", QByteArray(),
            "  [FRIENDS Section] (0 bytes)\n"
            "    (unexpected size - not a multiple of 2216; length=0)\n"
            "    Raw hex dump of first 64 bytes:\n"
            "      \n");
    friends("3 bytes 0a ff 00", bytes({0x0A, 0xFF, 0x00}),
            "  [FRIENDS Section] (3 bytes)\n"
            "    (unexpected size - not a multiple of 2216; length=3)\n"
            "    Raw hex dump of first 64 bytes:\n"
            "      0a ff 00 \n");
    friends("100 bytes dump 64", counting(100, 0x90), friendsUnexpected(100, counting(64, 0x90)));
    friends("64 bytes", counting(64, 1), friendsUnexpected(64, counting(64, 1)));
    const QByteArray one = friendRecord(0, 1, 0, "", 0);
    friends("2215 bytes", one.left(2215), friendsUnexpected(2215, one));
    friends("2217 bytes", one + bytes({0}), friendsUnexpected(2217, one));
    friends("one and a half records", one + one.left(1108), friendsUnexpected(3324, one));
    // One record with key seed 9; `shown` is what follows the record's info size on its line.
    const auto single = [&](const QString &name, int status, quint16 infoSize,
                            const QByteArray &friendName, quint16 nameLength,
                            const QString &shown) {
        friends(name, friendRecord(status, 9, infoSize, friendName, nameLength),
                title(2216, 1) + friendLine(0, status, 9, infoSize) + shown + "\n");
    };
    for (int status : {0, 1, 2})
        single(QStringLiteral("status %1 has no name").arg(status), status, 7, "Carol", 5, "");
    for (int status : {3, 4, 255}) {
        single(QStringLiteral("status %1 has a name").arg(status), status, 7, "Carol", 5,
               " name=\"Carol\"");
    }
    friends("two friends numbered 0 and 1",
            friendRecord(3, 0x01, 0, "Ann", 3) + friendRecord(2, 0xF0, 2, "Ben", 3),
            title(4432, 2) + friendLine(0, 3, 0x01, 0) + " name=\"Ann\"\n" +
                friendLine(1, 2, 0xF0, 2) + "\n");
    friends("three friends",
            friendRecord(1, 1, 0, "", 0) + friendRecord(1, 2, 0, "", 0) +
                friendRecord(4, 3, 1, "x", 1),
            title(6648, 3) + friendLine(0, 1, 1, 0) + "\n" + friendLine(1, 1, 2, 0) + "\n" +
                friendLine(2, 4, 3, 1) + " name=\"x\"\n");
    single("sizes are big-endian", 4, 0x0102, "Alice", 0x0005, " name=\"Alice\"");
    single("info size 65535", 3, 0xFFFF, "A", 1, " name=\"A\"");
    single("name length 0", 3, 0, "Dave", 0, " name=\"\"");
    const QByteArray longName = QByteArray(64, 'a') + QByteArray(64, 'b');
    for (int length : {128, 300, 0xFFFF}) {
        single(QStringLiteral("name length %1 shows 128 bytes").arg(length), 3, 0, longName,
               static_cast<quint16>(length), " name=\"" + QString::fromLatin1(longName) + "\"");
    }
    const QByteArray utf8 = QByteArray("Zo\xC3\xAB \xE2\x9C\x93");
    single("UTF-8 name", 4, 0, utf8, static_cast<quint16>(utf8.size()),
           " name=\"" + QString::fromUtf8(utf8) + "\"");
    single("UTF-8 name cut inside a character", 4, 0, "Zo\xC3", 3,
           " name=\"" + QString::fromUtf8("Zo\xC3", 3) + "\"");
    single("invalid UTF-8 byte", 4, 0, "A\xFF", 2, QString(" name=\"A") + QChar(0xFFFD) + "\"");
    single("quote in the name is printed bare", 3, 0, "a\"b", 3, " name=\"a\"b\"");
    single("placeholders in the name are printed as they are", 3, 0, "%1%2", 4, " name=\"%1%2\"");
    single("zero byte inside the counted name", 3, 0, QByteArray("A\0B", 3), 3,
           QString(" name=\"A") + QChar(0) + "B\"");

    // NAME and STATUSMESSAGE print the payload between quotes, escaped, cut at their limit.
    const auto quotedRows = [&rows](const QString &section) {
        return [=](const QString &name, const QByteArray &payload, const QString &quoted) {
            rows(section)(
                name, payload,
                QStringLiteral("  [%1 Section] (%2 bytes): \"").arg(section).arg(payload.size()) +
                    quoted + "\"\n");
        };
    };
    const auto name = quotedRows("NAME");
    name("empty", QByteArray(), "");
    name("Alice", bytes({0x41, 0x6C, 0x69, 0x63, 0x65}), "Alice");
    name("UTF-8 bytes escaped one by one", bytes({0xC3, 0xA9}), "\\xc3\\xa9");
    name("tab", bytes({'a', 0x09, 'b'}), "a\\x09b");
    name("quote and backslash bare", "\"x\\y\"", "\"x\\y\"");
    name("printable limits 0x20 and 0x7e", bytes({0x20, 0x7E}), " ~");
    name("just outside 0x1f and 0x7f", bytes({0x1F, 0x7F}), "\\x1f\\x7f");
    name("zero and 0xff", bytes({0x00, 0xFF, 0x80}), "\\x00\\xff\\x80");
    name("newline", bytes({'A', 0x0A}), "A\\x0a");
    name("percent and placeholders kept", "%1 %2", "%1 %2");
    name("128 bytes all printed", QByteArray(127, 'n') + "E", QString(127, 'n') + "E");
    name("129 bytes cut to 128", QByteArray(128, 'n') + "X", QString(128, 'n'));
    name("300 bytes cut to 128", QByteArray(128, 'q') + QByteArray(172, 'r'), QString(128, 'q'));
    name("escapes count as one byte each", QByteArray(127, 'm') + bytes({0x01, 0x02}),
         QString(127, 'm') + "\\x01");

    const auto message = quotedRows("STATUSMESSAGE");
    message("empty", QByteArray(), "");
    message("plain", "Out for lunch", "Out for lunch");
    message("escapes", bytes({'o', 'k', 0x0D, 0x0A, 0xE2, 0x9C, 0x93}),
            "ok\\x0d\\x0a\\xe2\\x9c\\x93");
    message("129 bytes all printed", QByteArray(129, 's'), QString(129, 's'));
    message("200 bytes all printed", QByteArray(199, 's') + "E", QString(199, 's') + "E");
    message("201 bytes cut to 200", QByteArray(200, 's') + "X", QString(200, 's'));
    message("250 printable bytes cut to 200", QByteArray(200, 'p') + QByteArray(50, 'x'),
            QString(200, 'p'));

    const auto status = rows("STATUS");
    status("empty", QByteArray(), "  [STATUS Section] (0 bytes): \n");
    const struct {
        int byte;
        const char *word;
    } words[] = {{0, "online"},      {1, "away"},        {2, "busy"},
                 {3, "unknown (3)"}, {7, "unknown (7)"}, {0xFF, "unknown (255)"}};
    for (const auto &w : words) {
        status(QStringLiteral("%1 %2").arg(w.byte, 2, 16, QLatin1Char('0')).arg(w.word),
               bytes({w.byte}), QStringLiteral("  [STATUS Section] (1 bytes): %1\n").arg(w.word));
    }
    status("further bytes ignored", bytes({1, 2, 3}), "  [STATUS Section] (3 bytes): away\n");

    rows("GROUPS")("1234", counting(1234), "  (msgpack-encoded binary data, 1234 bytes)\n");
    rows("GROUPS")("0", QByteArray(), "  (msgpack-encoded binary data, 0 bytes)\n");
    rows("CONFERENCES")("0", QByteArray(), "  (conference data, 0 bytes)\n");
    rows("CONFERENCES")("70000", counting(70000), "  (conference data, 70000 bytes)\n");

    const auto dht = rows("DHT");
    const QByteArray cookie = le32(0x0159000D);
    for (int length = 0; length <= 3; ++length) {
        dht(QStringLiteral("too short: %1 bytes").arg(length), cookie.left(length),
            QStringLiteral("  [DHT Section]\n    (too short: %1 bytes)\n").arg(length));
    }
    dht("cookie only", cookie, kDhtHead);
    dht("zero cookie", QByteArray(4, '\0') + dhtSubSection(4, QByteArray()),
        "  [DHT Section]\n"
        "    DHT cookie: 0x00000000 (expected 0x0159000d)\n"
        "    (invalid DHT cookie - skipping)\n");
    dht("cookie stored big-endian", bytes({0x01, 0x59, 0x00, 0x0D}),
        "  [DHT Section]\n"
        "    DHT cookie: 0x0d005901 (expected 0x0159000d)\n"
        "    (invalid DHT cookie - skipping)\n");
    const QByteArray v4 = ipv4Node(0xC0, 0xA8, 0x00, 0x01, 0x82A5, 0x11);
    const QString v4Nodes = " [DHT NODES]\n" + nodeLine(0, "IPv4", "192.168.0.1", 33445, 0x11);
    dht("one IPv4 node", dhtPayload(dhtSubSection(4, v4)),
        kDhtHead + subLine(39, "0000", 4) + v4Nodes + total("DHT nodes", 1));
    dht("IPv4 and IPv6 nodes", dhtPayload(dhtSubSection(4, v4 + ipv6Node(33445, 0x22))),
        kDhtHead + subLine(90, "0000", 4) + v4Nodes + nodeLine(1, "IPv6", kIpv6Text, 33445, 0x22) +
            total("DHT nodes", 2));
    dht("empty nodes sub-section", dhtPayload(dhtSubSection(4, QByteArray())),
        kDhtHead + subLine(0, "0000", 4) + " (empty)\n");
    dht("unknown type 1 of 10 bytes, walk goes on 18 bytes",
        dhtPayload(dhtSubSection(1, counting(10, 2)) + dhtSubSection(4, v4)),
        kDhtHead + subLine(10, "0000", 1) + " (unknown, 10 bytes of data)\n" +
            subLine(39, "0000", 4) + v4Nodes + total("DHT nodes", 1));
    dht("unknown sub-section holding node-like data", dhtPayload(dhtSubSection(2, v4)),
        kDhtHead + subLine(39, "0000", 2) + " (unknown, 39 bytes of data)\n");
    dht("type with high byte set is not 4", dhtPayload(dhtSubSection(0x0104, v4)),
        kDhtHead + subLine(39, "0000", 260) + " (unknown, 39 bytes of data)\n");
    dht("unknown empty sub-section", dhtPayload(dhtSubSection(0, QByteArray())),
        kDhtHead + subLine(0, "0000", 0) + " (unknown, 0 bytes of data)\n");
    for (quint16 subCookie : {0xFFFF, 0x11CE, 0x000A}) {
        const QString text = QStringLiteral("%1").arg(subCookie, 4, 16, QLatin1Char('0'));
        dht("sub-section cookie 0x" + text, dhtPayload(dhtSubSection(4, QByteArray(), subCookie)),
            kDhtHead + subLine(0, text, 4) + " (empty)\n");
    }
    dht("sub-section one byte longer than the section", dhtPayload(le32(40) + le32(4) + v4),
        kDhtHead + subLine(40, "0000", 4) + " (extends beyond section!)\n");
    dht("second sub-section beyond the section",
        dhtPayload(dhtSubSection(4, QByteArray()) + le32(5) + le32(1) + counting(4)),
        kDhtHead + subLine(0, "0000", 4) + " (empty)\n" + subLine(5, "0000", 1) +
            " (extends beyond section!)\n");
    for (quint32 huge : {0xFFFFFFFFu, 0xFFFFFFF8u}) {
        const int type = huge == 0xFFFFFFFFu ? 4 : 1;
        dht(QStringLiteral("sub-section length 0x%1").arg(huge, 0, 16),
            dhtPayload(le32(huge) + le32(static_cast<quint32>(type)) + v4),
            kDhtHead + subLine(huge, "0000", type) + " (extends beyond section!)\n");
    }
    dht("1 trailing byte ignored", dhtPayload(dhtSubSection(4, v4) + bytes({4})),
        kDhtHead + subLine(39, "0000", 4) + v4Nodes + total("DHT nodes", 1));
    dht("7 trailing bytes ignored",
        dhtPayload(dhtSubSection(4, v4) + le32(0) + le16(4) + bytes({0})),
        kDhtHead + subLine(39, "0000", 4) + v4Nodes + total("DHT nodes", 1));
    dht("TCP family refused, next sub-section still walked",
        dhtPayload(dhtSubSection(4, ipv4Node(1, 2, 3, 4, 5, 6, 130)) +
                   dhtSubSection(4, QByteArray())),
        kDhtHead + subLine(39, "0000", 4) + " [DHT NODES]\n" + nodeError(0) +
            total("DHT nodes", 0) + subLine(0, "0000", 4) + " (empty)\n");
    dht("TCP_IPv6 family refused", dhtPayload(dhtSubSection(4, ipv6Node(1, 6, 138))),
        kDhtHead + subLine(51, "0000", 4) + " [DHT NODES]\n" + nodeError(0) +
            total("DHT nodes", 0));
    dht("bad second node", dhtPayload(dhtSubSection(4, v4 + ipv4Node(1, 1, 1, 1, 1, 1, 6) + v4)),
        kDhtHead + subLine(117, "0000", 4) + v4Nodes + nodeError(39) + total("DHT nodes", 1));
    // A nodes sub-section past 65,535 bytes is listed in full.
    QByteArray many;
    QString manyLines;
    for (int i = 0; i < 1681; ++i) {
        many += ipv4Node(10, i >> 8, i & 0xFF, 1, static_cast<quint16>(i), i);
        manyLines +=
            nodeLine(i, "IPv4", QStringLiteral("10.%1.%2.1").arg(i >> 8).arg(i & 0xFF), i, i);
    }
    dht("1681 nodes, 65559 bytes", dhtPayload(dhtSubSection(4, many)),
        kDhtHead + subLine(65559, "0000", 4) + " [DHT NODES]\n" + manyLines +
            total("DHT nodes", 1681));

    // Node lists: TCP_RELAY accepts the TCP families and PATH_NODE does not. Each row gives the
    // node and error lines, then the number of nodes the total line counts.
    const auto nodes = [&rows](const QString &name, bool tcp, const QByteArray &list,
                               const QString &lines, int count) {
        rows(tcp ? "TCP_RELAY"
                 : "PATH_NODE")(name, list,
                                (tcp ? "  [TCP_RELAY Section]\n" : "  [PATH_NODE Section]\n") +
                                    lines + total(tcp ? "TCP relays" : "path nodes", count));
    };
    rows("TCP_RELAY")("empty", QByteArray(), "  [TCP_RELAY Section]\n    (empty)\n");
    rows("PATH_NODE")("empty", QByteArray(), "  [PATH_NODE Section]\n    (empty)\n");
    nodes("one IPv4 node", true, ipv4Node(192, 168, 0, 1, 33445, 7),
          nodeLine(0, "IPv4", "192.168.0.1", 33445, 7), 1);
    const QString dns = nodeLine(0, "IPv4", "8.8.4.4", 53, 3);
    nodes("one IPv4 node", false, ipv4Node(8, 8, 4, 4, 53, 3), dns, 1);
    nodes("one IPv6 node", false, ipv6Node(33445, 3), nodeLine(0, "IPv6", kIpv6Text, 33445, 3), 1);
    nodes("TCP_IPv4 accepted", true, ipv4Node(1, 2, 3, 4, 443, 7, 130),
          nodeLine(0, "TCP_IPv4", "1.2.3.4", 443, 7), 1);
    nodes("TCP_IPv6 accepted", true, ipv6Node(3389, 8, 138),
          nodeLine(0, "TCP_IPv6", kIpv6Text, 3389, 8), 1);
    nodes("TCP_IPv4 refused", false, ipv4Node(1, 2, 3, 4, 443, 7, 130), nodeError(0), 0);
    nodes("TCP_IPv6 refused after one node", false,
          ipv4Node(8, 8, 4, 4, 53, 3) + ipv6Node(1, 1, 138), dns + nodeError(39), 1);
    nodes("all four families mixed", true,
          ipv4Node(1, 1, 1, 1, 1, 1) + ipv6Node(2, 2) + ipv4Node(3, 3, 3, 3, 3, 3, 130) +
              ipv6Node(4, 4, 138),
          nodeLine(0, "IPv4", "1.1.1.1", 1, 1) + nodeLine(1, "IPv6", kIpv6Text, 2, 2) +
              nodeLine(2, "TCP_IPv4", "3.3.3.3", 3, 3) + nodeLine(3, "TCP_IPv6", kIpv6Text, 4, 4),
          4);
    const auto refused = [&nodes](bool tcp, int family) {
        nodes(QStringLiteral("family 0x%1 refused").arg(family, 2, 16, QLatin1Char('0')), tcp,
              ipv4Node(1, 1, 1, 1, 1, 1, family), nodeError(0), 0);
    };
    for (int family : {0, 6, 0x12, 0x80, 0x81, 0x0B})
        refused(true, family);
    for (int family : {0, 6, 0x12})
        refused(false, family);
    nodes("node cut short", true, ipv4Node(1, 1, 1, 1, 1, 1).left(38), nodeError(0), 0);
    nodes("single byte", false, bytes({2}), nodeError(0), 0);
    nodes("IPv4 without zero fill", false, ipv4Node(10, 0, 0, 7, 0, 0x30),
          nodeLine(0, "IPv4", "10.0.0.7", 0, 0x30), 1);
    nodes("IPv4 high bytes are unsigned", false, ipv4Node(255, 255, 128, 200, 65535, 0x30),
          nodeLine(0, "IPv4", "255.255.128.200", 65535, 0x30), 1);
    nodes("IPv6 all zero", false, node(10, QByteArray(16, '\0'), 1, 0x40),
          nodeLine(0, "IPv6", "0000:0000:0000:0000:0000:0000:0000:0000", 1, 0x40), 1);
    nodes(
        "IPv6 lowercase hex digits", false,
        node(10,
             bytes({0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0xAB, 0xCD, 0x0E, 0xF0, 0x12, 0x34, 0xFF, 0xFF}),
             8080, 0x40),
        nodeLine(0, "IPv6", "fe80:0000:0000:0000:abcd:0ef0:1234:ffff", 8080, 0x40), 1);
    nodes("port is big-endian", false, ipv4Node(1, 2, 3, 4, 0x0102, 0),
          nodeLine(0, "IPv4", "1.2.3.4", 258, 0), 1);
    const QByteArray plain = ipv4Node(1, 2, 3, 4, 5, 6);
    const QString plainLine = nodeLine(0, "IPv4", "1.2.3.4", 5, 6);
    for (int extra : {2, 0}) {
        nodes(QStringLiteral("node and one more byte (%1)").arg(extra), false,
              plain + bytes({extra}), plainLine + nodeError(39), 1);
    }
    nodes("IPv4 node one byte short", false, plain.left(38), nodeError(0), 0);
    for (int size : {50, 39}) {
        nodes(QStringLiteral("IPv6 family with %1 bytes").arg(size), false,
              ipv6Node(1, 1).left(size), nodeError(0), 0);
    }
    nodes("IPv6 node cut short after an IPv4 node", true, plain + ipv6Node(1, 1).left(50),
          plainLine + nodeError(39), 1);
    nodes("error stops the list", false, plain + ipv4Node(1, 1, 1, 1, 1, 1, 0) + plain,
          plainLine + nodeError(39), 1);
    nodes("error offset after an IPv6 node", false, ipv6Node(1, 1) + bytes({0x42}),
          nodeLine(0, "IPv6", kIpv6Text, 1, 1) + nodeError(51), 1);
    // 65,536 bytes: 1680 IPv4 nodes (65,520 bytes) and 16 bytes that are no node.
    QByteArray list;
    QString lines;
    for (int i = 0; i < 1680; ++i) {
        list += ipv4Node(172, 16, i >> 8, i & 0xFF, 33445, i);
        lines +=
            nodeLine(i, "IPv4", QStringLiteral("172.16.%1.%2").arg(i >> 8).arg(i & 0xFF), 33445, i);
    }
    nodes("65536 bytes: 1680 nodes and 16 more bytes", true,
          list + ipv4Node(9, 9, 9, 9, 9, 9).left(16), lines + nodeError(65520), 1680);
    nodes("65571 bytes: 1680 IPv4 nodes and one TCP_IPv6 node", true,
          list + ipv6Node(65535, 0xEE, 138),
          lines + nodeLine(1680, "TCP_IPv6", kIpv6Text, 65535, 0xEE), 1681);
}

// Each payload is rendered on its own and, as a section of a file, through the walk.
void TestSaveFile::sections()
{
    QFETCH(QString, kind);
    QFETCH(QByteArray, payload);
    QFETCH(QString, expected);
    const SectionKind *known = std::find_if(std::begin(kKinds), std::end(kKinds),
                                            [&](const SectionKind &k) { return kind == k.name; });
    QVERIFY(known != std::end(kKinds));
    QCOMPARE(render(known->renderer, payload), expected);
    const QByteArray file = saveFile({section(static_cast<quint16>(known->type), payload), kEnd});
    QCOMPARE(parseSaveData(file, kPath).report,
             headLines(kPath, file.size()) +
                 sectionLine(0, known->type, kind, static_cast<quint32>(payload.size())) +
                 expected + endSection(1));
}

// The printer on its own: the length it is given bounds the list, not the size of the data.
void TestSaveFile::packedNodes_data()
{
    QTest::addColumn<uint>("length");
    QTest::addColumn<QString>("expected");
    const QString line = nodeLine(0, "IPv4", "1.2.3.4", 5, 6);
    QTest::newRow("empty list") << 0u << total("list", 0);
    QTest::newRow("length shorter than the data") << 39u << line + total("list", 1);
    QTest::newRow("length cuts the second node") << 40u << line + nodeError(39) + total("list", 1);
}

void TestSaveFile::packedNodes()
{
    QFETCH(uint, length);
    QFETCH(QString, expected);
    const QByteArray data = ipv4Node(1, 2, 3, 4, 5, 6).repeated(2);
    for (bool tcpAllowed : {false, true}) {
        QString report = QStringLiteral("before\n");
        appendPackedNodes(ByteView(data), length, tcpAllowed, QStringLiteral("list"), report);
        QCOMPARE(report, QStringLiteral("before\n") + expected);
    }
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
    QTest::newRow("END only") << saveFile({kEnd});
    QTest::newRow("complete save")
        << saveFile({section(1, bytes({1, 2, 3, 4}) + key(1) + key(2)), section(4, "Alice"),
                     section(10, ipv4Node(1, 2, 3, 4, 5, 6)), kEnd});
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("bad magic") << QByteArray("not a save file at all");
    QTest::newRow("encrypted") << QByteArray("toxEsave") + counting(200);
    QTest::newRow("section beyond the end") << saveFile({sectionHeader(5, 1) + counting(4)});
    QTest::newRow("binary noise after the container") << kContainer + counting(1000, 0x55);
}

// Read from disk, a file gives what its bytes give in memory, and the path is printed exactly
// as passed (not cleaned up, placeholders and all).
void TestSaveFile::roundTripOnDisk()
{
    QFETCH(QByteArray, file);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("sub")));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("my save \u00FC %1.tox")), file));
    const QString path = dir.path() + QStringLiteral("/./sub/../my save \u00FC %1.tox");
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

// Only regular files that fit into memory are read; everything else fails at once, without
// blocking, and names the path as passed.
void TestSaveFile::cannotOpen_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("error");
    for (const char *kind : {"directory", "link to directory", "/dev/null", "unix socket",
                             "FIFO without a writer", "nonexistent", "dangling link"}) {
        QTest::newRow(kind) << kind << QStringLiteral("Could not open '%1'");
    }
    QTest::newRow("3 GiB file") << "too large"
                                << "Could not open '%1': file too large (3221225472 bytes)";
}

void TestSaveFile::cannotOpen()
{
    QFETCH(QString, kind);
    QFETCH(QString, error);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QString path = dir.path() + QStringLiteral("/./my %1.tox");
    const QByteArray native = QFile::encodeName(path);
    int socketFd = -1;
    if (kind == "directory") {
        QVERIFY(QDir().mkdir(path));
    } else if (kind == "link to directory") {
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        QVERIFY(QFile::link(dir.filePath("folder"), path));
    } else if (kind == "dangling link") {
        QVERIFY(QFile::link(dir.filePath("gone"), path));
    } else if (kind == "/dev/null") {
        path = QStringLiteral("/dev/null");
    } else if (kind == "FIFO without a writer") {
        QCOMPARE(::mkfifo(native.constData(), 0600), 0);
    } else if (kind == "unix socket") {
        socketFd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        QVERIFY(socketFd >= 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        QVERIFY(static_cast<size_t>(native.size()) < sizeof(address.sun_path));
        qstrncpy(address.sun_path, native.constData(), sizeof(address.sun_path));
        QCOMPARE(::bind(socketFd, reinterpret_cast<sockaddr *>(&address), sizeof(address)), 0);
        QCOMPARE(::listen(socketFd, 1), 0);
    } else if (kind == "too large") {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(kContainer), qint64(kContainer.size()));
        QVERIFY(file.resize(3LL << 30)); // sparse: next to no disk space
    }
    ParseResult result;
    const bool returned = parseWithoutHanging(path, result);
    if (socketFd >= 0)
        ::close(socketFd);
    QVERIFY2(returned, "parseSaveFile blocked");
    QCOMPARE(result.success, false);
    QCOMPARE(result.error, error.arg(path));
    QCOMPARE(result.report, QString());
}

QTEST_GUILESS_MAIN(TestSaveFile)
#include "tst_savefile.moc"
