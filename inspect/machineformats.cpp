#include "machineformats.h"

#include <QCryptographicHash>

#include <charconv>
#include <vector>

namespace
{

constexpr int pieceSize = 1 << 20;

// Gathers output and hands it to the sink in pieces of about a megabyte.
class Piece
{
public:
    explicit Piece(const ByteSink &sink) : sink(sink) { bytes.reserve(pieceSize + pieceSize / 4); }

    // Hands the bytes on once a piece is full; false once the sink has failed.
    bool next() { return bytes.size() < pieceSize || flush(); }
    bool flush()
    {
        ok = ok && sink(bytes.constData(), bytes.size());
        bytes.resize(0); // keeps the reserved capacity
        return ok;
    }

    QByteArray bytes;

private:
    const ByteSink &sink;
    bool ok = true;
};

void appendNumber(QByteArray &out, qint64 value)
{
    char digits[24];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, int(end.ptr - digits));
}

enum class Quoting { Json, Csv };

// Appends `text` as UTF-8 between double quotes, escaped for JSON or for CSV (where only the
// double quote is doubled). A lone surrogate, which no decoded text holds, becomes U+FFFD.
void appendString(QByteArray &out, const QString &text, Quoting quoting)
{
    const QChar *in = text.constData();
    const int size = text.size();
    const int start = out.size();
    out.resize(start + 2 + 6 * size); // the longest form of one UTF-16 unit is \u00XX
    char *p = out.data() + start;
    *p++ = '"';
    for (int i = 0; i < size; ++i) {
        const char16_t unit = in[i].unicode();
        if (unit >= 0x20 && unit < 0x80 && unit != '"' && unit != '\\') {
            *p++ = char(unit);
        } else if (unit < 0x80 && quoting == Quoting::Csv) {
            if (unit == '"')
                *p++ = '"';
            *p++ = char(unit);
        } else if (unit < 0x80) {
            static const char hexDigits[] = "0123456789abcdef";
            *p++ = '\\';
            switch (unit) {
            case '"':
            case '\\':
                *p++ = char(unit);
                break;
            case '\n':
                *p++ = 'n';
                break;
            case '\r':
                *p++ = 'r';
                break;
            case '\t':
                *p++ = 't';
                break;
            default:
                *p++ = 'u';
                *p++ = '0';
                *p++ = '0';
                *p++ = hexDigits[unit >> 4];
                *p++ = hexDigits[unit & 0xF];
            }
        } else if (unit < 0x800) {
            *p++ = char(0xC0 | (unit >> 6));
            *p++ = char(0x80 | (unit & 0x3F));
        } else {
            char32_t code = unit;
            if (QChar::isSurrogate(unit)) {
                const bool pair =
                    QChar::isHighSurrogate(unit) && i + 1 < size && in[i + 1].isLowSurrogate();
                code = pair ? QChar::surrogateToUcs4(unit, in[++i].unicode()) : 0xFFFD;
            }
            if (code >= 0x10000) {
                *p++ = char(0xF0 | (code >> 18));
                *p++ = char(0x80 | ((code >> 12) & 0x3F));
            } else {
                *p++ = char(0xE0 | (code >> 12));
            }
            *p++ = char(0x80 | ((code >> 6) & 0x3F));
            *p++ = char(0x80 | (code & 0x3F));
        }
    }
    *p++ = '"';
    out.resize(int(p - out.constData()));
}

// Writes `value` as `width` ASCII digits, zero-filled.
char *putDigits(char *out, qint64 value, int width)
{
    for (int i = width - 1; i >= 0; --i, value /= 10)
        out[i] = char('0' + value % 10);
    return out + width;
}

// Appends the local time the windows show, as ISO 8601 with its offset from UTC between double
// quotes ("2024-05-01T13:45:10+02:00"), and returns the time in seconds since the epoch.
qint64 appendIsoTime(QByteArray &out, const LocalTimestamp &timestamp)
{
    constexpr qint64 julianDayOfEpoch = 2440588;
    const qint64 epoch = timestamp.toSecsSinceEpoch();
    const QDate date = timestamp.date();
    const QTime time = timestamp.time();
    const qint64 local =
        (date.toJulianDay() - julianDayOfEpoch) * 86400 + time.msecsSinceStartOfDay() / 1000;
    const qint64 offsetMinutes = (local - epoch) / 60;
    char text[] = "\"yyyy-MM-ddTHH:mm:ss+hh:mm\"";
    putDigits(text + 1, date.year(), 4);
    putDigits(text + 6, date.month(), 2);
    putDigits(text + 9, date.day(), 2);
    putDigits(text + 12, time.hour(), 2);
    putDigits(text + 15, time.minute(), 2);
    putDigits(text + 18, time.second(), 2);
    text[20] = offsetMinutes < 0 ? '-' : '+';
    putDigits(text + 21, qAbs(offsetMinutes) / 60, 2);
    putDigits(text + 24, qAbs(offsetMinutes) % 60, 2);
    out.append(text, int(sizeof text) - 1);
    return epoch;
}

