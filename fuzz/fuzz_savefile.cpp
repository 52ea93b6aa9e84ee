// Fuzz target for the save-file decoder. Besides the sanitizers' checks it aborts when an
// invariant of the report breaks:
//  - `success` and `error` agree (a success has no error, a failure has one);
//  - a successful report ends in a line feed;
//  - the secret key is never shown: overwriting the secret-key bytes (payload bytes 36 to 67)
//    of every NOSPAMKEYS section the walk reaches leaves the report unchanged.
#include "savefile.h"

#include <cstdio>
#include <cstdlib>

namespace
{

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

quint32 le32(const QByteArray &data, int offset)
{
    const auto *p = reinterpret_cast<const uchar *>(data.constData()) + offset;
    return quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 | quint32(p[3]) << 24;
}

// Follows the section chain as the decoder does and flips every secret-key byte of the
// NOSPAMKEYS sections on it. Returns false when there was none to flip.
bool scrambleSecretKeys(QByteArray &data)
{
    bool changed = false;
    const qint64 size = data.size();
    qint64 offset = 8;
    while (offset + 8 <= size) {
        const quint32 length = le32(data, int(offset));
        const quint16 type = quint16(le32(data, int(offset) + 4) & 0xFFFF);
        const qint64 payload = offset + 8;
        if (payload + length > size || type == 255)
            break;
        if (type == 1 && length >= 68) {
            for (int i = 36; i < 68; ++i)
                data[int(payload) + i] = char(~uchar(data[int(payload) + i]) ^ (i * 37));
            changed = true;
        }
        offset = payload + length;
    }
    return changed;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), int(size));
    const QString path = QStringLiteral("/fuzz/input.tox");
    const ParseResult result = parseSaveData(data, path);

    check(result.success == result.error.isEmpty(), "success and error agree");
    if (result.success) {
        check(result.report.endsWith(QLatin1Char('\n')), "report ends in a line feed");
        QByteArray scrambled = data;
        if (scrambleSecretKeys(scrambled)) {
            const ParseResult other = parseSaveData(scrambled, path);
            check(other.report == result.report, "secret key bytes change the report");
        }
    }
    return 0;
}
