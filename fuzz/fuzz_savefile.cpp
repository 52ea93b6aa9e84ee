// Fuzz target for the save-file decoder. An input that starts with 'D', 'Z', 'R' or 'O' damages a
// real save that the Tox library wrote (samples/alice.tox) once: it deletes, inserts zeros,
// inserts random bytes or overwrites with random bytes, at the offset and over the length the
// input gives, the random bytes drawn from a seed the input gives. Random, because damage does
// not know where the key is: bytes made to frame the key as a section need the key to be made.
// Any other input is decoded as a save itself. Besides the sanitizers' checks it aborts when an
// invariant breaks:
//  - `success` and `error` agree (a success has no error, a failure has one);
//  - a successful report ends in a line feed;
//  - no output of a damaged save (the report, tox-inspect's JSON, the log export when it reads as
//    a log) shows 4 consecutive bytes of its secret key: as hex digits in either case and byte
//    order, as the bytes themselves, or as a 32-bit number in decimal in either byte order.
#include "machineformats.h"
#include "parsedlog.h"
#include "savefile.h"
#include "secretkeys.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace
{

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

struct RealSave {
    QByteArray data;
    QByteArrayList shown; // every form in which four consecutive key bytes must not show
};

const RealSave &realSave()
{
    static const RealSave save = [] {
        RealSave real;
        QFile file(QStringLiteral(FUZZ_REAL_SAVE));
        check(file.open(QIODevice::ReadOnly), "the real save can be read");
        real.data = file.readAll();
        const QByteArray key = real.data.mid(52, secretKeySize);
        check(isPublicKeyOf(reinterpret_cast<const uchar *>(real.data.constData()) + 20,
                            reinterpret_cast<const uchar *>(key.constData())),
              "the real save keeps its secret key at bytes 52 to 83");
        for (int i = 0; i + 4 <= key.size(); ++i) {
            const QByteArray run = key.mid(i, 4);
            QByteArray reversed = run;
            std::reverse(reversed.begin(), reversed.end());
            const uchar *b = reinterpret_cast<const uchar *>(run.constData());
            real.shown << run.toHex() << reversed.toHex() << run
                       << QByteArray::number(b[0] | b[1] << 8 | b[2] << 16 | quint32(b[3]) << 24)
                       << QByteArray::number(b[3] | b[2] << 8 | b[1] << 16 | quint32(b[0]) << 24);
        }
        return real;
    }();
    return save;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// Whether `output` shows four consecutive key bytes in any form: hex case-blind, a number only
// where no digit stands right before or after it.
bool showsKey(const QByteArray &output)
{
    const QByteArray lower = output.toLower();
    const QByteArrayList &forms = realSave().shown;
    for (int i = 0; i < forms.size(); ++i) {
        const int form = i % 5; // hex, hex reversed, raw, decimal little-endian, big-endian
        const QByteArray &haystack = form < 2 ? lower : output;
        for (int at = haystack.indexOf(forms.at(i)); at >= 0;
             at = haystack.indexOf(forms.at(i), at + 1)) {
            const int end = at + forms.at(i).size();
            if (form < 3 || ((at == 0 || !isDigit(haystack.at(at - 1))) &&
                             (end == haystack.size() || !isDigit(haystack.at(end)))))
                return true;
        }
    }
    return false;
}

ByteSink into(QByteArray &out)
{
    return [&out](const char *data, qint64 size) {
        out.append(data, int(size));
        return true;
    };
}

// The save damaged as `bytes` (after its first byte) say: offset (2 bytes), length (1 byte, 1 to
// 256) and the random bytes' seed (the rest).
QByteArray damaged(char kind, const uint8_t *bytes, size_t size)
{
    QByteArray data = realSave().data;
    const int offset = size >= 2 ? (bytes[0] | bytes[1] << 8) % (data.size() + 1) : 0;
    const int length = (size >= 3 ? bytes[2] : 0) + 1;
    std::seed_seq seed(bytes + std::min<size_t>(size, 3), bytes + size);
    std::mt19937 random(seed);
    QByteArray made(length, '\0');
    for (int i = 0; kind != 'Z' && i < length; ++i)
        made[i] = char(random());
    switch (kind) {
    case 'D':
        return data.remove(offset, length);
    case 'O':
        return data.replace(offset, std::min(length, data.size() - offset), made);
    default:
        return data.insert(offset, made);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const char kind = size > 0 ? char(bytes[0]) : 0;
    const bool damage = kind == 'D' || kind == 'Z' || kind == 'R' || kind == 'O';
    const QByteArray data = damage ? damaged(kind, bytes + 1, size - 1)
                                   : QByteArray(reinterpret_cast<const char *>(bytes), int(size));
    const QString path = QStringLiteral("/fuzz/input.tox");
    const SaveDecoding decoding = decodeSaveData(data, path);
    const ParseResult &result = decoding.result;

    check(result.success == result.error.isEmpty(), "success and error agree");
    if (result.success)
        check(result.report.endsWith(QLatin1Char('\n')), "report ends in a line feed");
    if (!damage)
        return 0;
    if (result.success)
        check(!showsKey(result.report.toUtf8()), "the report shows the secret key");
    // Without the file's hash, whose 64 hex digits would hold some four key bytes by chance
    // about once in a million runs.
    QByteArray json;
    writeSaveJson(into(json), FileFacts{path, data.size(), QByteArray()}, &decoding, result.error);
    check(!showsKey(json), "the JSON shows the secret key");
    const LogParseResult log = parseMessageLog(data);
    QByteArray text;
    writeParsedLog(into(text), path, log.messages, log.limitReached);
    check(!showsKey(text), "the log export shows the secret key");
    return 0;
}