// The fields of one message after its file (CSV) or as a JSON object: both forms share the
// order n, time, epoch, type, type_name, direction, direction_label, flags, sender, text.
void appendMessage(QByteArray &out, const LogMessage &message, int number, Quoting quoting)
{
    const bool json = quoting == Quoting::Json;
    out += json ? "{\"n\":" : ",";
    appendNumber(out, number);
    out += json ? ",\"time\":" : ",";
    const qint64 epoch = appendIsoTime(out, message.timestamp);
    out += json ? ",\"epoch\":" : ",";
    appendNumber(out, epoch);
    out += json ? ",\"type\":" : ",";
    appendNumber(out, message.type);
    out += json ? ",\"type_name\":" : ",";
    appendString(out, typeName(message.type), quoting);
    out += json ? ",\"direction\":" : ",";
    appendNumber(out, message.direction);
    out += json ? ",\"direction_label\":" : ",";
    appendString(out, directionLabel(message.direction), quoting);
    out += json ? ",\"flags\":" : ",";
    appendNumber(out, message.flags);
    out += json ? ",\"sender\":" : ",";
    appendString(out, message.sender, quoting);
    out += json ? ",\"text\":" : ",";
    appendString(out, message.text, quoting);
    out += json ? "}\n" : "\r\n";
}

// Writes one JSON value, placing the commas between members and elements.
class Json
{
public:
    explicit Json(QByteArray &out) : out(out) {}

    Json &key(const char *name)
    {
        separate();
        out += '"';
        out += name;
        out += "\":";
        afterKey = true;
        return *this;
    }
    Json &open(char bracket)
    {
        separate();
        out += bracket;
        filled.push_back(false);
        return *this;
    }
    Json &close(char bracket)
    {
        out += bracket;
        filled.pop_back();
        return *this;
    }
    Json &number(qint64 value)
    {
        separate();
        appendNumber(out, value);
        return *this;
    }
    Json &string(const QString &text)
    {
        separate();
        appendString(out, text, Quoting::Json);
        return *this;
    }
    Json &boolean(bool value) { return raw(value ? "true" : "false"); }
    Json &null() { return raw("null"); }
    Json &time(const LocalTimestamp &timestamp)
    {
        separate();
        appendIsoTime(out, timestamp);
        return *this;
    }
    Json &strings(const QStringList &texts)
    {
        open('[');
        for (const QString &text : texts)
            string(text);
        return close(']');
    }

private:
    Json &raw(const char *text)
    {
        separate();
        out += text;
        return *this;
    }
    void separate()
    {
        if (afterKey) {
            afterKey = false;
        } else if (!filled.empty()) {
            if (filled.back())
                out += ',';
            filled.back() = true;
        }
    }

    QByteArray &out;
    std::vector<bool> filled; // per open object or array: whether it has a member yet
    bool afterKey = false;
};

void writeFileFacts(Json &json, const FileFacts &file)
{
    json.key("file").string(file.path).key("size");
    if (file.size < 0)
        json.null().key("sha256").null();
    else
        json.number(file.size).key("sha256").string(QString::fromLatin1(file.sha256));
}

QString utf8Text(const QByteArray &bytes)
{
    // Every byte: the QByteArray overload would stop at a zero byte.
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

void writeNodes(Json &json, const QVector<PackedNode> &nodes)
{
    json.key("nodes").open('[');
    for (const PackedNode &node : nodes) {
        json.open('{')
            .key("family")
            .string(addressFamilyName(node.family))
            .key("address")
            .string(nodeAddressText(node))
            .key("port")
            .number(node.port)
            .key("public_key")
            .string(keyToHex(node.publicKey))
            .close('}');
    }
    json.close(']');
}

void writeFriends(Json &json, const QVector<SaveFriend> &friends)
{
    json.key("friends").open('[');
    for (const SaveFriend &person : friends) {
        json.open('{')
            .key("status")
            .number(person.status)
            .key("public_key")
            .string(keyToHex(person.publicKey))
            .key("info_size")
            .number(person.infoSize);
        // Only a confirmed friend has them, as only a confirmed friend shows a name.
        if (person.hasName) {
            json.key("name").string(person.name).key("status_message").string(person.statusMessage);
            json.key("user_status").string(userStatusText(person.userStatus));
        } else {
            json.key("name").null().key("status_message").null().key("user_status").null();
        }
        json.close('}');
    }
    json.close(']');
}

void writeDhtSubSections(Json &json, const QVector<DhtSubSection> &subSections)
{
    static const char *const contents[] = {"nodes", "empty", "unknown", "beyond_section"};
    json.key("sub_sections").open('[');
    for (const DhtSubSection &sub : subSections) {
        json.open('{')
            .key("length")
            .number(sub.length)
            .key("type")
            .number(sub.type)
            .key("cookie")
            .number(sub.cookie)
            .key("content")
            .string(QLatin1String(contents[int(sub.content)]));
        if (sub.content == DhtSubSection::Content::Nodes)
            writeNodes(json, sub.nodes.nodes);
        json.close('}');
    }
    json.close(']');
}

// The decoded fields of a section's type, as far as the report shows them.
void writeSectionFields(Json &json, const SaveSection &section)
{
    switch (section.type) {
    case 1:
        if (!section.tooShort) {
            json.key("nospam").number(section.nospam);
            json.key("public_key").string(keyToHex(section.publicKey));
            json.key("tox_id").string(toxId(section.nospam, section.publicKey));
        }
        break;
    case 2:
        if (!section.tooShort)
            json.key("dht_cookie").number(section.dhtCookie);
        if (section.dhtCookieValid)
            writeDhtSubSections(json, section.subSections);
        break;
    case 3:
        if (section.unexpectedSize)
            json.key("raw_dump").string(QString::fromLatin1(section.rawDump.toHex()));
        else
            writeFriends(json, section.friends);
        break;
    case 4:
        json.key("name").string(utf8Text(section.text));
        break;
    case 5:
        json.key("status_message").string(utf8Text(section.text));
        break;
    case 6:
        json.key("status");
        if (section.hasStatus)
            json.string(userStatusText(section.status));
        else
            json.null();
        break;
    case 10:
    case 11:
        writeNodes(json, section.nodes.nodes);
        break;
    default: // END, GROUPS, CONFERENCES and unknown types: their length is all there is
        break;
    }
}

// Why the record walk stopped, as the summary of a log says it.
QString stopText(LogParseResult::Stop stop)
{
    switch (stop) {
    case LogParseResult::Stop::DamagedRecord:
        return QStringLiteral("damaged record");
    case LogParseResult::Stop::MessageLimit:
        return QStringLiteral("message limit");
    case LogParseResult::Stop::TextLimit:
        return QStringLiteral("text limit");
    case LogParseResult::Stop::EndOfFile:
        break;
    }
    return QStringLiteral("end of file");
}

} // namespace

