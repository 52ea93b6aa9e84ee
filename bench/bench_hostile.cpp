// How log_reader copes with hostile logs, headless, in the real window through the real file
// dialog: text whose layout is dear (long senders and texts of alternating right-to-left and
// left-to-right characters, thousands of combining marks on one letter, senders full of colour
// emoji) and logs near the 2 GiB file limit that fill the memory. Every case runs in a child
// process of its own, one after the other, so that none inherits another's heap and the peak
// memory (max RSS) is the case's own.
//   bench_hostile                 runs every case and prints its figures
//   bench_hostile CASE...         runs only the cases named
//   bench_hostile --unicode [CASE...]
//                                 the Unicode cases (all, or those named): a line of figures each,
//                                 then the worst five of each figure
//   bench_hostile --child CASE    one case in this process: prints "figure value unit" lines
// The Unicode cases are a log of 100 messages each, senders of at least 1,100 UTF-16 code units
// and texts of at least 6,000: "block-XXXX" fills them with the printable characters of the 256
// code points from U+XXXX (every such block of planes 0 and 1, and a sample of planes 2 and 3),
// and the composed cases with what Qt shapes as longer pieces: emoji sequences, stacked marks,
// changes of direction, scripts whose letters join or stack.
// Times run from the dialog's acceptance (or the row change, or the page step) until the event
// loop has nothing left to do: the table and the pane are laid out and painted.
#include "benchwindow.h"
#include "messagelog.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
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

// The printable code points of the 256 from `first`.
QVector<uint> printableBlock(uint first)
{
    QVector<uint> points;
    for (uint c = first; c < first + 256; ++c) {
        if (QChar::isPrint(c))
            points << c;
    }
    return points;
}

// The blocks of the Unicode cases: every block of planes 0 and 1 with a printable character, and
// the first block of every 4,096 code points of planes 2 and 3 that has one.
QStringList unicodeBlocks()
{
    QStringList names;
    for (uint first = 0; first < 0x40000; first += 256) {
        if (first >= 0x20000 && first % 0x1000 != 0)
            continue;
        if (!printableBlock(first).isEmpty())
            names << QStringLiteral("block-") +
                         QString::number(first, 16).toUpper().rightJustified(4, QLatin1Char('0'));
    }
    return names;
}

