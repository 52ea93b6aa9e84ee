// Decoder of Tox save files: walks the typed sections of a save into plain records and renders
// them as a plain-text report, one line at a time as each record is decoded, so that the records
// hold exactly what the report shows (and no more than a friend's status message and user status
// besides). Nothing here touches a widget, and nothing throws; every read goes through a
// bounds-checked ByteReader.
#pragma once

#include "bytereader.h"
#include "fileio.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

// The outcome of decoding one save file. Every failure leaves `success` false and `error`
// non-empty; every success leaves `error` empty. Callers use `report` only on success.
struct ParseResult {
    QString report;
    bool success = false;
    QString error;
};

// One record of a DHT node, TCP relay or path node list.
struct PackedNode {
    quint8 family = 0;    // 2 IPv4, 10 IPv6, 130 TCP_IPv4, 138 TCP_IPv6
    QByteArray address;   // 4 or 16 bytes, network order
    quint16 port = 0;     // host order
    QByteArray publicKey; // 32 bytes
};

// A packed node list as far as the report shows it.
struct NodeList {
    QVector<PackedNode> nodes;
    bool damaged = false;     // a node could not be decoded; the rest of the list was not read
    quint64 damageOffset = 0; // its offset from the start of the list
};

struct SaveFriend {
    quint8 status = 0;
    QByteArray publicKey; // 32 bytes
    quint16 infoSize = 0;
    bool hasName = false; // only a friend with a status above 2 shows a name
    QString name;
    // Kept for the same friends as the name; only the machine-readable form shows them.
    QString statusMessage;
    quint8 userStatus = 0;
};

struct DhtSubSection {
    enum class Content { Nodes, Empty, Unknown, BeyondSection };
    quint32 length = 0;
    quint16 type = 0;
    quint16 cookie = 0;
    Content content = Content::Unknown;
    NodeList nodes; // for Content::Nodes
};

// One section of the walk, with the fields of its type as far as the report shows them (and, of
// a friend, its status message and user status).
struct SaveSection {
    quint64 index = 0;
    quint64 offset = 0; // of the section header in the file
    quint32 length = 0;
    quint16 type = 0;
    quint16 cookie = 0;

    bool tooShort = false; // NOSPAMKEYS under 68 bytes, DHT under 4
    // NOSPAMKEYS
    quint32 nospam = 0;   // its four bytes in stored order, as the Tox ID carries them
    QByteArray publicKey; // empty when hidden
    // The public key is not the X25519 public key of the secret key beside it, so it and the
    // nospam may be any bytes (the secret key itself, moved there by damage) and are not shown.
    bool keysHidden = false;
    // FRIENDS: the friends, or the first 64 bytes of a payload of unexpected size
    bool unexpectedSize = false;
    QByteArray rawDump;
    QVector<SaveFriend> friends;
    // NAME and STATUSMESSAGE: the bytes shown (the first 128 or 200)
    QByteArray text;
    // STATUS: the first byte of a non-empty payload
    bool hasStatus = false;
    quint8 status = 0;
    // DHT
    quint32 dhtCookie = 0;
    bool dhtCookieValid = false;
    QVector<DhtSubSection> subSections;
    // TCP_RELAY and PATH_NODE
    NodeList nodes;

    // Every damage the report shows for this section, in report order.
    QStringList problems;
};

// A whole save as far as the report shows it.
struct SaveContents {
    quint64 fileSize = 0;
    quint32 zeroWord = 0;
    quint32 globalCookie = 0;
    bool encrypted = false;
    // The first section is not an intact NOSPAMKEYS section, so the bytes where a save keeps its
    // secret key (52 to 83) were read as zeros throughout.
    bool secretKeyHidden = false;
    QVector<SaveSection> sections;
    // Damage of the file as a whole (a section beyond the end, the report cut), in report order.
    QStringList problems;
};

struct SaveDecoding {
    ParseResult result;
    SaveContents contents; // meaningful when result.success
};

// Reads the file at `path` (see readInputFile) and decodes it.
ParseResult parseSaveFile(const QString &path);

// Decodes a save already held in memory; `path` is only printed in the title line.
ParseResult parseSaveData(const QByteArray &data, const QString &path);

// The same, also keeping the records that the report was rendered from.
SaveDecoding decodeSaveData(const QByteArray &data, const QString &path);

// The first 32 bytes of `key` as 64 uppercase hex digits, without separators. A key shorter than
// 32 bytes gives the digits of the bytes it has.
QString keyToHex(const QByteArray &key);

// The name the report prints for a section type ("NOSPAMKEYS", ..., "END", "UNKNOWN").
QString sectionTypeName(quint16 type);
// The name of an address family ("IPv4", "IPv6", "TCP_IPv4", "TCP_IPv6"), empty for others.
QString addressFamilyName(quint8 family);
// A node's address as the report prints it: dotted decimal, or eight groups of four hex digits.
QString nodeAddressText(const PackedNode &node);
// The user status word of a STATUS byte: "online", "away", "busy" or "unknown (%1)".
QString userStatusText(quint8 status);
// The Tox ID of a NOSPAMKEYS section as clients show it: public key, nospam and the two-byte
// checksum, 76 uppercase hex digits.
QString toxId(quint32 nospam, const QByteArray &publicKey);

// Section renderers. Each takes the section payload (which lies wholly inside the file buffer),
// the section header's length and the report, and only appends lines to the report.
void renderNospamKeysSection(ByteReader payload, quint32 length, QString &report);
void renderFriendsSection(ByteReader payload, quint32 length, QString &report);
void renderNameSection(ByteReader payload, quint32 length, QString &report);
void renderStatusMessageSection(ByteReader payload, quint32 length, QString &report);
void renderStatusSection(ByteReader payload, quint32 length, QString &report);
void renderGroupsSection(ByteReader payload, quint32 length, QString &report);
void renderConferencesSection(ByteReader payload, quint32 length, QString &report);
void renderDhtSection(ByteReader payload, quint32 length, QString &report);
void renderTcpRelaySection(ByteReader payload, quint32 length, QString &report);
void renderPathNodeSection(ByteReader payload, quint32 length, QString &report);

// Prints a packed node list of `length` bytes: one line per node, at most one error line, and
// the total line labelled `label`. Families 130 and 138 are accepted only when `tcpAllowed`.
void appendPackedNodes(ByteReader data, quint32 length, bool tcpAllowed, const QString &label,
                       QString &report);

// The status line once the report was written to `outputPath`, or was not: what save_reader shows
// and tox-inspect prints.
QString saveWriteStatus(WriteStatus status, const QString &outputPath);