FileFacts fileFacts(const QString &path, const QByteArray &data)
{
    return {path, data.size(), QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex()};
}

bool writeLogJsonLines(const ByteSink &sink, const std::function<FileFacts()> &file,
                       const LogParseResult &log)
{
    Piece piece(sink);
    const QList<LogMessage> &messages = log.messages;
    for (int i = 0; i < messages.size(); ++i) {
        appendMessage(piece.bytes, messages.at(i), i + 1, Quoting::Json);
        if (!piece.next())
            return false;
    }
    Json json(piece.bytes);
    json.open('{');
    writeFileFacts(json, file());
    const bool ok = log.error.isEmpty();
    json.key("ok").boolean(ok).key("error");
    if (ok)
        json.null();
    else
        json.string(log.error);
    json.key("messages").number(messages.size());
    if (messages.isEmpty())
        json.key("first").null().key("last").null();
    else
        json.key("first")
            .time(messages.first().timestamp)
            .key("last")
            .time(messages.last().timestamp);
    json.key("limit_reached").boolean(log.limitReached);
    json.key("decoded_bytes").number(log.decodedBytes).key("stopped");
    if (ok)
        json.string(stopText(log.stopped));
    else
        json.null();
    json.close('}');
    piece.bytes += '\n';
    return piece.flush();
}

bool writeLogCsvHeader(const ByteSink &sink)
{
    static const char header[] =
        "file,n,time,epoch,type,type_name,direction,direction_label,flags,sender,text\r\n";
    return sink(header, qint64(sizeof header) - 1);
}

bool writeLogCsvRows(const ByteSink &sink, const QString &path, const LogParseResult &log)
{
    QByteArray file;
    appendString(file, path, Quoting::Csv);
    Piece piece(sink);
    for (int i = 0; i < log.messages.size(); ++i) {
        piece.bytes += file;
        appendMessage(piece.bytes, log.messages.at(i), i + 1, Quoting::Csv);
        if (!piece.next())
            return false;
    }
    return piece.flush();
}

bool writeSaveJson(const ByteSink &sink, const FileFacts &file, const SaveDecoding *decoding,
                   const QString &error, bool decrypted)
{
    Piece piece(sink);
    Json json(piece.bytes);
    const bool ok = decoding && error.isEmpty();
    json.open('{');
    writeFileFacts(json, file);
    json.key("encrypted").boolean(decrypted || (decoding && decoding->contents.encrypted));
    json.key("decrypted").boolean(decrypted);
    json.key("ok").boolean(ok).key("error");
    if (ok)
        json.null();
    else
        json.string(error);
    json.key("sections").open('[');
    const QVector<SaveSection> sections = ok ? decoding->contents.sections : QVector<SaveSection>();
    for (const SaveSection &section : sections) {
        json.open('{')
            .key("index")
            .number(qint64(section.index))
            .key("offset")
            .number(qint64(section.offset))
            .key("type")
            .number(section.type)
            .key("type_name")
            .string(sectionTypeName(section.type))
            .key("cookie")
            .number(section.cookie)
            .key("length")
            .number(section.length);
        writeSectionFields(json, section);
        json.key("problems").strings(section.problems).close('}');
    }
    json.close(']').key("problems").strings(ok ? decoding->contents.problems : QStringList());
    json.close('}');
    piece.bytes += '\n';
    return piece.flush();
}