// The composed cases: pieces repeated, by name.
QList<QPair<const char *, QStringList>> composedPieces()
{
    const auto u = [](std::initializer_list<uint> points) {
        QString text;
        for (uint c : points)
            text += QString::fromUcs4(&c, 1);
        return text;
    };
    QStringList selectors, keycaps, tones, flags, tagFlags, stacks, controls;
    // Pictographs shown as text unless U+FE0F asks for the emoji form.
    for (uint c :
         {0x2600u, 0x2601u, 0x260Eu, 0x2614u, 0x2618u, 0x261Du, 0x2620u, 0x2622u, 0x2639u, 0x263Au,
          0x2648u, 0x265Fu, 0x2660u, 0x2663u, 0x2665u, 0x2668u, 0x267Bu, 0x2692u, 0x2694u, 0x2699u,
          0x26A0u, 0x26A7u, 0x2702u, 0x2708u, 0x2709u, 0x270Cu, 0x270Fu, 0x2712u, 0x2714u, 0x2716u,
          0x2721u, 0x2733u, 0x2744u, 0x2747u, 0x2763u, 0x2764u, 0x27A1u, 0x2934u, 0x2B05u, 0x3030u,
          0x00A9u, 0x00AEu, 0x203Cu, 0x2122u, 0x2139u, 0x21A9u, 0x231Au, 0x2328u})
        selectors << u({c, 0xFE0F});
    for (uint c : QString(QStringLiteral("0123456789#*")).toUcs4())
        keycaps << u({c, 0xFE0F, 0x20E3});
    for (uint c : {0x1F44Du, 0x1F44Bu, 0x1F590u, 0x1F64Fu, 0x1F9D1u, 0x1F466u, 0x1F3C3u})
        for (uint tone = 0x1F3FB; tone <= 0x1F3FF; ++tone)
            tones << u({c, tone});
    for (const char *code : {"DE", "FR", "US", "JP", "BR", "IN", "ZA", "UA", "CA", "GB",
                             "CN", "KR", "SE", "NO", "FI", "AR", "MX", "EG", "NG", "AU"})
        flags << u({0x1F1E6u + uint(code[0] - 'A'), 0x1F1E6u + uint(code[1] - 'A')});
    for (const char *region : {"gbeng", "gbsct", "gbwls", "usca", "ustx", "frbre"}) {
        QString flag = u({0x1F3F4});
        for (const char *p = region; *p; ++p)
            flag += u({0xE0000u + uint(*p)});
        tagFlags << flag + u({0xE007F});
    }
    // Letters under 30 combining marks each, of the marks above and below.
    for (int base = 0; base < 26; ++base) {
        QString stack(QChar(ushort('a' + base)));
        for (int mark = 0; mark < 30; ++mark)
            stack += QChar(ushort(0x0300 + (base * 7 + mark * 5) % 0x70));
        stacks << stack;
    }
    // Words inside every kind of explicit embedding, override and isolate.
    for (uint c : {0x202Au, 0x202Bu, 0x202Du, 0x202Eu, 0x2066u, 0x2067u, 0x2068u})
        controls << u({c}) + QStringLiteral("abc ") + u({0x05D0, 0x05D1, 0x0020}) +
                        (c >= 0x2066 ? u({0x2069}) : u({0x202C}));
    QString alternating;
    for (int i = 0; i < 64; ++i)
        alternating += i % 2 == 0 ? QChar(ushort('a' + i % 26)) : QChar(ushort(0x0627 + i % 20));

    return {
        {"emoji-selector", selectors},
        {"keycaps", keycaps},
        {"zwj-sequences",
         {u({0x1F468, 0x200D, 0x1F469, 0x200D, 0x1F467, 0x200D, 0x1F466}),
          u({0x1F469, 0x200D, 0x1F4BB}), u({0x1F3F3, 0xFE0F, 0x200D, 0x1F308}),
          u({0x1F9D1, 0x1F3FD, 0x200D, 0x1F91D, 0x200D, 0x1F9D1, 0x1F3FB}),
          u({0x1F415, 0x200D, 0x1F9BA}), u({0x2764, 0xFE0F, 0x200D, 0x1F525}),
          u({0x1F441, 0xFE0F, 0x200D, 0x1F5E8, 0xFE0F})}},
        {"skin-tones", tones},
        {"flags", flags},
        {"tag-flags", tagFlags},
        {"marks-30", stacks},
        {"direction-controls", controls},
        {"alternating-directions", {alternating}},
        {"arabic-shaping",
         {QStringLiteral("بِسْمِ ٱللَّهِ ٱلرَّحْمَٰنِ ٱلرَّحِيمِ "), QStringLiteral("لَا إِلَٰهَ "),
          QStringLiteral("ﷺ ﷽ مُحَمَّدٌ ")}},
        {"indic-conjuncts",
         {QStringLiteral("क्ष्म्य "), QStringLiteral("द्ध्र्य "), QStringLiteral("ন্ত্র্য "),
          QStringLiteral("க்ஷ்ரீ "), QStringLiteral("ಕ್ಷ್ಮ್ಯ "), QStringLiteral("ශ්‍රී ")}},
        {"thai", {QStringLiteral("ภาษาไทย "), QStringLiteral("กิ่ก้ำน้ำ "), QStringLiteral("ฎุฏุฐุ ")}},
        {"myanmar", {QStringLiteral("မြန်မာစာ "), QStringLiteral("က္ကြွှ "), QStringLiteral("ဿ္ထ ")}},
        {"tibetan-stacks", {QStringLiteral("བསྒྲུབས "), QStringLiteral("ཀྵྐྑྒྒྷ "), QStringLiteral("ཧྐྵྨླྺྼཱཱཱིིུུ ")}},
    };
}

QStringList composedCases()
{
    QStringList names;
    for (const auto &piece : composedPieces())
        names << QStringLiteral("composed-%1").arg(QLatin1String(piece.first));
    return names;
}

