#include "savefile.h"

#include "fileio.h"
#include "secretkeys.h"

#include <algorithm>

namespace
{

// ---------------------------------------------------------------------------------------------
// Format constants

constexpr quint64 kHeaderSize = 8;        // zero word + global cookie
constexpr quint64 kSectionHeaderSize = 8; // length u32, type u16, cookie u16
constexpr quint32 kGlobalCookie = 0x15ED1B1F;
constexpr quint16 kSectionCookie = 0x01CE;
constexpr quint32 kDhtCookie = 0x0159000D;
constexpr quint16 kDhtNodesSubType = 4;
constexpr quint16 kEndSectionType = 255;

// Encrypted saves start with a fixed 8-byte marker. Two are known: the one written by the
// toxencryptsave library ("toxEsave") and an older binary one.
constexpr char kEncryptedMagic[] = "toxEsave";
constexpr char kEncryptedMarker[] = "\x01\x1E\x81\xC0\xD6\x7B\xBA\x9E";

// Every save keeps its secret key here: global header 8, section header 8, nospam 4, public
// key 32. Only an intact first NOSPAMKEYS section tells the decoder to leave it alone.
constexpr quint64 kSecretKeyOffset = 52;
constexpr quint64 kSecretKeySize = 32;
constexpr quint32 kNospamKeysSize = 68; // nospam 4, public key 32, secret key 32
// The most NOSPAMKEYS sections of one save whose keys are checked (and so may be shown).
constexpr int kMaxKeyChecks = 64;
constexpr quint16 kNospamKeysType = 1;

constexpr quint64 kPublicKeySize = 32;
constexpr quint32 kFriendRecordSize = 2216;
constexpr quint64 kFriendUnreadAfterKey = 1025;
constexpr quint64 kFriendNameCapacity = 128;
constexpr quint64 kFriendStatusMessageCapacity = 1007;
// After the status message: a padding byte before its length, and after the user status the
// padding, the friend request's nospam and the last-seen time.
constexpr quint64 kFriendPaddingBeforeLength = 1;
constexpr quint64 kFriendUnreadAtEnd = 15;
constexpr quint32 kFriendDumpLimit = 64;
constexpr quint32 kNameLimit = 128;
constexpr quint32 kStatusMessageLimit = 200;

// The longest report shown. Every 8 bytes of a crafted save can ask for a line of 60 or more
// characters, so a large one would need a report longer than one string can hold. The walk and
// the loops over friends, sub-sections and nodes stop once the report has reached this length.
constexpr int kMaxReportLength = 16 * 1024 * 1024;

bool reportFull(const QString &report)
{
    return report.size() >= kMaxReportLength;
}

QString dec(quint64 value)
{
    return QString::number(value);
}

// `value` as `width` lowercase hex digits, zero-filled.
QString hex(quint64 value, int width)
{
    return QStringLiteral("%1").arg(value, width, 16, QLatin1Char('0'));
}

// Appends a damage line to the report and its text to `problems`.
void reportProblem(const QString &before, const QString &text, const QString &after,
                   QStringList &problems, QString &report)
{
    report += before + text + after;
    problems << text;
}

struct AddressFamily {
    quint8 code;
    const char *name;
    int addressWidth;
    bool tcpOnly;
};

const AddressFamily kAddressFamilies[] = {
    {2, "IPv4", 4, false},
    {10, "IPv6", 16, false},
    {130, "TCP_IPv4", 4, true},
    {138, "TCP_IPv6", 16, true},
};

const AddressFamily *findAddressFamily(quint8 code)
{
    for (const AddressFamily &family : kAddressFamilies) {
        if (family.code == code)
            return &family;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Node lists

// Reads one packed node; false when its family is not accepted here or it is cut short.
bool readPackedNode(ByteReader &in, bool tcpAllowed, PackedNode &node)
{
    if (!in.u8(node.family))
        return false;
    const AddressFamily *family = findAddressFamily(node.family);
    if (!family || (family->tcpOnly && !tcpAllowed))
        return false;
    return in.bytes(quint64(family->addressWidth), node.address) && in.u16be(node.port) &&
           in.bytes(kPublicKeySize, node.publicKey);
}

NodeList decodeNodeList(ByteReader list, bool tcpAllowed, const QString &label,
                        QStringList &problems, QString &report)
{
    NodeList result;
    while (!list.atEnd() && !reportFull(report)) {
        const quint64 offset = list.offset();
        PackedNode node;
        if (!readPackedNode(list, tcpAllowed, node)) {
            result.damaged = true;
            result.damageOffset = offset;
            reportProblem(QStringLiteral("      ["),
                          QStringLiteral("error parsing node at offset %1").arg(dec(offset)),
                          QStringLiteral("]\n"), problems, report);
            break;
        }
        report += QStringLiteral("      Node %1: %2 ")
                      .arg(dec(quint64(result.nodes.size())), addressFamilyName(node.family));
        report += nodeAddressText(node);
        report += QStringLiteral(":%1 pubkey=%2\n").arg(dec(node.port), keyToHex(node.publicKey));
        result.nodes.append(node);
    }
    report +=
        QStringLiteral("    Total %1: %2 node(s)\n").arg(label, dec(quint64(result.nodes.size())));
    return result;
}

// The first `length` bytes of a payload (a renderer may be handed a longer view).
ByteReader firstBytes(ByteReader payload, quint32 length)
{
    ByteReader part;
    payload.take(std::min<quint64>(length, payload.remaining()), part);
    return part;
}

// ---------------------------------------------------------------------------------------------
// Section payloads. Each appends the lines of one section to the report as it fills the record.

void decodeNospamKeys(SaveSection &section, ByteReader payload, int &keyChecksLeft, QString &report)
{
    report += QStringLiteral("  [NOSPAMKEYS Section] (%1 bytes)\n").arg(section.length);
    if (section.length < kNospamKeysSize || payload.remaining() < kNospamKeysSize) {
        section.tooShort = true;
        reportProblem(QStringLiteral("    ("), QStringLiteral("too short"), QStringLiteral(")\n"),
                      section.problems, report);
        return;
    }
    // The nospam is shown the way the Tox ID carries it: its four bytes in stored order.
    payload.u32be(section.nospam);
    payload.bytes(kPublicKeySize, section.publicKey);
    // The secret key, the next 32 bytes, is read only to derive its public key. 32 bytes that are
    // not the public key of the secret key beside them may be anything, the secret key moved
    // there by damage included, and so may the four bytes before them. Each check costs about 60
    // microseconds; a save has one NOSPAMKEYS section, and the keys of a crafted save's sections
    // past the first kMaxKeyChecks are not checked but hidden.
    QByteArray secretKey;
    payload.bytes(kSecretKeySize, secretKey);
    const bool matches =
        keyChecksLeft-- > 0 &&
        isPublicKeyOf(reinterpret_cast<const uchar *>(section.publicKey.constData()),
                      reinterpret_cast<const uchar *>(secretKey.constData()));
    secretKey.fill('\0');
    if (matches) {
        report += QStringLiteral("    nospam: 0x%1 (%2)\n")
                      .arg(hex(section.nospam, 8), dec(section.nospam));
        report += QStringLiteral("    public_key: %1\n").arg(keyToHex(section.publicKey));
    } else {
        section.nospam = 0;
        section.publicKey.clear();
        section.keysHidden = true;
        section.problems << QStringLiteral("nospam and public key hidden: the public key does not "
                                           "match the secret key stored beside it");
        report += QLatin1String("    nospam: <hidden: the keys beside it do not match>\n"
                                "    public_key: <hidden: it does not match the secret key stored "
                                "beside it>\n");
    }
    report += QLatin1String("    secret_key: <hidden>\n");
}

bool readFriend(ByteReader &in, SaveFriend &person)
{
    QByteArray nameArea;
    QByteArray statusArea;
    quint16 nameLength = 0;
    quint16 statusLength = 0;
    if (!(in.u8(person.status) && in.bytes(kPublicKeySize, person.publicKey) &&
          in.skip(kFriendUnreadAfterKey) && in.u16be(person.infoSize) &&
          in.bytes(kFriendNameCapacity, nameArea) && in.u16be(nameLength) &&
          in.bytes(kFriendStatusMessageCapacity, statusArea) &&
          in.skip(kFriendPaddingBeforeLength) && in.u16be(statusLength) &&
          in.u8(person.userStatus) && in.skip(kFriendUnreadAtEnd)))
        return false;
    person.hasName = person.status > 2;
    // Exactly that many bytes: the QByteArray overload of fromUtf8 would stop at a zero byte.
    if (person.hasName) {
        person.name = QString::fromUtf8(nameArea.constData(),
                                        int(std::min<quint64>(nameLength, kFriendNameCapacity)));
        person.statusMessage =
            QString::fromUtf8(statusArea.constData(),
                              int(std::min<quint64>(statusLength, kFriendStatusMessageCapacity)));
    } else {
        person.userStatus = 0; // like the name, shown only for a confirmed friend
    }
    return true;
}

void decodeFriends(SaveSection &section, ByteReader payload, QString &report)
{
    const quint32 length = section.length;
    report += QStringLiteral("  [FRIENDS Section] (%1 bytes)\n").arg(length);
    if (length == 0 || length % kFriendRecordSize != 0) {
        section.unexpectedSize = true;
        reportProblem(QStringLiteral("    ("),
                      QStringLiteral("unexpected size - not a multiple of %1; length=%2")
                          .arg(kFriendRecordSize)
                          .arg(length),
                      QStringLiteral(")\n"), section.problems, report);
        report += QLatin1String("    Raw hex dump of first 64 bytes:\n      ");
        payload.bytes(std::min<quint64>({length, kFriendDumpLimit, payload.remaining()}),
                      section.rawDump);
        for (const char byte : qAsConst(section.rawDump)) {
            report += hex(quint8(byte), 2);
            report += QLatin1Char(' ');
        }
        report += QLatin1Char('\n');
        return;
    }

    report += QStringLiteral("    Number of friends: %1\n").arg(length / kFriendRecordSize);
    for (SaveFriend person; !reportFull(report) && readFriend(payload, person); person = {}) {
        report += QStringLiteral("    Friend %1: status=%2 pk=%3 info_size=%4")
                      .arg(dec(quint64(section.friends.size())), dec(person.status),
                           keyToHex(person.publicKey), dec(person.infoSize));
        if (person.hasName)
            report += QStringLiteral(" name=\"%1\"").arg(person.name);
        report += QLatin1Char('\n');
        section.friends.append(person);
    }
}

void decodeQuotedText(SaveSection &section, ByteReader payload, const char *titleTemplate,
                      quint32 limit, QString &report)
{
    report += QString::fromLatin1(titleTemplate).arg(section.length);
    payload.bytes(std::min<quint64>({section.length, limit, payload.remaining()}), section.text);
    // Bytes 0x20..0x7E print as themselves; every other byte as \xNN.
    for (const char byte : qAsConst(section.text)) {
        const quint8 value = quint8(byte);
        if (value >= 0x20 && value <= 0x7E) {
            report += QLatin1Char(byte);
        } else {
            report += QLatin1String("\\x");
            report += hex(value, 2);
        }
    }
    report += QLatin1String("\"\n");
}

void decodeStatus(SaveSection &section, ByteReader payload, QString &report)
{
    report += QStringLiteral("  [STATUS Section] (%1 bytes): ").arg(section.length);
    section.hasStatus = section.length > 0 && payload.u8(section.status);
    if (section.hasStatus)
        report += userStatusText(section.status);
    report += QLatin1Char('\n');
}

void decodeDht(SaveSection &section, ByteReader payload, QString &report)
{
    report += QLatin1String("  [DHT Section]\n");
    if (!payload.u32le(section.dhtCookie)) {
        section.tooShort = true;
        reportProblem(QStringLiteral("    ("),
                      QStringLiteral("too short: %1 bytes").arg(section.length),
                      QStringLiteral(")\n"), section.problems, report);
        return;
    }
    report += QStringLiteral("    DHT cookie: 0x%1 (expected 0x%2)\n")
                  .arg(hex(section.dhtCookie, 8), hex(kDhtCookie, 8));
    section.dhtCookieValid = section.dhtCookie == kDhtCookie;
    if (!section.dhtCookieValid) {
        reportProblem(QStringLiteral("    ("), QStringLiteral("invalid DHT cookie - skipping"),
                      QStringLiteral(")\n"), section.problems, report);
        return;
    }

    // Sub-sections follow while a whole 8-byte header fits; 1 to 7 bytes after the last one are
    // not reported.
    while (payload.remaining() >= 8 && !reportFull(report)) {
        DhtSubSection sub;
        payload.u32le(sub.length);
        payload.u16le(sub.type);
        payload.u16le(sub.cookie);
        const QString line = QStringLiteral("Sub-section: length=%1, cookie=0x%2, type=%3")
                                 .arg(dec(sub.length), hex(sub.cookie, 4), dec(sub.type));
        ByteReader data;
        if (!payload.take(sub.length, data)) {
            sub.content = DhtSubSection::Content::BeyondSection;
            reportProblem(QStringLiteral("    "),
                          line + QStringLiteral(" (extends beyond section!)"), QStringLiteral("\n"),
                          section.problems, report);
            section.subSections.append(sub);
            return;
        }
        report += QStringLiteral("    ") + line;
        if (sub.type == kDhtNodesSubType && sub.length != 0) {
            sub.content = DhtSubSection::Content::Nodes;
            report += QLatin1String(" [DHT NODES]\n");
            sub.nodes =
                decodeNodeList(data, false, QStringLiteral("DHT nodes"), section.problems, report);
        } else if (sub.type == kDhtNodesSubType) {
            sub.content = DhtSubSection::Content::Empty;
            report += QLatin1String(" (empty)\n");
        } else {
            report += QStringLiteral(" (unknown, %1 bytes of data)\n").arg(sub.length);
        }
        section.subSections.append(sub);
    }
}

void decodeNodeListSection(SaveSection &section, ByteReader payload, const char *title,
                           bool tcpAllowed, const char *label, QString &report)
{
    report += QLatin1String(title);
    if (section.length == 0) {
        report += QLatin1String("    (empty)\n");
        return;
    }
    section.nodes = decodeNodeList(firstBytes(payload, section.length), tcpAllowed,
                                   QLatin1String(label), section.problems, report);
}

// Hands the payload to the decoder of its type; false for a type without one.
bool decodePayload(SaveSection &section, ByteReader payload, int &keyChecksLeft, QString &report)
{
    switch (section.type) {
    case 1:
        decodeNospamKeys(section, payload, keyChecksLeft, report);
        return true;
    case 2:
        decodeDht(section, firstBytes(payload, section.length), report);
        return true;
    case 3:
        decodeFriends(section, firstBytes(payload, section.length), report);
        return true;
    case 4:
        decodeQuotedText(section, payload, "  [NAME Section] (%1 bytes): \"", kNameLimit, report);
        return true;
    case 5:
        decodeQuotedText(section, payload, "  [STATUSMESSAGE Section] (%1 bytes): \"",
                         kStatusMessageLimit, report);
        return true;
    case 6:
        decodeStatus(section, payload, report);
        return true;
    case 7:
        report += QStringLiteral("  (msgpack-encoded binary data, %1 bytes)\n").arg(section.length);
        return true;
    case 10:
        decodeNodeListSection(section, payload, "  [TCP_RELAY Section]\n", true, "TCP relays",
                              report);
        return true;
    case 11:
        decodeNodeListSection(section, payload, "  [PATH_NODE Section]\n", false, "path nodes",
                              report);
        return true;
    case 20:
        report += QStringLiteral("  (conference data, %1 bytes)\n").arg(section.length);
        return true;
    default:
        return false;
    }
}

void renderAlone(quint16 type, ByteReader payload, quint32 length, QString &report)
{
    SaveSection section;
    section.type = type;
    section.length = length;
    int keyChecks = 1;
    decodePayload(section, payload, keyChecks, report);
}

void appendEndLines(quint64 totalSections, QString &report)
{
    report += QLatin1String("\n=== End of save file ===\n");
    report += QStringLiteral("Total sections: %1\n").arg(totalSections);
}

bool isEncrypted(const QByteArray &data)
{
    return data.startsWith(QByteArray::fromRawData(kEncryptedMarker, int(kHeaderSize))) ||
           data.startsWith(kEncryptedMagic);
}

// Walks the sections from offset 8, filling `contents` and the report.
void walkSections(ByteReader file, SaveContents &contents, QString &report)
{
    file.skip(kHeaderSize);
    quint64 index = 0;
    int keyChecksLeft = kMaxKeyChecks;
    while (file.remaining() >= kSectionHeaderSize) {
        SaveSection section;
        section.index = index;
        section.offset = file.offset();
        file.u32le(section.length);
        file.u16le(section.type);
        file.u16le(section.cookie);
        ByteReader payload;
        if (!file.take(section.length, payload)) {
            reportProblem(QStringLiteral("\nError: "),
                          QStringLiteral("Section %1 extends beyond file (offset=%2, length=%3, "
                                         "file_size=%4)")
                              .arg(dec(index), dec(section.offset + kSectionHeaderSize),
                                   dec(section.length), dec(contents.fileSize)),
                          QStringLiteral("\n"), contents.problems, report);
            break;
        }

        report += QStringLiteral("\nSection %1: type=%2 (%3), cookie=0x%4, length=%5\n")
                      .arg(dec(index), dec(section.type), sectionTypeName(section.type),
                           hex(section.cookie, 4), dec(section.length));
        if (section.cookie != kSectionCookie) {
            reportProblem(QStringLiteral("  ("),
                          QStringLiteral("unexpected cookie type - expected 0x%1")
                              .arg(hex(kSectionCookie, 4)),
                          QStringLiteral(")\n"), section.problems, report);
        }
        if (section.type == kEndSectionType) {
            report += QLatin1String("  (end marker)\n");
            contents.sections.append(section);
            appendEndLines(index + 1, report);
            return;
        }
        if (!decodePayload(section, payload, keyChecksLeft, report))
            report += QStringLiteral("  (%1 unknown bytes)\n").arg(section.length);
        contents.sections.append(section);

        ++index;
        if (reportFull(report)) {
            reportProblem(QStringLiteral("\n!!! "),
                          QStringLiteral("Report cut: it reached %1 characters, the most this "
                                         "program shows; the rest of the file was not decoded.")
                              .arg(kMaxReportLength),
                          QStringLiteral(" !!!\n"), contents.problems, report);
            break;
        }
    }
    appendEndLines(index, report);
}

// The first offset from `from` on, below the end of the key search, where a section header with
// the section cookie and a known type starts (hidden bytes read as zeros); the end of the key
// search when there is none.
quint64 nextSectionHeader(const ByteReader &file, quint64 from)
{
    const quint64 end = std::min<quint64>(file.size(), keySearchLength);
    for (quint64 at = from; at + kSectionHeaderSize <= end; ++at) {
        quint32 length = 0;
        if (isSaveSectionHeader(file, at, length))
            return at;
    }
    return std::max(from, end);
}

// The first section is not an intact NOSPAMKEYS section whose keys match, so the secret key may
// be anywhere: `file` reads as zeros (through `hidden`) the bytes where a save keeps it when the
// first section header is damaged, every secret key found beside its public key, and the bytes from
// where the next section should start up to the next section header found.
void hideSecretKeys(const QByteArray &data, bool intactHeader, ByteReader::HiddenRanges &hidden,
                    ByteReader &file, SaveContents &contents, QString &report)
{
    file = file.hiding(&hidden);
    if (contents.fileSize > kSecretKeyOffset && !intactHeader) {
        ByteReader::addRange(hidden, kSecretKeyOffset, kSecretKeySize);
        contents.secretKeyHidden = true;
        reportProblem(QStringLiteral("!!! "),
                      QStringLiteral("The first section is not an intact NOSPAMKEYS section: "
                                     "bytes 52 to 83, where a save keeps its secret key, are read "
                                     "as zeros."),
                      QStringLiteral(" !!!\n"), contents.problems, report);
    }
    const std::vector<KeyPair> pairs =
        findKeyPairs(reinterpret_cast<const uchar *>(data.constData()), data.size());
    for (const KeyPair &pair : pairs) {
        ByteReader::addRange(hidden, quint64(pair.secretKey), kSecretKeySize);
        if (quint64(pair.secretKey) == kSecretKeyOffset)
            continue;
        reportProblem(QStringLiteral("!!! "),
                      QStringLiteral("Bytes %1 to %2 hold the secret key of the public key at "
                                     "bytes %3 to %4; they are read as zeros.")
                          .arg(dec(quint64(pair.secretKey)),
                               dec(quint64(pair.secretKey) + kSecretKeySize - 1),
                               dec(quint64(pair.publicKey)),
                               dec(quint64(pair.publicKey) + kPublicKeySize - 1)),
                      QStringLiteral(" !!!\n"), contents.problems, report);
    }
    if (contents.fileSize <= kSecretKeyOffset)
        return;
    // Damage that splits the secret key or its public key (bytes added or lost inside them) leaves
    // no pair to find, and moves the rest of the key into what the walk reads next: the bytes up
    // to the next section header hide it, whether the first section header survived or not.
    const quint64 from =
        intactHeader ? kHeaderSize + kSectionHeaderSize + kNospamKeysSize : kHeaderSize;
    const quint64 to = nextSectionHeader(file, from);
    if (to > from) {
        ByteReader::addRange(hidden, from, to - from);
        reportProblem(QStringLiteral("!!! "),
                      QStringLiteral("Bytes %1 to %2, up to the next section header, may hold "
                                     "parts of the secret key; they are read as zeros.")
                          .arg(dec(from), dec(to - 1)),
                      QStringLiteral(" !!!\n"), contents.problems, report);
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Public entry points

ParseResult parseSaveFile(const QString &path)
{
    const InputFile input = readInputFile(path);
    if (!input.error.isEmpty()) {
        ParseResult result;
        result.error = input.error;
        return result;
    }
    return parseSaveData(input.data, path);
}

ParseResult parseSaveData(const QByteArray &data, const QString &path)
{
    return decodeSaveData(data, path).result;
}

SaveDecoding decodeSaveData(const QByteArray &data, const QString &path)
{
    SaveDecoding decoding;
    ParseResult &result = decoding.result;
    SaveContents &contents = decoding.contents;
    QString &report = result.report;
    ByteReader file(data);
    contents.fileSize = file.size();

    if (contents.fileSize < kHeaderSize) {
        result.error = QStringLiteral("File too small to be a valid Tox save file");
        return decoding;
    }

    report += QStringLiteral("=== Tox Save File: %1 ===\n").arg(path);
    report += QStringLiteral("File size: %1 bytes\n\n").arg(contents.fileSize);
    ByteReader header = file;
    header.u32le(contents.zeroWord);
    header.u32le(contents.globalCookie);
    report += QStringLiteral("Global header: [0x%1] [0x%2]\n")
                  .arg(hex(contents.zeroWord, 8), hex(contents.globalCookie, 8));

    if (isEncrypted(data)) {
        contents.encrypted = true;
        report += QLatin1String("\n!!! This file appears to be ENCRYPTED (ToxEncrypt format) !!!\n"
                                "!!! Decrypt it first with toxencryptsave before parsing. !!!\n\n");
        result.success = true;
        return decoding;
    }

    if (contents.zeroWord != 0 || contents.globalCookie != kGlobalCookie) {
        result.error = QStringLiteral("Invalid Tox save file magic. Expected [0x00000000] [0x%1]")
                           .arg(hex(kGlobalCookie, 8));
        return decoding;
    }

    // Only a first section that is an intact NOSPAMKEYS section whose public key is the public key
    // of the secret key beside it shows where the secret key is. Otherwise damage may have moved
    // it anywhere, and any renderer could show it (as a status message, a hex dump, a length).
    ByteReader first = file.at(kHeaderSize);
    quint32 firstLength = 0;
    quint16 firstType = 0;
    const bool intact = first.u32le(firstLength) && first.u16le(firstType) &&
                        firstLength == kNospamKeysSize && firstType == kNospamKeysType;
    ByteReader keys = file.at(kSecretKeyOffset - kPublicKeySize);
    QByteArray publicKey;
    QByteArray secretKey;
    const bool keysMatch = intact && keys.bytes(kPublicKeySize, publicKey) &&
                           keys.bytes(kSecretKeySize, secretKey) &&
                           isPublicKeyOf(reinterpret_cast<const uchar *>(publicKey.constData()),
                                         reinterpret_cast<const uchar *>(secretKey.constData()));
    secretKey.fill('\0');
    ByteReader::HiddenRanges hidden; // read by `file` and every reader taken from it
    if (!keysMatch)
        hideSecretKeys(data, intact, hidden, file, contents, report);

    walkSections(file, contents, report);
    result.success = true;
    return decoding;
}

QString keyToHex(const QByteArray &key)
{
    return QString::fromLatin1(key.left(int(kPublicKeySize)).toHex().toUpper());
}

QString sectionTypeName(quint16 type)
{
    switch (type) {
    case 1:
        return QStringLiteral("NOSPAMKEYS");
    case 2:
        return QStringLiteral("DHT");
    case 3:
        return QStringLiteral("FRIENDS");
    case 4:
        return QStringLiteral("NAME");
    case 5:
        return QStringLiteral("STATUSMESSAGE");
    case 6:
        return QStringLiteral("STATUS");
    case 7:
        return QStringLiteral("GROUPS");
    case 10:
        return QStringLiteral("TCP_RELAY");
    case 11:
        return QStringLiteral("PATH_NODE");
    case 20:
        return QStringLiteral("CONFERENCES");
    case kEndSectionType:
        return QStringLiteral("END");
    default:
        return QStringLiteral("UNKNOWN");
    }
}

QString addressFamilyName(quint8 family)
{
    const AddressFamily *known = findAddressFamily(family);
    return known ? QLatin1String(known->name) : QString();
}

QString nodeAddressText(const PackedNode &node)
{
    QString text;
    ByteReader address(node.address);
    if (address.size() == 4) {
        for (quint8 byte = 0; address.u8(byte);) {
            if (!text.isEmpty())
                text += QLatin1Char('.');
            text += dec(byte);
        }
        return text;
    }
    for (quint16 group = 0; address.u16be(group);) {
        if (!text.isEmpty())
            text += QLatin1Char(':');
        text += hex(group, 4);
    }
    return text;
}

QString userStatusText(quint8 status)
{
    switch (status) {
    case 0:
        return QStringLiteral("online");
    case 1:
        return QStringLiteral("away");
    case 2:
        return QStringLiteral("busy");
    default:
        return QStringLiteral("unknown (%1)").arg(dec(status));
    }
}

QString toxId(quint32 nospam, const QByteArray &publicKey)
{
    QByteArray address = publicKey.left(int(kPublicKeySize));
    for (int shift = 24; shift >= 0; shift -= 8)
        address.append(char(nospam >> shift));
    // The checksum XORs the bytes at even and at odd positions into its two bytes.
    char checksum[2] = {0, 0};
    for (int i = 0; i < address.size(); ++i)
        checksum[i % 2] = char(checksum[i % 2] ^ address.at(i));
    address.append(checksum, 2);
    return QString::fromLatin1(address.toHex().toUpper());
}

// ---------------------------------------------------------------------------------------------
// Section renderers on their own

void renderNospamKeysSection(ByteReader payload, quint32 length, QString &report)
{
    renderAlone(1, payload, length, report);
}

void renderDhtSection(ByteReader payload, quint32 length, QString &report)
{
    renderAlone(2, payload, length, report);
}

void renderFriendsSection(ByteReader payload, quint32 length, QString &report)
{
    renderAlone(3, payload, length, report);
}

void renderNameSection(ByteReader payload, quint32 length, QString &report)
{
    renderAlone(4, payload, length, report);
}

void renderStatusMessageSection(ByteReader payload, quint32 length, QString &report)
{
    renderAlone(5, payload, length, report);
}

void renderStatusSection(ByteReader payload, quint32 length, QString &report)
{
    renderAlone(6, payload, length, report);
}

void renderGroupsSection(ByteReader payload, quint32 length, QString &report)
{
    renderAlone(7, payload, length, report);
}

void renderTcpRelaySection(ByteReader payload, quint32 length, QString &report)
{
    renderAlone(10, payload, length, report);
}

void renderPathNodeSection(ByteReader payload, quint32 length, QString &report)
{
    renderAlone(11, payload, length, report);
}

void renderConferencesSection(ByteReader payload, quint32 length, QString &report)
{
    renderAlone(20, payload, length, report);
}

void appendPackedNodes(ByteReader data, quint32 length, bool tcpAllowed, const QString &label,
                       QString &report)
{
    QStringList problems;
    decodeNodeList(firstBytes(data, length), tcpAllowed, label, problems, report);
}

QString saveWriteStatus(WriteStatus status, const QString &outputPath)
{
    switch (status) {
    case WriteStatus::Saved:
        return QStringLiteral("Parsed and saved to %1").arg(outputPath);
    case WriteStatus::IsInput:
        return QStringLiteral("Parsed but could not save to %1 (it is the input file)")
            .arg(outputPath);
    case WriteStatus::IsSymlink:
        return QStringLiteral("Parsed but could not save to %1 (it is a symbolic link)")
            .arg(outputPath);
    case WriteStatus::Failed:
        break;
    }
    return QStringLiteral("Parsed but could not save to %1").arg(outputPath);
}
