// Fuzz target for the save-file decoder. Besides the sanitizers' checks it aborts when an
// invariant of the report breaks:
//  - `success` and `error` agree (a success has no error, a failure has one);
//  - a successful report ends in a line feed;
//  - the secret key is never shown: whatever the file holds, changing its bytes 52 to 83 (where
//    a save keeps its secret key) leaves the report and the error unchanged.
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

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray data(reinterpret_cast<const char *>(bytes), int(size));
    const QString path = QStringLiteral("/fuzz/input.tox");
    const ParseResult result = parseSaveData(data, path);

    check(result.success == result.error.isEmpty(), "success and error agree");
    if (result.success)
        check(result.report.endsWith(QLatin1Char('\n')), "report ends in a line feed");
    if (size > 52) {
        QByteArray scrambled = data;
        for (int i = 52; i < 84 && i < scrambled.size(); ++i)
            scrambled[i] = char(~uchar(scrambled.at(i)) ^ (i * 37));
        const ParseResult other = parseSaveData(scrambled, path);
        check(other.report == result.report && other.error == result.error,
              "bytes 52 to 83 change the report");
    }
    return 0;
}
