// Throughput of the decoders and renderings: the message-log walk on typical logs and on the
// worst case of its boundary scan, the save-file report, and the export text of a large log.
#include "benchdata.h"
#include "messagelog.h"
#include "savefile.h"

#include <benchmark/benchmark.h>

#include <QString>

#include <map>

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

void scanWorstCase(benchmark::State &state)
{
    const ScanFill fill = ScanFill(state.range(0));
    int records = 0;
    const QByteArray bytes = scanWorstCaseLog(64ll << 20, fill, &records);
    for (auto _ : state) {
        const LogParseResult result = parseMessageLog(bytes);
        if (result.messages.size() != records) {
            state.SkipWithError("wrong record count: the fill holds a plausible header");
            break;
        }
        benchmark::DoNotOptimize(result);
    }
    state.SetBytesProcessed(state.iterations() * bytes.size());
    state.SetLabel(fill == ScanFill::NoZeroBytes ? "random bytes, no zero byte"
                   : fill == ScanFill::AsciiText ? "random printable ASCII"
                                                 : "near-header every 10 bytes");
}
BENCHMARK(scanWorstCase)
    ->Arg(int(ScanFill::NoZeroBytes))
    ->Arg(int(ScanFill::AsciiText))
    ->Arg(int(ScanFill::NearHeaders))
    ->Unit(benchmark::kMillisecond)
    ->MinTime(2.0);

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
