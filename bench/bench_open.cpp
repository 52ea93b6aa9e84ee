// The whole open of log_reader, headless: the real window's open slot answered through the real
// file dialog (read, parse, fill the table, select row 0, write the export), against the floor
// that the table alone imposes: a bare QTableWidget with the same settings, filled with the same
// cells. Also measures the peak memory of both, each in a process of its own:
// Every figure comes from a child process of its own, so that no run inherits another's heap:
//   bench_open --time open N       opens an N-message log in the window, prints ns and max RSS
//   bench_open --time table N      fills the bare table with the same N messages, the same way
//   bench_open --memory N          runs the two children below and prints both peaks
//   bench_open --goals [N [R]]     the parse rate, open / bare table and the peaks side by side,
//                                  R rounds of N messages (default 1,000,000 and 3)
//   bench_open --peak-rss open N   opens an N-message log in the window, prints max RSS in KiB
//   bench_open --peak-rss table N  fills the bare table with N messages, prints max RSS in KiB
//   bench_open --peak-rss plain N  the same with plain items, each holding its own cell text
#include "benchdata.h"
#include "benchwindow.h"
#include "mainwindow.h"
#include "messagerow.h"

#include <benchmark/benchmark.h>

#include <QAbstractItemDelegate>
#include <QAbstractItemView>
#include <QApplication>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QProcess>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include <sys/resource.h>

namespace
{

const QString tableStyleSheet = QStringLiteral(
    "QTableWidget {  background-color: #1e1e1e;  color: #d4d4d4;  border: 1px solid #3c3c3c;  "
    "border-radius: 4px;  gridline-color: #333333;  font-size: 12px;}QTableWidget::item { "
    "padding: 4px 8px; }QTableWidget::item:alternate { background-color: #2a2a2a; "
    "}QHeaderView::section {  background-color: #2d2d2d;  color: #cccccc;  padding: 6px;  "
    "border: 1px solid #3c3c3c;  font-weight: bold;}QTableWidget::item:selected {  "
    "background-color: #264f78;}");

// The size the message table gets inside the 1000 x 750 window.
QSize windowTableSize(100, 100);

void settle()
{
    for (int i = 0; i < 3; ++i)
        QCoreApplication::processEvents();
}

// Writes an N-message typical log to `path` piece by piece, so that the writer never holds it.
bool writeTypicalLog(const QString &path, int count)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    TypicalLogWriter writer;
    for (int done = 0; done < count;) {
        const int piece = qMin(10000, count - done);
        const QByteArray bytes = writer.next(piece);
        if (file.write(bytes) != bytes.size())
            return false;
        done += piece;
    }
    return true;
}

// The window as main() sets it up.
std::unique_ptr<MainWindow> shownWindow()
{
    auto window = std::make_unique<MainWindow>();
    window->show();
    settle();
    return window;
}

// The window's own cell delegate, borrowed from a window that is never shown: the bare table
// measures and draws its cells the same way.
QAbstractItemDelegate *windowCellDelegate()
{
    static MainWindow *source = new MainWindow();
    auto *table = source->findChild<QTableWidget *>();
    return table ? table->itemDelegate() : nullptr;
}

// A bare table with the window table's settings and size.
std::unique_ptr<QTableWidget> shownBareTable()
{
    auto table = std::make_unique<QTableWidget>(0, 4);
    table->setHorizontalHeaderLabels({QStringLiteral("Time"), QStringLiteral("Dir"),
                                      QStringLiteral("Sender"), QStringLiteral("Message")});
    QHeaderView *header = table->horizontalHeader();
    header->setStretchLastSection(true);
    for (int column = 0; column < 3; ++column)
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setAlternatingRowColors(true);
    table->verticalHeader()->setVisible(false);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    if (QAbstractItemDelegate *delegate = windowCellDelegate())
        table->setItemDelegate(delegate);
    table->setStyleSheet(tableStyleSheet);
    table->resize(windowTableSize);
    table->show();
    settle();
    return table;
}

