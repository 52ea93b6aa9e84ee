// How log_reader copes with hostile logs, headless, in the real window through the real file
// dialog: text whose layout is dear (long senders and texts of alternating right-to-left and
// left-to-right characters, thousands of combining marks on one letter, senders full of colour
// emoji) and logs near the 2 GiB file limit that fill the memory. Every case runs in a child
// process of its own, one after the other, so that none inherits another's heap and the peak
// memory (max RSS) is the case's own.
//   bench_hostile                 runs every case and prints its figures
//   bench_hostile CASE...         runs only the cases named
//   bench_hostile --child CASE    one case in this process: prints "figure value unit" lines
// Times run from the dialog's acceptance (or the row change, or the page step) until the event
// loop has nothing left to do: the table and the pane are laid out and painted.
#include "benchwindow.h"
#include "messagelog.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <vector>

namespace
{

QByteArray header(quint32 time, quint16 type, int textLength, quint16 direction)
{
    QByteArray bytes(16, '\0');
    auto *p = reinterpret_cast<uchar *>(bytes.data());
    qToLittleEndian<quint32>(time, p);
    qToLittleEndian<quint16>(type, p + 8);
    qToLittleEndian<quint16>(quint16(textLength), p + 10);
    qToLittleEndian<quint16>(direction, p + 12);
    return bytes;
}

QByteArray record(quint32 time, const QByteArray &sender, const QByteArray &text)
{
    return header(time, 8, text.size(), quint16(time % 2)) + sender + text;
}

// `count` characters alternating between a Latin and an Arabic letter: every character starts a
// run of the other direction and script, about 1.5 bytes a character in UTF-8.
QByteArray mixedDirections(int count)
{
    QString text;
    text.reserve(count);
    for (int i = 0; i < count; ++i)
        text += i % 2 == 0 ? QChar(ushort('a' + i % 26)) : QChar(ushort(0x0627 + i % 20));
    return text.toUtf8();
}

// The letter a followed by `count` - 1 combining acute accents (U+0301, two bytes each): one
// grapheme cluster of `count` characters. Qt shapes it as one piece.
QByteArray combiningMarks(int count)
{
    QByteArray bytes("a");
    bytes.reserve(2 * count);
    for (int i = 1; i < count; ++i)
        bytes += "\xcc\x81";
    return bytes;
}

// Writes a log of `count` records, asking `recordAt` for each, without holding the whole log.
bool writeLog(const QString &path, int count, const std::function<QByteArray(int)> &recordAt)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray piece;
    for (int i = 0; i < count; ++i) {
        piece += recordAt(i);
        if (piece.size() >= (1 << 22) || i == count - 1) {
            if (file.write(piece) != piece.size())
                return false;
            piece.clear();
        }
    }
    return true;
}

// `count` ASCII letters, a to z over and over.
QByteArray letters(int count)
{
    QByteArray bytes(count, 'a');
    for (int i = 0; i < count; ++i)
        bytes[i] = char('a' + i % 26);
    return bytes;
}

// The logs, by case name.
bool writeCaseLog(const QString &name, const QString &path)
{
    const quint32 t = 1714555800;
    const auto same = [&](int count, const QByteArray &sender, const QByteArray &text) {
        return writeLog(path, count, [&](int i) { return record(t + quint32(i), sender, text); });
    };
    if (name == QLatin1String("sample")) {
        QFile sample(QStringLiteral(SAMPLE_LOG));
        return sample.open(QIODevice::ReadOnly) &&
               writeLog(path, 1, [&](int) { return sample.readAll(); });
    }
    // Senders of 65,500 alternating characters: 98 KB a record.
    if (name == QLatin1String("bidi-sender"))
        return same(1, mixedDirections(65500), "hello");
    if (name == QLatin1String("bidi-20"))
        return same(20, mixedDirections(65500), "hello");
    // The same sender and a text of the most such characters a text can hold.
    if (name == QLatin1String("bidi-text"))
        return same(20, mixedDirections(65500), mixedDirections(43690));
    // Table cells: 2,000 senders of 2,000 such characters, 6 MB.
    if (name == QLatin1String("bidi-2000"))
        return same(2000, mixedDirections(2000), "ok");
    if (name == QLatin1String("marks-2000"))
        return same(2000, combiningMarks(2000), "ok");
    // The sender fills the longest body but for the two-byte text: 999,997 bytes.
    if (name == QLatin1String("marks-1mb"))
        return same(1, combiningMarks(499999), "ok");
    // 2,000 senders of 512 thumbs-up emoji: 4 MB.
    if (name == QLatin1String("emoji-2000"))
        return same(2000, QByteArray("\xF0\x9F\x91\x8D").repeated(512), "ok");
    // 2,000,000 records of 1,000 bytes: a 2.0 GB log.
    if (name == QLatin1String("memory-records")) {
        const QByteArray text = letters(979);
        return writeLog(path, 2000000,
                        [&](int i) { return record(t + quint32(i / 100), "Alice", text); });
    }
    // 1,900 records whose sender fills the longest body: a 1.9 GB log.
    if (name == QLatin1String("memory-senders"))
        return same(1900, letters(1000000 - 2), "ok");
    // One record more than the message limit, 17 bytes each: a one-letter sender, no text.
    if (name == QLatin1String("memory-count")) {
        return writeLog(path, 2000001, [&](int i) {
            return header(t + quint32(i / 1000), 8, 0, 0) + char('a' + i % 26);
        });
    }
    // As many messages with as much text each as both limits let through (2,000,000 records of a
    // five-letter sender and a 70-character text), then 1,000-byte records up to the largest file
    // that is read: the whole file is held while the messages are made.
    if (name == QLatin1String("memory-worst")) {
        constexpr int kept = 2000000;
        constexpr qint64 largestFile = std::numeric_limits<int>::max() - 4096;
        const qint64 rest = largestFile - kept * 91LL;
        const int more = int(rest / 1000);
        const QByteArray text = letters(70);
        const QByteArray filler = letters(979);
        const QByteArray last = letters(int(rest % 1000) - 21);
        return writeLog(path, kept + more + 1, [&](int i) {
            return record(t + quint32(i / 100), "Alice",
                          i < kept          ? text
                          : i < kept + more ? filler
                                            : last);
        });
    }
    return false;
}