// The pieces of a Unicode case: one code point each for a block, the sequences of a composed case.
QStringList unicodePieces(const QString &name)
{
    if (name.startsWith(QLatin1String("block-"))) {
        bool ok = false;
        const uint first = name.mid(6).toUInt(&ok, 16);
        QStringList pieces;
        for (uint c : printableBlock(ok ? first : 0x110000))
            pieces << QString::fromUcs4(&c, 1);
        return pieces;
    }
    for (const auto &piece : composedPieces()) {
        if (name == QLatin1String("composed-") + QLatin1String(piece.first))
            return piece.second;
    }
    return {};
}

// At least `units` UTF-16 code units of the pieces in turn, starting at piece `from`.
QByteArray cycled(const QStringList &pieces, int from, int units)
{
    QString text;
    for (int i = from; text.size() < units; ++i)
        text += pieces.at(i % pieces.size());
    return text.toUtf8();
}

// The logs, by case name.
bool writeCaseLog(const QString &name, const QString &path)
{
    const quint32 t = 1714555800;
    const QStringList pieces = unicodePieces(name);
    if (!pieces.isEmpty()) {
        // Each message starts elsewhere in the pieces, so that the rows differ.
        return writeLog(path, 100, [&](int i) {
            return record(t + quint32(i), cycled(pieces, i * 7, 1100), cycled(pieces, i * 3, 6000));
        });
    }
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

// One child per case; returns its figures by name, empty when it failed.
QMap<QString, double> runChild(const QString &name, QByteArray *output)
{
    QProcess child;
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--child"), name});
    const bool ok = child.waitForFinished(-1) && child.exitStatus() == QProcess::NormalExit &&
                    child.exitCode() == 0;
    *output = child.readAllStandardOutput();
    QMap<QString, double> figures;
    if (!ok)
        return figures;
    for (const QByteArray &line : output->split('\n')) {
        // "figure value unit": the figure's name may hold blanks.
        const QList<QByteArray> words = line.trimmed().split(' ');
        for (int i = words.size() - 1; i > 0; --i) {
            bool number = false;
            const double value = words.at(i).toDouble(&number);
            if (number) {
                figures.insert(QString::fromUtf8(words.mid(0, i).join(' ')), value);
                break;
            }
        }
    }
    return figures;
}

// The Unicode cases: one line each of the open, the slowest row change and the slowest page, then
// the five cases worst at each.
int runUnicode(QStringList cases)
{
    if (cases.isEmpty())
        cases = unicodeBlocks() + composedCases();
    const char *const shown[] = {"open", "row change, max", "page, max"};
    QMap<QString, QList<QPair<double, QString>>> byFigure;
    int failures = 0;
    for (const QString &name : cases) {
        QByteArray output;
        const QMap<QString, double> figures = runChild(name, &output);
        if (figures.value(QStringLiteral("rows")) != 100) {
            std::printf("%-30s FAILED\n%s", qPrintable(name), output.constData());
            ++failures;
            continue;
        }
        std::printf("%-30s", qPrintable(name));
        for (const char *figure : shown) {
            const double value = figures.value(QLatin1String(figure));
            std::printf("  %s %7.1f ms", figure, value);
            byFigure[QLatin1String(figure)] << qMakePair(value, name);
        }
        std::printf("\n");
        std::fflush(stdout);
    }
    for (const char *figure : shown) {
        QList<QPair<double, QString>> worst = byFigure.value(QLatin1String(figure));
        std::sort(worst.begin(), worst.end(), std::greater<>());
        std::printf("== worst %s:", figure);
        for (int i = 0; i < qMin(5, worst.size()); ++i)
            std::printf(" %s %.1f ms%s", qPrintable(worst.at(i).second), worst.at(i).first,
                        i < qMin(5, worst.size()) - 1 ? "," : "");
        std::printf("\n");
    }
    std::printf("== %d of %d cases failed\n", failures, int(cases.size()));
    return failures == 0 ? 0 : 1;
}

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
    if (!arguments.isEmpty() && arguments.at(0) == QLatin1String("--unicode"))
        return runUnicode(arguments.mid(1));
    QStringList cases = arguments;
    if (cases.isEmpty()) {
        for (const char *name : allCases)
            cases << QString::fromLatin1(name);
    }
    return runChildren(cases);
}
