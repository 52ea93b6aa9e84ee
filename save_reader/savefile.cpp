#include "savefile.h"

#include "fileio.h"

#include <algorithm>
#include <limits>

// ---------------------------------------------------------------------------------------------
// ByteView

ByteView ByteView::mid(quint64 offset, quint64 width) const
{
    if (offset >= count)
        return ByteView(bytes, 0);
    const quint64 available = count - offset;
    return ByteView(bytes + offset, static_cast<quint32>(std::min(width, available)));
}

quint8 ByteView::u8(quint64 offset) const
{
    return has(offset, 1) ? bytes[offset] : 0;
}

quint16 ByteView::u16le(quint64 offset) const
{
    if (!has(offset, 2))
        return 0;
    return static_cast<quint16>(bytes[offset] | bytes[offset + 1] << 8);
}

quint16 ByteView::u16be(quint64 offset) const
{
    if (!has(offset, 2))
        return 0;
    return static_cast<quint16>(bytes[offset] << 8 | bytes[offset + 1]);
}

quint32 ByteView::u32le(quint64 offset) const
{
    if (!has(offset, 4))
        return 0;
    return quint32(bytes[offset]) | quint32(bytes[offset + 1]) << 8 |
           quint32(bytes[offset + 2]) << 16 | quint32(bytes[offset + 3]) << 24;
}

quint32 ByteView::u32be(quint64 offset) const
{
    if (!has(offset, 4))
        return 0;
    return quint32(bytes[offset]) << 24 | quint32(bytes[offset + 1]) << 16 |
           quint32(bytes[offset + 2]) << 8 | quint32(bytes[offset + 3]);
}