// Runs the event loop until it has nothing left to do (lazy layout steps included).
void settle()
{
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    for (int i = 0; i < 1000; ++i) {
        QCoreApplication::processEvents();
        QCoreApplication::sendPostedEvents();
        if (!dispatcher->hasPendingEvents())
            break;
    }
}

double millisecondsOf(const std::function<void()> &action)
{
    QElapsedTimer clock;
    clock.start();
    action();
    settle();
    return double(clock.nsecsElapsed()) / 1e6;
}

void print(const char *figure, double value, const char *unit)
{
    std::printf("%s %.*f %s\n", figure, value == double(qint64(value)) ? 0 : 1, value, unit);
    std::fflush(stdout);
}

// Child: one case in a fresh window. A case named "CASE-again" opens the log of CASE a second time
// over the first, as opening the next log in the same window does: the first log stays on screen
// until the second is decoded.
int runCase(const QString &name)
{
    const bool again = name.endsWith(QLatin1String("-again"));
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("hostile.log"));
    if (!dir.isValid() || !writeCaseLog(again ? name.chopped(6) : name, path)) {
        std::fprintf(stderr, "could not write the log of %s\n", qPrintable(name));
        return 1;
    }
    const qint64 logSize = QFile(path).size();

    auto window = std::make_unique<MainWindow>();
    window->show();
    settle();
    auto *table = window->findChild<QTableWidget *>();
    auto *pane = window->findChild<QTextEdit *>();
    if (!table || !pane)
        return 1;

    const double open = double(openThroughDialog(*window, path, settle)) / 1e6;
    if (open < 0 || table->rowCount() == 0)
        return 1;

    print("log", double(logSize), "bytes");
    print("open", open, "ms");
    print("rows", table->rowCount(), "");
    print("pane", pane->toPlainText().size(), "characters");
    print("peak", double(maxRssKiB()) / 1024, "MiB");
    if (again) {
        print("open again", double(openThroughDialog(*window, path, settle)) / 1e6, "ms");
        print("peak, second opening", double(maxRssKiB()) / 1024, "MiB");
    }
    const bool cut = window->statusBar()->currentMessage().contains(QLatin1String("Only the"));
    print("notice", cut ? 1 : 0, "");

    if (table->rowCount() > 1) {
        // Five changes of the shown block: rows 5, 4, ... 1 (row 0 is shown after the open).
        std::vector<double> changes;
        for (int row = std::min(table->rowCount() - 1, 5); row >= 1; --row)
            changes.push_back(millisecondsOf([&] { table->selectRow(row); }));
        print("row change, mean",
              std::accumulate(changes.begin(), changes.end(), 0.0) / double(changes.size()), "ms");
        print("row change, max", *std::max_element(changes.begin(), changes.end()), "ms");
        // Five pages down from the top.
        std::vector<double> pages;
        for (int i = 0; i < 5; ++i)
            pages.push_back(millisecondsOf([&] {
                table->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepAdd);
            }));
        print("page, mean", std::accumulate(pages.begin(), pages.end(), 0.0) / 5, "ms");
        print("page, max", *std::max_element(pages.begin(), pages.end()), "ms");
    }
    std::fflush(stdout);
    // Tearing down is not measured; the files go.
    dir.remove();
    std::_Exit(0);
}

const char *const allCases[] = {
    "sample",       "bidi-sender",  "bidi-20",           "bidi-text",      "bidi-2000",
    "marks-2000",   "marks-1mb",    "emoji-2000",        "memory-records", "memory-senders",
    "memory-count", "memory-worst", "memory-worst-again"};

int runChildren(const QStringList &cases)
{
    int failures = 0;
    for (const QString &name : cases) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), name});
        const bool ok = child.waitForFinished(-1) && child.exitStatus() == QProcess::NormalExit &&
                        child.exitCode() == 0;
        std::printf("== %s%s\n", qPrintable(name), ok ? "" : ": FAILED");
        const QList<QByteArray> lines = child.readAllStandardOutput().split('\n');
        for (const QByteArray &line : lines) {
            if (!line.isEmpty())
                std::printf("   %s\n", line.constData());
        }
        std::fflush(stdout);
        failures += ok ? 0 : 1;
    }
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    // As log_reader's main does.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
    QApplication app(argc, argv);
    app.setStyleSheet(MainWindow::applicationStyleSheet());

    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() == 2 && arguments.at(0) == QLatin1String("--child"))
        return runCase(arguments.at(1));
    QStringList cases = arguments;
    if (cases.isEmpty()) {
        for (const char *name : allCases)
            cases << QString::fromLatin1(name);
    }
    return runChildren(cases);
}
