// Decoder of Tox save files: walks the typed sections of a save and renders them as a plain-text
// report. Nothing here touches a widget, and nothing throws; every read is bounds-checked against
// the bytes it was given.
#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

// The outcome of decoding one save file. Every failure leaves `success` false and `error`
// non-empty; every success leaves `error` empty. Callers use `report` only on success.
struct ParseResult {
    QString report;
    bool success = false;
    QString error;
};

// A read-only, bounds-checked window onto bytes owned by someone else (the file buffer).
// Every accessor checks its offset and width against the window; reading past the end yields 0
// and is a programming error that the decoders never commit (they test `has` first).
class ByteView
{
public:
    ByteView() = default;
    ByteView(const uchar *data, quint32 size) : bytes(data), count(size) {}
    ByteView(const QByteArray &array)
        : bytes(reinterpret_cast<const uchar *>(array.constData())),
          count(static_cast<quint32>(array.size()))
    {
    }

    quint32 size() const { return count; }
    const uchar *data() const { return bytes; }

    // True when `width` bytes starting at `offset` lie inside the view.
    bool has(quint64 offset, quint64 width) const
    {
        return offset <= count && width <= count - offset;
    }

    // `width` bytes from `offset`, cut to what the view holds.
    ByteView mid(quint64 offset, quint64 width) const;

    quint8 u8(quint64 offset) const;
    quint16 u16le(quint64 offset) const;
    quint16 u16be(quint64 offset) const;
    quint32 u32le(quint64 offset) const;
    quint32 u32be(quint64 offset) const;

private:
    const uchar *bytes = nullptr;
    quint32 count = 0;
};

// Reads the file at `path` and decodes it. Only regular files are read; a file that does not
// fit into one byte array is refused rather than read in part.
ParseResult parseSaveFile(const QString &path);

// Decodes a save already held in memory; `path` is only printed in the title line.
// parseSaveFile reads the file and hands its bytes to this function.
ParseResult parseSaveData(const QByteArray &data, const QString &path);

// The first 32 bytes of `key` as 64 uppercase hex digits, without separators. A view shorter
// than 32 bytes gives the digits of the bytes it has.
QString keyToHex(ByteView key);

// Section renderers. Each takes the section payload (which lies wholly inside the file buffer),
// the section header's length and the report, and only appends lines to the report.
void renderNospamKeysSection(ByteView payload, quint32 length, QString &report);
void renderFriendsSection(ByteView payload, quint32 length, QString &report);
void renderNameSection(ByteView payload, quint32 length, QString &report);
void renderStatusMessageSection(ByteView payload, quint32 length, QString &report);
void renderStatusSection(ByteView payload, quint32 length, QString &report);
void renderGroupsSection(ByteView payload, quint32 length, QString &report);
void renderConferencesSection(ByteView payload, quint32 length, QString &report);
void renderDhtSection(ByteView payload, quint32 length, QString &report);
void renderTcpRelaySection(ByteView payload, quint32 length, QString &report);
void renderPathNodeSection(ByteView payload, quint32 length, QString &report);

// Prints a packed node list of `length` bytes: one line per node, at most one error line, and
// the total line labelled `label`. Families 130 and 138 are accepted only when `tcpAllowed`.
void appendPackedNodes(ByteView data, quint32 length, bool tcpAllowed, const QString &label,
                       QString &report);