namespace
{

// ---------------------------------------------------------------------------------------------
// Container constants

constexpr int kHeaderSize = 8;        // zero word + global cookie
constexpr int kSectionHeaderSize = 8; // length u32, type u16, cookie u16
constexpr quint32 kGlobalCookie = 0x15ED1B1F;
constexpr quint16 kSectionCookie = 0x01CE;
constexpr quint32 kDhtCookie = 0x0159000D;
constexpr quint16 kDhtNodesSubType = 4;

// Encrypted saves start with a fixed 8-byte marker. Two are known: the one written by the
// toxencryptsave library ("toxEsave") and an older binary one.
constexpr char kEncryptedMagic[] = "toxEsave";
constexpr uchar kEncryptedMarker[kHeaderSize] = {0x01, 0x1E, 0x81, 0xC0, 0xD6, 0x7B, 0xBA, 0x9E};

constexpr quint32 kNospamKeysMinSize = 68; // nospam 4, public key 32, secret key 32
constexpr quint32 kPublicKeySize = 32;
constexpr quint32 kFriendRecordSize = 2216;
constexpr quint32 kFriendStatusOffset = 0;
constexpr quint32 kFriendKeyOffset = 1;
constexpr quint32 kFriendInfoSizeOffset = 1058;
constexpr quint32 kFriendNameOffset = 1060;
constexpr quint32 kFriendNameLengthOffset = 1188;
constexpr quint32 kFriendNameCapacity = 128;
constexpr quint32 kFriendDumpLimit = 64;
constexpr quint32 kNameLimit = 128;
constexpr quint32 kStatusMessageLimit = 200;

// The longest report shown. A real save gives well under a megabyte of report, but every 8 bytes
// of a crafted one can give a line of 60 or more characters, so a file of a few hundred
// megabytes would need a report longer than one string can hold. The walk and the renderers'
// loops stop once the report has reached this length, and the walk says so.
constexpr int kMaxReportLength = 16 * 1024 * 1024;

bool reportFull(const QString &report)
{
    return report.size() >= kMaxReportLength;
}

// ---------------------------------------------------------------------------------------------
// Number formatting

QString dec(quint64 value)
{
    return QString::number(value);
}

// `value` as `width` lowercase hex digits, zero-filled.
QString hex(quint64 value, int width)
{
    return QStringLiteral("%1").arg(value, width, 16, QLatin1Char('0'));
}

// ---------------------------------------------------------------------------------------------
// Section types

using SectionRenderer = void (*)(ByteView, quint32, QString &);

struct SectionType {
    quint16 code;
    const char *name;
    SectionRenderer renderer;
};

constexpr quint16 kEndSectionType = 255;

const SectionType kSectionTypes[] = {
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
    {kEndSectionType, "END", nullptr},
};

const SectionType *findSectionType(quint16 code)
{
    for (const SectionType &type : kSectionTypes) {
        if (type.code == code)
            return &type;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Packed nodes

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

const AddressFamily *findAddressFamily(quint8 code, bool tcpAllowed)
{
    for (const AddressFamily &family : kAddressFamilies) {
        if (family.code == code && (tcpAllowed || !family.tcpOnly))
            return &family;
    }
    return nullptr;
}

QString formatAddress(ByteView address)
{
    QString text;
    if (address.size() == 4) {
        for (quint32 i = 0; i < 4; ++i) {
            if (i > 0)
                text += QLatin1Char('.');
            text += dec(address.u8(i));
        }
        return text;
    }
    for (quint32 group = 0; group < address.size() / 2; ++group) {
        if (group > 0)
            text += QLatin1Char(':');
        text += hex(address.u16be(group * 2), 4);
    }
    return text;
}

// ---------------------------------------------------------------------------------------------
// Text

// Bytes 0x20..0x7E print as themselves; every other byte as \xNN.
void appendEscapedBytes(ByteView bytes, QString &report)
{
    for (quint32 i = 0; i < bytes.size(); ++i) {
        const quint8 byte = bytes.u8(i);
        if (byte >= 0x20 && byte <= 0x7E) {
            report += QLatin1Char(static_cast<char>(byte));
        } else {
            report += QLatin1String("\\x");
            report += hex(byte, 2);
        }
    }
}

void renderQuotedText(const char *titleTemplate, ByteView payload, quint32 length, quint32 limit,
                      QString &report)
{
    report += QString::fromLatin1(titleTemplate).arg(length);
    appendEscapedBytes(payload.mid(0, std::min(length, limit)), report);
    report += QLatin1String("\"\n");
}

QString userStatusWord(quint8 status)
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

void appendEndLines(quint64 totalSections, QString &report)
{
    report += QLatin1String("\n=== End of save file ===\n");
    report += QStringLiteral("Total sections: %1\n").arg(totalSections);
}

bool startsWith(const QByteArray &data, const uchar *marker)
{
    return data.size() >= kHeaderSize && std::equal(marker, marker + kHeaderSize, data.constData(),
                                                    [](uchar m, char d) { return m == uchar(d); });
}

bool isEncrypted(const QByteArray &data)
{
    return startsWith(data, kEncryptedMarker) ||
           startsWith(data, reinterpret_cast<const uchar *>(kEncryptedMagic));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Public entry points

QString keyToHex(ByteView key)
{
    static const char digits[] = "0123456789ABCDEF";
    const ByteView bytes = key.mid(0, kPublicKeySize);
    QString text(static_cast<int>(2 * bytes.size()), Qt::Uninitialized);
    QChar *out = text.data();
    for (quint32 i = 0; i < bytes.size(); ++i) {
        *out++ = QLatin1Char(digits[bytes.u8(i) >> 4]);
        *out++ = QLatin1Char(digits[bytes.u8(i) & 0x0F]);
    }
    return text;
}

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
    ParseResult result;
    const ByteView file(data);
    const quint64 fileSize = file.size();

    if (fileSize < kHeaderSize) {
        result.error = QStringLiteral("File too small to be a valid Tox save file");
        return result;
    }

    QString &report = result.report;
    report += QStringLiteral("=== Tox Save File: %1 ===\n").arg(path);
    report += QStringLiteral("File size: %1 bytes\n\n").arg(fileSize);
    const quint32 zeroWord = file.u32le(0);
    const quint32 globalCookie = file.u32le(4);
    report += QStringLiteral("Global header: [0x%1] [0x%2]\n")
                  .arg(hex(zeroWord, 8), hex(globalCookie, 8));

    if (isEncrypted(data)) {
        report += QLatin1String("\n!!! This file appears to be ENCRYPTED (ToxEncrypt format) !!!\n"
                                "!!! Decrypt it first with toxencryptsave before parsing. !!!\n\n");
        result.success = true;
        return result;
    }

    if (zeroWord != 0 || globalCookie != kGlobalCookie) {
        result.error = QStringLiteral("Invalid Tox save file magic. Expected [0x00000000] [0x%1]")
                           .arg(hex(kGlobalCookie, 8));
        return result;
    }

    quint64 sectionIndex = 0;
    quint64 sectionOffset = kHeaderSize;
    while (file.has(sectionOffset, kSectionHeaderSize)) {
        const quint32 length = file.u32le(sectionOffset);
        const quint16 type = file.u16le(sectionOffset + 4);
        const quint16 cookie = file.u16le(sectionOffset + 6);
        const quint64 payloadOffset = sectionOffset + kSectionHeaderSize;
        const quint64 payloadEnd = payloadOffset + length;

        if (!file.has(payloadOffset, length)) {
            report += QStringLiteral("\nError: Section %1 extends beyond file (offset=%2, "
                                     "length=%3, file_size=%4)\n")
                          .arg(dec(sectionIndex), dec(payloadOffset), dec(length), dec(fileSize));
            break;
        }

        const SectionType *known = findSectionType(type);
        report +=
            QStringLiteral("\nSection %1: type=%2 (%3), cookie=0x%4, length=%5\n")
                .arg(dec(sectionIndex), dec(type), QLatin1String(known ? known->name : "UNKNOWN"),
                     hex(cookie, 4), dec(length));
        if (cookie != kSectionCookie) {
            report += QStringLiteral("  (unexpected cookie type - expected 0x%1)\n")
                          .arg(hex(kSectionCookie, 4));
        }

        if (type == kEndSectionType) {
            report += QLatin1String("  (end marker)\n");
            appendEndLines(sectionIndex + 1, report);
            result.success = true;
            return result;
        }
        if (known && known->renderer)
            known->renderer(file.mid(payloadOffset, length), length, report);
        else
            report += QStringLiteral("  (%1 unknown bytes)\n").arg(length);

        ++sectionIndex;
        sectionOffset = payloadEnd;
        if (reportFull(report)) {
            report += QStringLiteral("\n!!! Report cut: it reached %1 characters, the most this "
                                     "program shows; the rest of the file was not decoded. !!!\n")
                          .arg(kMaxReportLength);
            break;
        }
    }

    appendEndLines(sectionIndex, report);
    result.success = true;
    return result;
}

// ---------------------------------------------------------------------------------------------
// Account sections

void renderNospamKeysSection(ByteView payload, quint32 length, QString &report)
{
    report += QStringLiteral("  [NOSPAMKEYS Section] (%1 bytes)\n").arg(length);
    if (length < kNospamKeysMinSize || !payload.has(0, kNospamKeysMinSize)) {
        report += QLatin1String("    (too short)\n");
        return;
    }
    // The nospam is shown the way the Tox ID carries it: its four bytes in stored order.
    const quint32 nospam = payload.u32be(0);
    report += QStringLiteral("    nospam: 0x%1 (%2)\n").arg(hex(nospam, 8), dec(nospam));
    report += QStringLiteral("    public_key: %1\n").arg(keyToHex(payload.mid(4, kPublicKeySize)));
    // The secret key (bytes 36 to 67) is never read.
    report += QLatin1String("    secret_key: <hidden>\n");
}

void renderFriendsSection(ByteView payload, quint32 length, QString &report)
{
    report += QStringLiteral("  [FRIENDS Section] (%1 bytes)\n").arg(length);
    if (length == 0 || length % kFriendRecordSize != 0) {
        report += QStringLiteral("    (unexpected size - not a multiple of %1; length=%2)\n")
                      .arg(kFriendRecordSize)
                      .arg(length);
        report += QLatin1String("    Raw hex dump of first 64 bytes:\n      ");
        const ByteView dump = payload.mid(0, std::min(length, kFriendDumpLimit));
        for (quint32 i = 0; i < dump.size(); ++i) {
            report += hex(dump.u8(i), 2);
            report += QLatin1Char(' ');
        }
        report += QLatin1Char('\n');
        return;
    }

    const quint32 friendCount = length / kFriendRecordSize;
    report += QStringLiteral("    Number of friends: %1\n").arg(friendCount);
    for (quint32 friendIndex = 0; friendIndex < friendCount && !reportFull(report); ++friendIndex) {
        const ByteView record =
            payload.mid(quint64(friendIndex) * kFriendRecordSize, kFriendRecordSize);
        if (record.size() < kFriendRecordSize)
            break; // only when the payload view is shorter than its stated length
        const quint8 status = record.u8(kFriendStatusOffset);
        report += QStringLiteral("    Friend %1: status=%2 pk=%3 info_size=%4")
                      .arg(dec(friendIndex), dec(status),
                           keyToHex(record.mid(kFriendKeyOffset, kPublicKeySize)),
                           dec(record.u16be(kFriendInfoSizeOffset)));
        if (status > 2) {
            const quint32 nameLength =
                std::min<quint32>(record.u16be(kFriendNameLengthOffset), kFriendNameCapacity);
            const ByteView name = record.mid(kFriendNameOffset, nameLength);
            report += QStringLiteral(" name=\"%1\"")
                          .arg(QString::fromUtf8(reinterpret_cast<const char *>(name.data()),
                                                 static_cast<int>(name.size())));
        }
        report += QLatin1Char('\n');
    }
}

void renderNameSection(ByteView payload, quint32 length, QString &report)
{
    renderQuotedText("  [NAME Section] (%1 bytes): \"", payload, length, kNameLimit, report);
}

void renderStatusMessageSection(ByteView payload, quint32 length, QString &report)
{
    renderQuotedText("  [STATUSMESSAGE Section] (%1 bytes): \"", payload, length,
                     kStatusMessageLimit, report);
}

void renderStatusSection(ByteView payload, quint32 length, QString &report)
{
    report += QStringLiteral("  [STATUS Section] (%1 bytes): ").arg(length);
    if (length > 0 && payload.has(0, 1))
        report += userStatusWord(payload.u8(0));
    report += QLatin1Char('\n');
}

void renderGroupsSection(ByteView, quint32 length, QString &report)
{
    report += QStringLiteral("  (msgpack-encoded binary data, %1 bytes)\n").arg(length);
}

void renderConferencesSection(ByteView, quint32 length, QString &report)
{
    report += QStringLiteral("  (conference data, %1 bytes)\n").arg(length);
}

// ---------------------------------------------------------------------------------------------
// Node lists

void appendPackedNodes(ByteView data, quint32 length, bool tcpAllowed, const QString &label,
                       QString &report)
{
    const ByteView list = data.mid(0, length);
    quint64 pos = 0;
    quint64 count = 0;
    while (pos < list.size() && !reportFull(report)) {
        const AddressFamily *family = findAddressFamily(list.u8(pos), tcpAllowed);
        const quint64 nodeSize = family ? 3 + family->addressWidth + kPublicKeySize : 0;
        if (!family || !list.has(pos, nodeSize)) {
            report += QStringLiteral("      [error parsing node at offset %1]\n").arg(dec(pos));
            break;
        }
        const ByteView address = list.mid(pos + 1, family->addressWidth);
        const quint16 port = list.u16be(pos + 1 + family->addressWidth);
        const ByteView key = list.mid(pos + 3 + family->addressWidth, kPublicKeySize);
        report += QStringLiteral("      Node %1: %2 ").arg(dec(count), QLatin1String(family->name));
        report += formatAddress(address);
        report += QStringLiteral(":%1 pubkey=%2\n").arg(dec(port), keyToHex(key));
        pos += nodeSize;
        ++count;
    }
    report += QStringLiteral("    Total %1: %2 node(s)\n").arg(label, dec(count));
}

void renderDhtSection(ByteView payload, quint32 length, QString &report)
{
    report += QLatin1String("  [DHT Section]\n");
    const ByteView dht = payload.mid(0, length);
    if (dht.size() < 4) {
        report += QStringLiteral("    (too short: %1 bytes)\n").arg(length);
        return;
    }
    const quint32 cookie = dht.u32le(0);
    report += QStringLiteral("    DHT cookie: 0x%1 (expected 0x%2)\n")
                  .arg(hex(cookie, 8), hex(kDhtCookie, 8));
    if (cookie != kDhtCookie) {
        report += QLatin1String("    (invalid DHT cookie - skipping)\n");
        return;
    }

    quint64 off = 4;
    while (dht.has(off, 8) && !reportFull(report)) {
        const quint32 subLength = dht.u32le(off);
        const quint16 type = dht.u16le(off + 4);
        const quint16 subCookie = dht.u16le(off + 6);
        report += QStringLiteral("    Sub-section: length=%1, cookie=0x%2, type=%3")
                      .arg(dec(subLength), hex(subCookie, 4), dec(type));
        if (!dht.has(off + 8, subLength)) {
            report += QLatin1String(" (extends beyond section!)\n");
            return;
        }
        if (type == kDhtNodesSubType) {
            if (subLength != 0) {
                report += QLatin1String(" [DHT NODES]\n");
                appendPackedNodes(dht.mid(off + 8, subLength), subLength, false,
                                  QStringLiteral("DHT nodes"), report);
            } else {
                report += QLatin1String(" (empty)\n");
            }
        } else {
            report += QStringLiteral(" (unknown, %1 bytes of data)\n").arg(subLength);
        }
        off += 8 + quint64(subLength);
    }
    // 1 to 7 bytes after the last sub-section are not reported.
}

namespace
{

void renderNodeListSection(const char *title, ByteView payload, quint32 length, bool tcpAllowed,
                           const char *label, QString &report)
{
    report += QLatin1String(title);
    if (length == 0) {
        report += QLatin1String("    (empty)\n");
        return;
    }
    appendPackedNodes(payload, length, tcpAllowed, QLatin1String(label), report);
}

} // namespace

void renderTcpRelaySection(ByteView payload, quint32 length, QString &report)
{
    renderNodeListSection("  [TCP_RELAY Section]\n", payload, length, true, "TCP relays", report);
}

void renderPathNodeSection(ByteView payload, quint32 length, QString &report)
{
    renderNodeListSection("  [PATH_NODE Section]\n", payload, length, false, "path nodes", report);
}