// Fills rows from `firstRow` on with the cells of messageRowItems, or, with `plainItems`, with
// plain items that hold a copy of each cell's text (and the Dir cell's alignment): the table
// as it would be if every item kept its own text.
void fillRows(QTableWidget &table, const QList<LogMessage> &messages, int firstRow,
              bool plainItems = false)
{
    for (int i = 0; i < messages.size(); ++i) {
        const QList<QTableWidgetItem *> items = messageRowItems(messages.at(i));
        for (int column = 0; column < 4; ++column) {
            QTableWidgetItem *item = items.at(column);
            if (plainItems) {
                auto *plain = new QTableWidgetItem(item->text());
                const QVariant alignment = item->data(Qt::TextAlignmentRole);
                if (alignment.isValid())
                    plain->setData(Qt::TextAlignmentRole, alignment);
                delete item;
                item = plain;
            }
            table.setItem(firstRow + i, column, item);
        }
    }
}

// Nanoseconds to fill the shown bare table with `messages` and select row 0, including the
// pending layout and paint.
qint64 fillBareTable(QTableWidget &table, const QList<LogMessage> &messages)
{
    QElapsedTimer clock;
    clock.start();
    table.setRowCount(0);
    table.setRowCount(messages.size());
    fillRows(table, messages, 0);
    table.selectRow(0);
    QCoreApplication::processEvents();
    return clock.nsecsElapsed();
}

// Whether the export beside `logPath` holds exactly the header and every block that
// formatMessageBlock renders, each followed by an empty line, in UTF-8.
bool exportIsExact(const QString &logPath, const QString &exportPath)
{
    QFile log(logPath);
    QFile exported(exportPath);
    if (!log.open(QIODevice::ReadOnly) || !exported.open(QIODevice::ReadOnly))
        return false;
    const QList<LogMessage> messages = parseMessageLog(log.readAll()).messages;
    const QByteArray text = exported.readAll();
    QByteArray expected = QStringLiteral("=== ORVA Message Log: %1 ===\n\n").arg(logPath).toUtf8();
    int at = 0;
    for (int i = 0; i <= messages.size(); ++i) {
        if (text.mid(at, expected.size()) != expected) {
            std::fprintf(stderr, "the export differs from formatMessageBlock at block %d\n", i);
            return false;
        }
        at += expected.size();
        if (i < messages.size())
            expected = (formatMessageBlock(messages.at(i), i + 1) + QLatin1Char('\n')).toUtf8();
    }
    return at == text.size();
}

// Child process: the nanoseconds of one open of an N-message log in a fresh window, or of one
// fill of a fresh bare table with the same messages, printed with the peak memory (KiB). Each
// runs in a process of its own, so that neither inherits the other's heap.
int timeOnce(const char *mode, int count)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("chat.log"));
    if (!writeTypicalLog(path, count))
        return 1;
    qint64 nanoseconds = -1;
    long peak = 0;
    if (std::strcmp(mode, "open") == 0) {
        auto window = shownWindow();
        nanoseconds = openThroughDialog(*window, path, [] { QCoreApplication::processEvents(); });
        auto *table = window->findChild<QTableWidget *>();
        if (!table || table->rowCount() != count)
            return 1;
        peak = maxRssKiB();
        if (!exportIsExact(path, dir.filePath(QStringLiteral("chat_parsed.txt"))))
            return 1;
        window.release(); // left to the process exit
    } else if (std::strcmp(mode, "table") == 0) {
        QList<LogMessage> messages;
        {
            QFile in(path);
            if (!in.open(QIODevice::ReadOnly))
                return 1;
            messages = parseMessageLog(in.readAll()).messages;
        }
        auto table = shownBareTable();
        nanoseconds = fillBareTable(*table, messages);
        peak = maxRssKiB();
        table.release(); // left to the process exit
    } else {
        return 2;
    }
    std::printf("%lld %ld\n", static_cast<long long>(nanoseconds), peak);
    std::fflush(stdout);
    // Tearing down a million rows is not part of either figure; only the files are removed.
    dir.remove();
    std::_Exit(nanoseconds < 0 ? 1 : 0);
}

// Runs a child of this program and returns its two figures.
bool runChild(const QStringList &arguments, qint64 *first, qint64 *second)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), arguments);
    if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit ||
        child.exitCode() != 0)
        return false;
    const QList<QByteArray> fields = child.readAllStandardOutput().simplified().split(' ');
    if (fields.isEmpty())
        return false;
    *first = fields.value(0).toLongLong();
    if (second)
        *second = fields.value(1).toLongLong();
    return true;
}

