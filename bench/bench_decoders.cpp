// Throughput of the decoders and renderings: the message-log walk on typical logs and on the
// worst case of its boundary scan, the save-file report, and the export text of a large log.
#include "benchdata.h"
#include "messagelog.h"
#include "savefile.h"

#include <benchmark/benchmark.h>

#include <QFile>
#include <QString>

#include <chrono>
#include <map>
#include <string>

namespace
{

// Generated once per size and kept for the whole run.
const QByteArray &typical(int count)
{
    static std::map<int, QByteArray> logs;
    auto it = logs.find(count);
    if (it == logs.end())
        it = logs.emplace(count, typicalLog(count)).first;
    return it->second;
}

void parseTypical(benchmark::State &state)
{
    const int count = int(state.range(0));
    const QByteArray &bytes = typical(count);
    for (auto _ : state) {
        LogParseResult result = parseMessageLog(bytes);
        if (result.messages.size() != count) {
            state.SkipWithError("wrong message count");
            break;
        }
        benchmark::DoNotOptimize(result);
        state.PauseTiming(); // freeing the messages is not part of the parse
        result = LogParseResult();
        state.ResumeTiming();
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
    state.counters["msgs/s"] =
        benchmark::Counter(double(state.iterations()) * count, benchmark::Counter::kIsRate);
}
BENCHMARK(parseTypical)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

// Every scanned byte of the worst case is also a sender byte that the walk decodes into a string
// it keeps, so the parse time is scan plus UTF-8 decoding plus fresh memory for the strings. The
// decoding of the same senders into strings that are kept as long is timed on its own before the
// run, and `scan B/s` is the body bytes over the parse time less that time.
void scanWorstCase(benchmark::State &state)
{
    using Clock = std::chrono::steady_clock;
    const ScanFill fill = ScanFill(state.range(0));
    int records = 0;
    const QByteArray bytes = scanWorstCaseLog(64ll << 20, fill, &records);
    const int recordSize = bytes.size() / records;
    constexpr int headerSize = 16;
    constexpr int textLength = 16;

    constexpr int decodeRounds = 3;
    const Clock::time_point decodeStart = Clock::now();
    for (int round = 0; round < decodeRounds; ++round) {
        // Kept until the round ends, as the parse keeps its messages: fresh memory each time.
        QList<QString> strings;
        for (int r = 0; r < records; ++r) {
            const char *body = bytes.constData() + qint64(r) * recordSize + headerSize;
            const int bodySize = recordSize - headerSize;
            strings.append(QString::fromUtf8(body, bodySize - textLength));
            strings.append(QString::fromUtf8(body + bodySize - textLength, textLength));
        }
        benchmark::DoNotOptimize(strings);
    }
    const double decodeSeconds =
        std::chrono::duration<double>(Clock::now() - decodeStart).count() / decodeRounds;

    double parseSeconds = 0;
    for (auto _ : state) {
        const Clock::time_point start = Clock::now();
        const LogParseResult result = parseMessageLog(bytes);
        parseSeconds += std::chrono::duration<double>(Clock::now() - start).count();
        if (result.messages.size() != records) {
            state.SkipWithError("wrong record count: the fill holds a plausible header");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
    // Where decoding takes nearly all of the time (invalid UTF-8 everywhere), the difference is
    // below what two timings can tell apart, and no scan figure is given.
    const double perParse = parseSeconds / double(state.iterations());
    const double scanSeconds = perParse - decodeSeconds;
    const bool scanMeasurable = scanSeconds > 0.1 * perParse;
    if (scanMeasurable)
        state.counters["scan B/s"] = double(bytes.size()) / scanSeconds;
    std::string label = fill == ScanFill::NoZeroBytes ? "random bytes, no zero byte"
                        : fill == ScanFill::AsciiText ? "random printable ASCII"
                                                      : "near-header every 10 bytes";
    if (!scanMeasurable)
        label += "; decoding takes nearly all of the time";
    state.SetLabel(label);
}
BENCHMARK(scanWorstCase)
    ->Arg(int(ScanFill::NoZeroBytes))
    ->Arg(int(ScanFill::AsciiText))
    ->Arg(int(ScanFill::NearHeaders))
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

// One header followed by a 64 MiB region without a plausible header. The body would be longer
// than the walk accepts however the region ends, so the scan gives up 1,000,000 bytes in and the
// record is dropped: the time does not grow with the region.
void scanOneRegion(benchmark::State &state)
{
    QByteArray bytes = scanWorstCaseLog(2 << 20, ScanFill::AsciiText);
    bytes.resize(16);
    bytes.append(QByteArray(64 << 20, 'x'));
    for (auto _ : state) {
        const LogParseResult result = parseMessageLog(bytes);
        if (!result.messages.isEmpty()) {
            state.SkipWithError("the over-long record was not dropped");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(scanOneRegion)->Unit(benchmark::kMillisecond);

void parseSave(benchmark::State &state)
{
    const QByteArray bytes = largeSave(4000, 1500);
    const QString path = QStringLiteral("/bench/large.tox");
    for (auto _ : state) {
        const ParseResult result = parseSaveData(bytes, path);
        if (!result.success) {
            state.SkipWithError("the generated save did not decode");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(parseSave)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The shipped sample log, whose first bytes are searched for a Tox key pair before the walk.
void parseSampleLog(benchmark::State &state)
{
    QFile file(QStringLiteral(SAMPLE_LOG));
    if (!file.open(QIODevice::ReadOnly)) {
        state.SkipWithError("the sample log cannot be read");
        return;
    }
    const QByteArray bytes = file.readAll();
    for (auto _ : state) {
        const LogParseResult result = parseMessageLog(bytes);
        if (result.messages.isEmpty()) {
            state.SkipWithError("the sample log did not decode");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
}
BENCHMARK(parseSampleLog)->Unit(benchmark::kMicrosecond);

// Saves whose first section is not intact, so that the first 4,096 bytes are searched for key
// pairs: the large save with its first section's type changed (its keys and DHT node keys are
// tried), the worst case, 4,096 random bytes after the container header, where every run of 32
// bytes is tried, and the sample save written by the Tox library with its first section's type
// changed.
void parseDamagedSave(benchmark::State &state)
{
    QByteArray bytes = largeSave(4000, 1500);
    if (state.range(0) == 2) {
        QFile file(QStringLiteral(SAMPLE_SAVE));
        bytes = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    bytes[12] = 5; // NOSPAMKEYS read as STATUSMESSAGE
    if (state.range(0) == 1) {
        quint64 seed = 88172645463325252ull;
        for (int i = 8; i < 4096 + 8; ++i) {
            seed ^= seed << 13;
            seed ^= seed >> 7;
            seed ^= seed << 17;
            bytes[i] = char(seed >> 24);
        }
    }
    const QString path = QStringLiteral("/bench/damaged.tox");
    for (auto _ : state) {
        const ParseResult result = parseSaveData(bytes, path);
        if (!result.success) {
            state.SkipWithError("the damaged save did not decode");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetLabel(state.range(0) == 1   ? "random first 4096 bytes"
                   : state.range(0) == 2 ? "the sample save, first section type 5"
                                         : "first section type 5");
}
BENCHMARK(parseDamagedSave)->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond);

// The text the window writes beside the input: the header line, then every block followed by an
// empty line, encoded as UTF-8.
void exportText(benchmark::State &state)
{
    const int count = int(state.range(0));
    const QList<LogMessage> messages = parseMessageLog(typical(count)).messages;
    const QString path = QStringLiteral("/bench/chat.log");
    qint64 bytes = 0;
    for (auto _ : state) {
        QByteArray out = QStringLiteral("=== ORVA Message Log: %1 ===\n\n").arg(path).toUtf8();
        for (int i = 0; i < messages.size(); ++i)
            out += (formatMessageBlock(messages.at(i), i + 1) + QLatin1Char('\n')).toUtf8();
        bytes = out.size();
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(state.iterations() * bytes);
    state.counters["msgs/s"] =
        benchmark::Counter(double(state.iterations()) * count, benchmark::Counter::kIsRate);
}
BENCHMARK(exportText)->Arg(1000000)->Unit(benchmark::kMillisecond)->Iterations(2);

} // namespace

BENCHMARK_MAIN();
