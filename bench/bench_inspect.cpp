// tox-inspect on the typical log of a million messages, side by side with its floor: the decoder's
// parse plus formatMessageBlock of every message. Each round times the floor, then the program's
// text export, JSON Lines and CSV of the same log (read from a file, written to /dev/null), so that
// load from outside falls on all of them alike; the fastest round of each is reported, with the
// ratios the program is held to (text export <= 1.2 x the floor, JSON Lines <= 2 x the export).
#include "benchdata.h"
#include "inspect.h"
#include "messagelog.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <fcntl.h>
#include <limits>
#include <string>
#include <unistd.h>

namespace
{

struct Times {
    double wall = 0;
    double cpu = 0; // of every thread of the process
};

double processCpu()
{
    timespec now;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

template <typename Work> Times measure(Work work)
{
    const auto start = std::chrono::steady_clock::now();
    const double cpuStart = processCpu();
    work();
    return {std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
            processCpu() - cpuStart};
}

void exportSideBySide(benchmark::State &state)
{
    const int count = int(state.range(0));
    const QByteArray log = typicalLog(count);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("typical.log"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(log) != log.size() || !file.flush()) {
        state.SkipWithError("cannot write the log");
        return;
    }
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const Streams streams{descriptorSink(devNull), descriptorSink(STDERR_FILENO)};
    const auto inspect = [&](const char *format) {
        const QStringList arguments{QStringLiteral("tox-inspect"), QStringLiteral("log"),
                                    QStringLiteral("--format"), QLatin1String(format), path};
        if (runInspector(arguments, streams) != exitSuccess)
            state.SkipWithError("tox-inspect failed");
    };

    enum { Floor, Text, Json, Csv, Phases };
    Times best[Phases];
    std::fill(best, best + Phases, Times{std::numeric_limits<double>::max(), 0});
    for (auto _ : state) {
        const Times times[Phases] = {
            measure([&] {
                const LogParseResult result = parseMessageLog(log);
                for (int i = 0; i < result.messages.size(); ++i)
                    benchmark::DoNotOptimize(formatMessageBlock(result.messages.at(i), i + 1));
            }),
            measure([&] { inspect("text"); }), measure([&] { inspect("json"); }),
            measure([&] { inspect("csv"); })};
        for (int phase = 0; phase < Phases; ++phase) {
            if (times[phase].wall < best[phase].wall)
                best[phase] = times[phase];
        }
    }
    ::close(devNull);

    state.counters["floor_s"] = best[Floor].wall;
    state.counters["text_s"] = best[Text].wall;
    state.counters["json_s"] = best[Json].wall;
    state.counters["csv_s"] = best[Csv].wall;
    state.counters["text/floor"] = best[Text].wall / best[Floor].wall;
    state.counters["json/text"] = best[Json].wall / best[Text].wall;
    // The same rounds in processor time of all threads: the work done, whatever the scheduling.
    state.counters["cpu_text/floor"] = best[Text].cpu / best[Floor].cpu;
    state.counters["cpu_json/text"] = best[Json].cpu / best[Text].cpu;
}
BENCHMARK(exportSideBySide)->Arg(1000000)->Iterations(5)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char *argv[])
{
    // As tox-inspect itself runs: the zone file named, so that local times cost no file lookups.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    QCoreApplication app(argc, argv);
    // `--log FILE` only writes the log, to time the program itself on it.
    if (argc == 3 && argv[1] == std::string("--log")) {
        QFile file(QString::fromLocal8Bit(argv[2]));
        const QByteArray log = typicalLog(1000000);
        return file.open(QIODevice::WriteOnly) && file.write(log) == log.size() ? 0 : 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