void openLog(benchmark::State &state)
{
    const QString count = QString::number(state.range(0));
    double openSeconds = 0;
    double floorSeconds = 0;
    for (auto _ : state) {
        qint64 open = 0;
        qint64 floor = 0;
        if (!runChild({QStringLiteral("--time"), QStringLiteral("open"), count}, &open, nullptr) ||
            !runChild({QStringLiteral("--time"), QStringLiteral("table"), count}, &floor,
                      nullptr)) {
            state.SkipWithError("a child run failed");
            break;
        }
        state.SetIterationTime(double(open) / 1e9);
        openSeconds += double(open) / 1e9;
        floorSeconds += double(floor) / 1e9;
    }
    const double runs = double(state.iterations());
    state.counters["open_s"] = openSeconds / runs;
    state.counters["floor_s"] = floorSeconds / runs;
    state.counters["open/floor"] = openSeconds / floorSeconds;
    state.counters["msgs/s"] = double(state.range(0)) * runs / openSeconds;
}
BENCHMARK(openLog)->Arg(100000)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(openLog)->Arg(1000000)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

// Child process: peak memory of one open in the window, or of the bare table alone.
int peakRss(const char *mode, int count)
{
    if (std::strcmp(mode, "open") == 0) {
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("chat.log"));
        if (!writeTypicalLog(path, count))
            return 1;
        auto window = shownWindow();
        if (openThroughDialog(*window, path, [] { QCoreApplication::processEvents(); }) < 0)
            return 1;
        settle();
        std::printf("%ld\n", maxRssKiB());
        std::fflush(stdout);
        dir.remove();
        std::_Exit(0);
    }
    if (std::strcmp(mode, "table") == 0 || std::strcmp(mode, "plain") == 0) {
        // The messages are made and dropped piece by piece: only the table's cells stay.
        auto table = shownBareTable();
        table->setRowCount(count);
        TypicalLogWriter writer;
        for (int done = 0; done < count;) {
            const int piece = qMin(10000, count - done);
            const QList<LogMessage> messages = parseMessageLog(writer.next(piece)).messages;
            fillRows(*table, messages, done, std::strcmp(mode, "plain") == 0);
            done += piece;
        }
        table->selectRow(0);
        settle();
        std::printf("%ld\n", maxRssKiB());
        std::fflush(stdout);
        std::_Exit(0);
    }
    return 2;
}

// Runs the children and prints their peaks side by side: the open, the bare table alone (the
// messages made and dropped piece by piece) and the bare table while the parsed messages are
// held as well, as the window holds them.
int comparePeaks(int count)
{
    const QString n = QString::number(count);
    qint64 open = 0;
    qint64 table = 0;
    qint64 tableWithMessages = 0;
    qint64 nanoseconds = 0;
    if (!runChild({QStringLiteral("--peak-rss"), QStringLiteral("open"), n}, &open, nullptr) ||
        !runChild({QStringLiteral("--peak-rss"), QStringLiteral("table"), n}, &table, nullptr) ||
        !runChild({QStringLiteral("--time"), QStringLiteral("table"), n}, &nanoseconds,
                  &tableWithMessages)) {
        std::fprintf(stderr, "a peak-memory child failed\n");
        return 1;
    }
    std::printf("Peak memory (max RSS), %d messages:\n", count);
    std::printf("  log_reader open                   %8.1f MiB\n", double(open) / 1024);
    std::printf("  bare table alone                  %8.1f MiB   open / table %.3f\n",
                double(table) / 1024, double(open) / double(table));
    std::printf("  bare table + the parsed messages  %8.1f MiB   open / table %.3f\n",
                double(tableWithMessages) / 1024, double(open) / double(tableWithMessages));
    return 0;
}

double loadAverage()
{
    double load = -1;
    if (FILE *file = std::fopen("/proc/loadavg", "r")) {
        if (std::fscanf(file, "%lf", &load) != 1)
            load = -1;
        std::fclose(file);
    }
    return load;
}

double processorSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The three goals side by side, each measured `rounds` times: the parse of an N-message typical
// log in this process (the fastest round, by wall and by processor time), the open in the
// window against the bare table (each child alternately; the fastest of each and the median of
// the rounds' ratios) and the peak memory of both. The load average is printed with each.
int compareGoals(int count, int rounds)
{
    const QByteArray log = typicalLog(count);
    double bestWall = 1e30;
    double bestCpu = 1e30;
    const double parseLoad = loadAverage();
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer clock;
        clock.start();
        const double cpu = processorSeconds();
        LogParseResult result = parseMessageLog(log);
        const double wall = double(clock.nsecsElapsed()) / 1e9;
        bestCpu = qMin(bestCpu, processorSeconds() - cpu);
        bestWall = qMin(bestWall, wall);
        if (result.messages.size() != count) {
            std::fprintf(stderr, "the parse gave %d messages\n", int(result.messages.size()));
            return 1;
        }
    }

    const QString n = QString::number(count);
    QList<double> opens;
    QList<double> floors;
    QList<double> ratios;
    const double openLoad = loadAverage();
    for (int round = 0; round < rounds; ++round) {
        qint64 open = 0;
        qint64 floor = 0;
        if (!runChild({QStringLiteral("--time"), QStringLiteral("open"), n}, &open, nullptr) ||
            !runChild({QStringLiteral("--time"), QStringLiteral("table"), n}, &floor, nullptr)) {
            std::fprintf(stderr, "a child run failed\n");
            return 1;
        }
        opens << double(open) / 1e9;
        floors << double(floor) / 1e9;
        ratios << double(open) / double(floor);
    }
    std::sort(ratios.begin(), ratios.end());

    qint64 openPeak = 0;
    qint64 tablePeak = 0;
    qint64 plainPeak = 0;
    const double memoryLoad = loadAverage();
    if (!runChild({QStringLiteral("--peak-rss"), QStringLiteral("open"), n}, &openPeak, nullptr) ||
        !runChild({QStringLiteral("--peak-rss"), QStringLiteral("table"), n}, &tablePeak,
                  nullptr) ||
        !runChild({QStringLiteral("--peak-rss"), QStringLiteral("plain"), n}, &plainPeak,
                  nullptr)) {
        std::fprintf(stderr, "a peak-memory child failed\n");
        return 1;
    }

    const auto verdict = [](bool met) { return met ? "met" : "NOT met"; };
    const double rate = count / bestWall / 1e6;
    const double openRatio = *std::min_element(opens.begin(), opens.end()) /
                             *std::min_element(floors.begin(), floors.end());
    const double memoryRatio = double(openPeak) / double(tablePeak);
    std::printf("Goals, %d typical messages, best of %d rounds:\n", count, rounds);
    std::printf("  parse         %6.2f M msgs/s (%.2f M/s by processor time)  goal >= 5 M/s  %s"
                "   load %.1f\n",
                rate, count / bestCpu / 1e6, verdict(rate >= 5), parseLoad);
    std::printf("  open / table  %6.3f s / %.3f s = %.3f (median of the rounds %.3f)  goal <= 1.3"
                "  %s   load %.1f\n",
                *std::min_element(opens.begin(), opens.end()),
                *std::min_element(floors.begin(), floors.end()), openRatio,
                ratios.at(ratios.size() / 2), verdict(openRatio <= 1.3), openLoad);
    std::printf("  peak memory   %6.1f MiB / %.1f MiB = %.3f  goal <= 1.2  %s   load %.1f\n",
                double(openPeak) / 1024, double(tablePeak) / 1024, memoryRatio,
                verdict(memoryRatio <= 1.2), memoryLoad);
    std::printf("                %6.1f MiB / %.1f MiB = %.3f  against plain items, each with its"
                " own text\n",
                double(openPeak) / 1024, double(plainPeak) / 1024,
                double(openPeak) / double(plainPeak));
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // As log_reader's main does: the local zone named by its file, so that the C library does
    // not check the file again for every converted time.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ORVA Message Log Reader"));
    QCoreApplication::setOrganizationName(QStringLiteral("Brackwell"));
    app.setStyleSheet(MainWindow::applicationStyleSheet());
    {
        auto window = shownWindow();
        if (auto *table = window->findChild<QTableWidget *>())
            windowTableSize = table->size();
    }

    if (argc == 4 && std::strcmp(argv[1], "--peak-rss") == 0)
        return peakRss(argv[2], std::atoi(argv[3]));
    if (argc >= 2 && std::strcmp(argv[1], "--goals") == 0)
        return compareGoals(argc >= 3 ? std::atoi(argv[2]) : 1000000,
                            argc >= 4 ? std::atoi(argv[3]) : 3);
    if (argc == 3 && std::strcmp(argv[1], "--memory") == 0)
        return comparePeaks(std::atoi(argv[2]));
    if (argc == 4 && std::strcmp(argv[1], "--time") == 0)
        return timeOnce(argv[2], std::atoi(argv[3]));

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
