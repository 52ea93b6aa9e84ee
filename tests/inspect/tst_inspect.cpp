// tox-inspect run as the program it is, where no display can be opened: its text outputs against
// the windows' producers, its JSON and CSV against golden files byte for byte, its exit statuses
// and errors, --write, and saves that the Tox library encrypted, against the same saves
// unencrypted.
#include "parsedlog.h"
#include "savefile.h"
#include "testdata.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <tox/toxencryptsave.h>
#include <unistd.h>

namespace
{

// Where the golden files and the expected texts say the inputs are.
const QString evidence = QStringLiteral("/evidence");

struct Run {
    int status = -1;
    QByteArray out;
    QString err;
};

// Runs the program in `folder`, without a display, with `input` on its standard input; its
// outputs name that folder /evidence. Its standard output goes to `outputFile` when one is given.
Run run(const QString &folder, const QStringList &arguments, const QByteArray &input = {},
        const QString &outputFile = QString())
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY"); // a program that opened a display would fail at once
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", "xcb");
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    if (!outputFile.isEmpty())
        process.setStandardOutputFile(outputFile);
    process.start(TOX_INSPECT, arguments);
    process.write(input);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(),
            process.readAllStandardOutput().replace(folder.toUtf8(), evidence.toUtf8()),
            QString::fromUtf8(process.readAllStandardError()).replace(folder, evidence)};
}

// The standard output of the program run in `folder` on a terminal, through script(1); the
// terminal turns each line feed into CR LF, which is turned back.
QByteArray onTerminal(const QString &folder, const QStringList &arguments)
{
    QProcess process;
    process.setWorkingDirectory(folder);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start("script",
                  {"-qec", QString(TOX_INSPECT " '%1'").arg(arguments.join("' '")), "/dev/null"});
    process.waitForFinished(30000);
    return process.readAllStandardOutput()
        .replace("\r\n", "\n")
        .replace(folder.toUtf8(), evidence.toUtf8());
}

// What the window writes for `file`, which it names `shownAs`; empty when it cannot decode it.
QByteArray windowOutput(const QString &file, const QString &shownAs)
{
    const QByteArray data = readFile(file);
    if (file.endsWith(".tox")) {
        const ParseResult save = parseSaveData(data, shownAs);
        return save.success ? save.report.toUtf8() : QByteArray();
    }
    QByteArray text;
    const auto sink = [&text](const char *piece, qint64 size) {
        text.append(piece, int(size));
        return true;
    };
    const LogParseResult log = parseMessageLog(data);
    if (log.error.isEmpty())
        writeParsedLog(sink, shownAs, log.messages, log.limitReached);
    return text;
}

const QByteArray passphrase = "correct horse battery staple";

// What tox-inspect prints for `name` in `folder`, which it names `shownAs`: the window's report
// of a plain save; for NAME-encrypted.tox, that of NAME.tox decrypted, named by the encrypted file,
// with the line that says so.
QByteArray saveReport(const QString &folder, const QString &name, const QString &shownAs)
{
    if (!name.endsWith("-encrypted.tox"))
        return windowOutput(folder + '/' + name, shownAs);
    QByteArray report = windowOutput(folder + '/' + QString(name).remove("-encrypted"), shownAs);
    return report.insert(("=== Tox Save File: " + shownAs + " ===\n").toUtf8().size(),
                         "Decrypted with the passphrase given (encrypted file: " +
                             QByteArray::number(QFileInfo(folder + '/' + name).size()) +
                             " bytes)\n");
}

} // namespace

class TestInspect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void outputs_data();
    void outputs();
    void jsonInPieces();
    void hiddenPublicKey();
    void write_data();
    void write();
    void writeSparesTheOtherInputs_data();
    void writeSparesTheOtherInputs();
    void encryptedSaves_data();
    void encryptedSaves();
    void encryptedSavesJson();
    void damagedEncryptedSaves_data();
    void damagedEncryptedSaves();
    void writeDecrypted();
    void closedStandardInput();
    void noCoreFileOfThePassphrase();
    void typedWithoutEcho();
    void terminal();
    void fullStandardOutput();
    void jsonSaysWhenTheLimitIsReached();

private:
    QTemporaryDir temporary;
    QString dir; // canonical: the program names files by their absolute path
};

void TestInspect::initTestCase()
{
    // Central European time: the edge log has messages at both of its offsets from UTC.
    qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    QVERIFY(temporary.isValid());
    dir = QFileInfo(temporary.path()).canonicalFilePath();
    for (const QString name : {"rich.tox", "damaged.tox", "encrypted.tox", "edge.log",
                               "../../samples/alice.tox", "../../samples/chat.log"})
        QVERIFY(QFile::copy(testData(name), dir + '/' + QFileInfo(name).fileName()));
    QVERIFY(writeFile(dir + "/tiny.log", counting(15)));
    QVERIFY(QFile::copy(dir + "/chat.log", dir + "/-qmljsdebugger=a.log")); // an option of Qt's
    QByteArray many; // more than two chunks of the text export, over a megabyte of JSON Lines
    for (int i = 0; i < 10000; ++i)
        many += logRecord(1700000000 + i, 8, i % 2, i, "s", "message " + QByteArray::number(i));
    QVERIFY(writeFile(dir + "/many.log", many));

    // Saves as the Tox library encrypts them, and the passphrase files of the encrypted tests.
    for (const QString name : {"alice", "rich"}) {
        const QByteArray plain = readFile(dir + '/' + name + ".tox");
        QByteArray encrypted(plain.size() + TOX_PASS_ENCRYPTION_EXTRA_LENGTH, '\0');
        QVERIFY(tox_pass_encrypt(
            reinterpret_cast<const uint8_t *>(plain.constData()), size_t(plain.size()),
            reinterpret_cast<const uint8_t *>(passphrase.constData()), size_t(passphrase.size()),
            reinterpret_cast<uint8_t *>(encrypted.data()), nullptr));
        QVERIFY(writeFile(dir + '/' + name + "-encrypted.tox", encrypted));
    }
    for (const QString name : {"alice.tox", "alice-encrypted.tox"}) // a name with a line end
        QVERIFY(QFile::copy(dir + '/' + name, dir + "/line\nend" + name.mid(5)));
    QVERIFY(writeFile(dir + "/marker.tox",
                      QByteArray::fromHex("011e81c0d67bba9e") + QByteArray(100, 'k')));
    QVERIFY(writeFile(dir + "/pass.txt", passphrase + "\r\nthe second line is not read\n"));
    QVERIFY(writeFile(dir + "/wrong.txt", passphrase + " \n"));
    QVERIFY(writeFile(dir + "/empty.txt", ""));
    QVERIFY(writeFile(dir + "/blank.txt", "\r\n" + passphrase + '\n'));
    QVERIFY(writeFile(dir + "/huge.txt", passphrase + '\n'));
    QVERIFY(QFile::resize(dir + "/huge.txt", qint64(3) << 30)); // sparse: larger than any input
    QVERIFY(::mkfifo(qPrintable(dir + "/fifo"), 0600) == 0);
    // A log whose second record is damaged: its text runs past the end of the file.
    QVERIFY(writeFile(dir + "/damaged.log", logRecord(1700000000, 8, 1, 0, "Ann", "hello") +
                                                logRecord(1700000060, 8, 0, 0, {}, "x", 40)));
    // A sender that would retitle a terminal, a text that would turn a line around, a C1 control,
    // a carriage return, DEL and a tab.
    QVERIFY(writeFile(dir + "/terminal.log", logRecord(1700000000, 8, 1, 0,
                                                       "\x1b]0;owned\x07"
                                                       "Eve",
                                                       "a\xe2\x80\xae"
                                                       "b\xc2\x85"
                                                       "c\rd\x7f"
                                                       "e\tf")));
    // lnk/.. is sub, where another alice.tox is.
    QVERIFY(QDir(dir).mkpath("sub/folder") && QFile::link(dir + "/sub/folder", dir + "/lnk"));
    QVERIFY(QFile::copy(dir + "/rich.tox", dir + "/sub/alice.tox"));
}

void TestInspect::outputs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected"); // files whose window outputs are printed, or golden
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("errors");
    const auto row = [](const char *name, const QStringList &arguments, const QStringList &expected,
                        int status, const QString &errors) {
        QTest::newRow(name) << arguments << expected << status << errors;
    };
    const auto good = [&row](const char *name, const QStringList &arguments) {
        row(name, arguments, arguments.mid(1), 0, QString());
    };
    good("save: the sample, golden, damaged and encrypted, one report after another",
         {"save", "alice.tox", "rich.tox", "damaged.tox", "encrypted.tox"});
    good("log: the sample, then quotes, line breaks, control bytes, no sender, no text",
         {"log", "chat.log", "edge.log"});
    good("log: ten thousand messages, rendered in chunks", {"log", "many.log"});
    row("log: a file named like an option of Qt's own", {"log", "--", "-qmljsdebugger=a.log"},
        {"-qmljsdebugger=a.log"}, 0, QString());
    good("save: a path through a link and .., named as given", {"save", "lnk/../alice.tox"});
    row("a missing file whose name holds a line feed and an escape", {"save", "a\nb\x1b\\.tox"}, {},
        1,
        "tox-inspect: \"a\\x0ab\\x1b\\\\.tox\": Could not open '/evidence/a\\x0ab\\x1b\\.tox'\n");
    const QString notSave = "tox-inspect: chat.log: Invalid Tox save file magic. Expected "
                            "[0x00000000] [0x15ed1b1f]\n";
    const QString missing = "tox-inspect: missing.tox: Could not open '/evidence/missing.tox'\n";
    row("good, missing and bad saves", {"save", "alice.tox", "missing.tox", "chat.log", "rich.tox"},
        {"alice.tox", "rich.tox"}, 1, missing + notSave);
    row("short and good logs", {"log", "tiny.log", "chat.log"}, {"chat.log"}, 1,
        "tox-inspect: tiny.log: File too small to be a valid ORVA message log (min 16 bytes)\n");
    row("save json: the sample, golden, damaged, encrypted, not a save, missing",
        {"save", "--format", "json", "alice.tox", "rich.tox", "damaged.tox", "encrypted.tox",
         "chat.log", "missing.tox"},
        {"inspect_saves.jsonl"}, 1, notSave + missing);
    row("log json: the sample and the edge log",
        {"log", "--format", "json", "chat.log", "edge.log"}, {"inspect_logs.jsonl"}, 0, QString());
    row("log json: a damaged log and refused files; where each stopped, or why it was refused",
        {"log", "-f", "json", "damaged.log", "tiny.log", "missing.log", "rich.tox"},
        {"inspect_logs_stopped.jsonl"}, 1,
        "tox-inspect: tiny.log: File too small to be a valid ORVA message log (min 16 bytes)\n"
        "tox-inspect: missing.log: Could not open '/evidence/missing.log'\n"
        "tox-inspect: rich.tox: This is a Tox save file, not an ORVA message log (open it with "
        "save_reader)\n");
    row("log csv: the sample and the edge log", {"log", "-f", "csv", "chat.log", "edge.log"},
        {"inspect_logs.csv"}, 0, QString());
    const auto usage = [&row](const char *name, const QStringList &arguments, const char *error) {
        row(name, arguments, {}, 2,
            QString("tox-inspect: %1\nTry 'tox-inspect --help' for more.\n").arg(error));
    };
    usage("nothing to inspect", {}, "say what to inspect: save or log");
    usage("unknown kind", {"logs", "chat.log"}, "unknown kind 'logs': use save or log");
    usage("no file", {"log"}, "no file given");
    usage("unknown option", {"log", "--fast", "chat.log"}, "Unknown option 'fast'.");
    usage("unknown format", {"log", "-f", "xml", "chat.log"},
          "unknown format 'xml': use text, json or csv");
    usage("csv of saves", {"save", "-f", "csv", "alice.tox"}, "csv is a format of logs only");
    usage("--write with json", {"log", "-w", "-f", "json", "a.log"},
          "--write writes the text format only");
    usage("passphrase file for logs", {"log", "--passphrase-file", "pass.txt", "chat.log"},
          "--passphrase-file is for saves only");
    usage("two passphrase files",
          {"save", "--passphrase-file", "pass.txt", "--passphrase-file", "-", "a.tox"},
          "give one passphrase file");
}

// Files are given by relative names, and the outputs name them by their absolute path.
void TestInspect::outputs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);
    QFETCH(int, status);
    QFETCH(QString, errors);
    const bool text = !arguments.contains("json") && !arguments.contains("csv");
    QByteArray bytes;
    for (const QString &name : expected)
        bytes +=
            text ? windowOutput(dir + '/' + name, evidence + '/' + name) : readFile(testData(name));
    const Run result = run(dir, arguments);
    QCOMPARE(result.err, errors);
    QCOMPARE(QString::fromUtf8(result.out).split('\n'), QString::fromUtf8(bytes).split('\n'));
    QCOMPARE(result.status, status);
    const QByteArray secret = readFile(dir + "/rich.tox").mid(52, 32).toHex().toUpper();
    QVERIFY(!result.out.toUpper().contains(secret)); // in no form, whatever else changes
}

// A public key that is not the secret key's is in neither the report nor the JSON, nor is the
// nospam beside it; the JSON has no Tox ID for it and says why.
void TestInspect::hiddenPublicKey()
{
    const QByteArray key = counting(32, 0x40);
    QVERIFY(writeFile(dir + "/other.tox", toxSave({toxSection(1, QByteArray::fromHex("01020304") +
                                                                     key + testSecretKey()),
                                                   toxSection(255, QByteArray())})));
    const Run text = run(dir, {"save", "other.tox"});
    QVERIFY(text.out.contains("    nospam: <hidden: the keys beside it do not match>\n"
                              "    public_key: <hidden: it does not match the secret key stored "
                              "beside it>\n    secret_key: <hidden>\n"));
    const QByteArray json = run(dir, {"save", "-f", "json", "other.tox"}).out;
    const QJsonObject section = QJsonDocument::fromJson(json)["sections"][0].toObject();
    QVERIFY(!section.contains("nospam") && !section.contains("public_key") &&
            !section.contains("tox_id"));
    QCOMPARE(section["problems"].toArray(),
             QJsonArray({"nospam and public key hidden: the public key does not match the secret "
                         "key stored beside it"}));
    QVERIFY(!json.toUpper().contains(key.toHex().toUpper()));
}

// Over a megabyte of JSON Lines, written in pieces: each message once, in order.
void TestInspect::jsonInPieces()
{
    const QList<QByteArray> lines = run(dir, {"log", "-f", "json", "many.log"}).out.split('\n');
    QCOMPARE(lines.size(), 10002);
    for (const int n : {1, 5000, 10000})
        QCOMPARE(QJsonDocument::fromJson(lines.at(n - 1))["n"].toInt(), n);
}

void TestInspect::write_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("atOutput"); // what stands at the output name beforehand
    QTest::addColumn<QString>("status");   // its line, which names the output
    for (const QString input : {"alice.tox", "chat.log"}) {
        const bool save = input.endsWith(".tox");
        const QString output = save ? "/evidence/alice.txt" : "/evidence/chat_parsed.txt";
        const QString parsed = save ? "Parsed" : "Parsed 16 message(s).";
        const QString saved = parsed + (save ? " and saved to " : " Saved to ") + output;
        const QString failed = parsed + (save ? " but could" : " Could") + " not save to " + output;
        const auto row = [&](const char *name, const char *atOutput, const QString &status) {
            QTest::addRow("%s, %s", qPrintable(input), name) << input << atOutput << status;
        };
        row("fresh output", "nothing", saved);
        row("symbolic link at the output name", "symlink", failed + " (it is a symbolic link)");
        row("output is the input by a hard link", "hardlink", failed + " (it is the input file)");
        // A failed write gives the system's reason.
        row("directory at the output name", "directory", failed + ": Is a directory");
    }
}

void TestInspect::write()
{
    QFETCH(QString, input);
    QFETCH(QString, atOutput);
    QFETCH(QString, status);
    QTemporaryDir temporaryFolder;
    const QDir folder(QFileInfo(temporaryFolder.path()).canonicalFilePath());
    const QString in = folder.filePath(input);
    const QString output =
        folder.filePath(input.endsWith(".tox") ? "alice.txt" : "chat_parsed.txt");
    const QString other = folder.filePath("other");
    QVERIFY(QFile::copy(dir + '/' + input, in) && writeFile(other, "another file, left as it was"));
    QVERIFY(atOutput != "symlink" || QFile::link(other, output));
    QVERIFY(atOutput != "hardlink" || ::link(qPrintable(in), qPrintable(output)) == 0);
    QVERIFY(atOutput != "directory" || folder.mkdir(output));
    const auto state = [&folder] { // of every entry: name, link target, whether a folder, content
        QStringList entries;
        for (const QFileInfo &entry : folder.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                           QDir::Hidden | QDir::System))
            entries << entry.fileName() + entry.symLinkTarget() + QString::number(entry.isDir()) +
                           QString::number(qHash(readFile(entry.filePath())));
        return entries;
    };
    QStringList expected = state();
    const bool written = !status.contains("not save");
    if (written) // the output, between the input and the other file; nothing else is left
        expected = QStringList{expected.first(),
                               QFileInfo(output).fileName() + '0' +
                                   QString::number(qHash(windowOutput(in, in))),
                               expected.last()};

    const Run result =
        run(folder.path(), {input.endsWith(".tox") ? "save" : "log", "--write", input});
    QCOMPARE(result.status, written ? 0 : 1);
    QCOMPARE(result.out, written ? (status + '\n').toUtf8() : QByteArray());
    QCOMPARE(result.err, written ? QString() : "tox-inspect: " + input + ": " + status + '\n');
    QCOMPARE(state(), expected);
}

// No output replaces another file named on the same command line; a name that equals it ignoring
// case counts as that file. Each file named is a copy of the sample of its kind.
void TestInspect::writeSparesTheOtherInputs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("refused"); // a file named, then the output refused for it
    QTest::newRow("a log and its export")
        << QStringList{"log", "--write", "chat.log", "chat_parsed.txt"}
        << QStringList{"chat.log", "chat_parsed.txt"};
    QTest::newRow("a save and its report")
        << QStringList{"save", "--write", "alice.tox", "alice.txt"}
        << QStringList{"alice.tox", "alice.txt", "alice.txt", "alice.txt"};
    QTest::newRow("a save and its report in capitals")
        << QStringList{"save", "--write", "alice.tox", "ALICE.TXT"}
        << QStringList{"alice.tox", "alice.txt", "ALICE.TXT", "ALICE.txt"};
}

void TestInspect::writeSparesTheOtherInputs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, refused);
    const bool log = arguments.first() == "log";
    QString errors;
    for (int i = 0; i < refused.size(); i += 2)
        errors +=
            QString("tox-inspect: %1: Parsed%2 not save to /evidence/%3 (it is the input file)\n")
                .arg(refused.at(i), log ? " 16 message(s). Could" : " but could",
                     refused.at(i + 1));
    QTemporaryDir temporaryFolder;
    const QDir folder(QFileInfo(temporaryFolder.path()).canonicalFilePath());
    const QString sample = dir + (log ? "/chat.log" : "/alice.tox");
    for (const QString &name : arguments.mid(2))
        QVERIFY(QFile::copy(sample, folder.filePath(name)));
    const Run result = run(folder.path(), arguments);
    QCOMPARE(result.err, errors);
    for (const QString &name : arguments.mid(2))
        QCOMPARE(readFile(folder.filePath(name)), readFile(sample));
    QCOMPARE(result.status, 1);
}

void TestInspect::encryptedSaves_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");     // on standard input, or waiting in the FIFO "fifo"
    QTest::addColumn<QStringList>("expected"); // the saves whose reports are printed
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("errors");
    const auto row = [](const char *name, const QString &file, const QByteArray &input,
                        const QStringList &saves, const QStringList &expected,
                        const QString &errors) {
        QTest::newRow(name) << QStringList{"save", "--passphrase-file", file} + saves << input
                            << expected << (errors.isEmpty() ? 0 : 1) << errors;
    };
    const QStringList both = {"alice-encrypted.tox", "alice.tox", "rich-encrypted.tox"};
    row("passphrase file ending in CR LF, encrypted saves beside a plain one", "pass.txt", {}, both,
        both, {});
    row("standard input", "-", passphrase + '\n', {"rich-encrypted.tox"}, {"rich-encrypted.tox"},
        {});
    row("standard input without a line end", "-", passphrase, {"alice-encrypted.tox"},
        {"alice-encrypted.tox"}, {});
    row("a name with a line end: the line goes after the whole title", "pass.txt", {},
        {"line\nend-encrypted.tox"}, {"line\nend-encrypted.tox"}, {});
    row("passphrase file of 3 GiB: its first line only is read", "huge.txt", {},
        {"alice-encrypted.tox"}, {"alice-encrypted.tox"}, {});
    row("FIFO with its writer", "fifo", passphrase + "\nnext\n", {"alice-encrypted.tox"},
        {"alice-encrypted.tox"}, {});
    const QString wrong =
        ": could not decrypt it: the passphrase is wrong, or the file is damaged\n";
    row("wrong passphrase: no part of its report, the plain save still reported", "wrong.txt", {},
        {"alice-encrypted.tox", "alice.tox"}, {"alice.tox"},
        "tox-inspect: alice-encrypted.tox" + wrong);
    row("the library's marker before bytes it did not encrypt", "pass.txt", {}, {"encrypted.tox"},
        {}, "tox-inspect: encrypted.tox" + wrong);
    row("another encryption marker", "pass.txt", {}, {"marker.tox"}, {},
        "tox-inspect: marker.tox: not a save that the Tox library encrypted with a passphrase (it "
        "does not start with \"toxEsave\"): it cannot be decrypted\n");
    const auto refused = [&row](const char *name, const QString &file, const QByteArray &input,
                                const QString &error) {
        row(name, file, input, {"alice-encrypted.tox", "alice.tox"}, {},
            "tox-inspect: " + file + ": passphrase file: " + error + '\n');
    };
    refused("empty passphrase file", "empty.txt", {}, "it is empty");
    refused("empty first line", "blank.txt", {}, "its first line is empty");
    refused("FIFO that nobody writes to", "fifo", {},
            "it is a pipe, and nothing was written to it");
    refused("missing passphrase file", "missing.txt", {}, "Could not open '/evidence/missing.txt'");
    refused("folder as passphrase file", ".", {}, "Could not open '/evidence'");
    refused("empty standard input", "-", "", "it is empty");
    refused("first line over 65536 bytes", "-", QByteArray(65537, 'p') + '\n',
            "its first line is longer than 65536 bytes");
}

// The report of a save decrypted is that of the same save unencrypted, named by the encrypted file,
// with one line more; a passphrase that cannot be read stops the run before any file is read.
void TestInspect::encryptedSaves()
{
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QStringList, expected);
    QFETCH(int, status);
    QFETCH(QString, errors);
    int fifo = -1; // read and write: the line waits in the FIFO, which the program finds written
    if (arguments.contains("fifo") && !input.isNull()) {
        fifo = ::open(qPrintable(dir + "/fifo"), O_RDWR | O_NONBLOCK);
        QVERIFY(fifo >= 0 && ::write(fifo, input.constData(), size_t(input.size())) > 0);
    }
    const Run result = run(dir, arguments, fifo < 0 ? input : QByteArray());
    if (fifo >= 0)
        ::close(fifo);
    QByteArray reports;
    for (const QString &name : expected)
        reports += saveReport(dir, name, evidence + '/' + name);
    QCOMPARE(result.err, errors);
    QCOMPARE(result.out, reports);
    QCOMPARE(result.status, status);
    QVERIFY(!result.out.contains(passphrase) && !result.err.contains(passphrase));
    const QByteArray secret = readFile(dir + "/rich.tox").mid(52, 32).toHex().toUpper();
    QVERIFY(!result.out.toUpper().contains(secret));
}

// JSON: the same sections, Tox ID and problems as the plain save's (the golden lines), encrypted
// and decrypted; a save the passphrase does not open is an error without sections.
void TestInspect::encryptedSavesJson()
{
    const Run result = run(dir, {"save", "-f", "json", "--passphrase-file", "pass.txt",
                                 "alice-encrypted.tox", "rich-encrypted.tox", "encrypted.tox"});
    QCOMPARE(result.status, 1);
    const QList<QByteArray> lines = result.out.split('\n');
    QCOMPARE(lines.size(), 4);
    const QList<QByteArray> golden = readFile(testData("inspect_saves.jsonl")).split('\n');
    for (int i = 0; i < 2; ++i) {
        const QString name = QStringList{"alice", "rich"}.at(i);
        QJsonObject expected = QJsonDocument::fromJson(golden.at(i)).object();
        QCOMPARE(expected["file"].toString(), evidence + '/' + name + ".tox");
        const QByteArray encrypted = readFile(dir + '/' + name + "-encrypted.tox");
        expected["file"] = evidence + '/' + name + "-encrypted.tox";
        expected["size"] = encrypted.size();
        expected["sha256"] = QString::fromLatin1(
            QCryptographicHash::hash(encrypted, QCryptographicHash::Sha256).toHex());
        expected["encrypted"] = true;
        expected["decrypted"] = true;
        QCOMPARE(QJsonDocument::fromJson(lines.at(i)).object(), expected);
    }
    const QJsonObject refused = QJsonDocument::fromJson(lines.at(2)).object();
    QCOMPARE(refused["encrypted"], true);
    QCOMPARE(refused["decrypted"], false);
    QCOMPARE(refused["ok"], false);
    QCOMPARE(refused["sections"].toArray().size(), 0);
    QVERIFY(refused["error"].toString().contains("the passphrase is wrong"));
}

// A sample of the damaged forms that bench_encrypted runs all of: cuts and flipped bytes in every
// part of the library's format (marker, salt, nonce, MAC, encrypted save). Each is refused alone.
void TestInspect::damagedEncryptedSaves_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray encrypted = readFile(dir + "/alice-encrypted.tox");
    for (const int length : {0, 8, 79, 80, 81, int(encrypted.size()) - 1})
        QTest::addRow("cut to %d bytes", length) << encrypted.left(length);
    for (const int at : {0, 8, 40, 64, 80, int(encrypted.size()) - 1}) {
        QByteArray flipped = encrypted;
        flipped[at] = char(flipped.at(at) ^ 0x01);
        QTest::addRow("byte %d flipped", at) << flipped;
    }
}

void TestInspect::damagedEncryptedSaves()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir temporaryFolder;
    const QString folder = temporaryFolder.path();
    QVERIFY(writeFile(folder + "/damaged.tox", bytes));
    QVERIFY(QFile::copy(dir + "/pass.txt", folder + "/pass.txt"));
    const QByteArray secret = readFile(dir + "/alice.tox").mid(52, 32);
    for (const QStringList &format : {QStringList(), QStringList{"-f", "json"}}) {
        const Run result = run(
            folder, QStringList{"save", "--passphrase-file", "pass.txt", "damaged.tox"} + format);
        QCOMPARE(result.status, 1);
        QVERIFY(result.err.startsWith("tox-inspect: damaged.tox: ") && result.err.count('\n') == 1);
        const QJsonObject object = QJsonDocument::fromJson(result.out).object();
        QVERIFY(format.isEmpty() ? result.out.isEmpty()
                                 : object["ok"] == false && object["sections"] == QJsonArray());
        for (const QByteArray &shown :
             {secret, secret.toHex(), secret.toHex().toUpper(), passphrase})
            QVERIFY(!result.out.contains(shown) && !result.err.toUtf8().contains(shown));
    }
}

// --write writes the report of the decrypted save, and nothing else, under the windows' name.
// It spares the passphrase file as it spares the other files named.
void TestInspect::writeDecrypted()
{
    QTemporaryDir temporaryFolder;
    const QDir folder(QFileInfo(temporaryFolder.path()).canonicalFilePath());
    for (const QString name : {"alice-encrypted.tox", "pass.txt"})
        QVERIFY(QFile::copy(dir + '/' + name, folder.filePath(name)));
    const Run result = run(
        folder.path(), {"save", "--write", "--passphrase-file", "pass.txt", "alice-encrypted.tox"});
    QCOMPARE(result.err, QString());
    QCOMPARE(result.out, "Parsed and saved to /evidence/alice-encrypted.txt\n");
    QCOMPARE(folder.entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList({"alice-encrypted.tox", "alice-encrypted.txt", "pass.txt"}));
    QVERIFY(QFile::copy(dir + "/alice.tox", folder.filePath("alice.tox")));
    QCOMPARE(
        readFile(folder.filePath("alice-encrypted.txt")),
        saveReport(folder.path(), "alice-encrypted.tox", folder.filePath("alice-encrypted.tox")));

    // The passphrase file is named on the command line too: the report does not replace it.
    QVERIFY(writeFile(folder.filePath("alice-encrypted.txt"), passphrase));
    const Run spared = run(folder.path(), {"save", "--write", "--passphrase-file",
                                           "alice-encrypted.txt", "alice-encrypted.tox"});
    QCOMPARE(spared.err, "tox-inspect: alice-encrypted.tox: Parsed but could not save to "
                         "/evidence/alice-encrypted.txt (it is the input file)\n");
    QCOMPARE(readFile(folder.filePath("alice-encrypted.txt")), passphrase);
    QCOMPARE(spared.status, 1);
}

// A closed standard input reads as empty: the program does not wait on a descriptor of its own.
void TestInspect::closedStandardInput()
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start("/bin/sh", {"-c", "exec \"$0\" save --passphrase-file - alice-encrypted.tox <&-",
                              TOX_INSPECT});
    QVERIFY(process.waitForFinished(30000));
    QCOMPARE(process.readAllStandardError(), "tox-inspect: -: passphrase file: it is empty\n");
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QCOMPARE(process.exitCode(), 1);
}

// A program that holds the passphrase and is made to dump core (here by SIGQUIT, the quit key on a
// terminal, while it reads the passphrase) writes no core file.
void TestInspect::noCoreFileOfThePassphrase()
{
    QFile pattern("/proc/sys/kernel/core_pattern");
    if (!pattern.open(QIODevice::ReadOnly) || !pattern.readAll().startsWith("core"))
        QSKIP("core files are not written to the working folder here");
    QTemporaryDir temporaryFolder;
    const QString folder = temporaryFolder.path();
    QVERIFY(::mkfifo(qPrintable(folder + "/fifo"), 0600) == 0);
    const int fifo = ::open(qPrintable(folder + "/fifo"), O_RDWR | O_NONBLOCK);
    QVERIFY(fifo >= 0 && ::write(fifo, passphrase.constData(), size_t(passphrase.size())) > 0);
    QProcess process;
    process.setWorkingDirectory(folder);
    process.start("/bin/sh", {"-c",
                              "ulimit -c unlimited && exec \"$0\" save --passphrase-file "
                              "fifo \"$1\"",
                              TOX_INSPECT, dir + "/alice-encrypted.tox"});
    QVERIFY(process.waitForStarted());
    int unread = 1; // the line end never comes: the program holds what it read and waits
    for (int i = 0; i < 3000 && unread > 0; ++i) {
        QVERIFY(::ioctl(fifo, FIONREAD, &unread) == 0);
        QTest::qSleep(10);
    }
    QCOMPARE(unread, 0);
    ::kill(pid_t(process.processId()), SIGQUIT);
    QVERIFY(process.waitForFinished(30000));
    ::close(fifo);
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QCOMPARE(QDir(folder).entryList({"core*"}), QStringList());
}

// On a terminal the passphrase is asked for and typed without echo; a program ended meanwhile
// gives the terminal its echo back.
void TestInspect::typedWithoutEcho()
{
    for (const bool interrupted : {false, true}) {
        const QByteArray folder = QFile::encodeName(dir);
        int terminal = -1;
        const pid_t child = ::forkpty(&terminal, nullptr, nullptr, nullptr);
        QVERIFY(child >= 0);
        if (child == 0) {
            if (::chdir(folder.constData()) == 0)
                ::execl(TOX_INSPECT, TOX_INSPECT, "save", "--passphrase-file", "-",
                        "alice-encrypted.tox", static_cast<char *>(nullptr));
            ::_exit(127);
        }
        QByteArray out;
        const auto readUntil = [&](const QByteArray &end) {
            pollfd wait{terminal, POLLIN, 0};
            char buffer[4096];
            while (!out.contains(end) && ::poll(&wait, 1, 10000) > 0) {
                const ssize_t n = ::read(terminal, buffer, sizeof buffer);
                if (n <= 0)
                    break;
                out.append(buffer, int(n));
            }
        };
        readUntil("Passphrase: ");
        termios settings{};
        QVERIFY(::tcgetattr(terminal, &settings) == 0 && !(settings.c_lflag & ECHO));
        if (interrupted)
            ::kill(child, SIGINT);
        else
            QCOMPARE(::write(terminal, passphrase + '\n', size_t(passphrase.size() + 1)),
                     ssize_t(passphrase.size() + 1));
        readUntil("Total sections");
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(::tcgetattr(terminal, &settings) == 0 && (settings.c_lflag & ECHO));
        ::close(terminal);
        QVERIFY(!out.contains(passphrase));
        QCOMPARE(out.contains("Decrypted with the passphrase given"), !interrupted);
        QCOMPARE(WIFSIGNALED(status), interrupted);
    }
}

// On a terminal, what would change the terminal (escape, bell, override, C1, carriage return,
// DEL) is shown as escapes; the rest, box drawing and arrows too, is the windows' output byte for
// byte (outputs checks the bytes where the output is not a terminal).
void TestInspect::terminal()
{
    QString expected =
        QString::fromUtf8(windowOutput(dir + "/terminal.log", "/evidence/terminal.log"));
    const QStringList shown = {"\x1b",   "\\x1b",   "\x07", "\\x07", "\u202e", "\\u202E",
                               "\u0085", "\\u0085", "\r",   "\\x0d", "\x7f",   "\\x7f"};
    for (int i = 0; i < shown.size(); i += 2)
        expected.replace(shown.at(i), shown.at(i + 1));
    QCOMPARE(QString::fromUtf8(onTerminal(dir, {"log", "terminal.log"})), expected);
}

// An output that cannot be written (a full device) ends the run with status 1.
void TestInspect::fullStandardOutput()
{
    const Run result = run(dir, {"save", "alice.tox", "rich.tox"}, {}, "/dev/full");
    QCOMPARE(result.err, "tox-inspect: could not write the standard output\n");
    QCOMPARE(result.status, 1);
}

// A log with more text than one opening keeps: 151 records of a 1 MB sender, 151 MB.
void TestInspect::jsonSaysWhenTheLimitIsReached()
{
    QTemporaryDir temporaryFolder;
    const QDir folder(temporaryFolder.path());
    QFile log(folder.filePath("large.log"));
    QVERIFY(log.open(QIODevice::WriteOnly));
    const QByteArray sender(999998, 's');
    for (int i = 0; i < 151; ++i)
        QVERIFY(log.write(logRecord(1700000000 + i, 8, 0, 0, sender, "ok")) > 0);
    log.close();
    const QString output = folder.filePath("large.jsonl");
    QCOMPARE(run(folder.path(), {"log", "-f", "json", "large.log"}, {}, output).status, 0);
    QFile json(output);
    QVERIFY(json.open(QIODevice::ReadOnly) && json.seek(json.size() - 1000));
    const QJsonObject summary = QJsonDocument::fromJson(json.readAll().split('\n').at(1)).object();
    QCOMPARE(summary["messages"].toInt(), 150);
    QCOMPARE(summary["limit_reached"], QJsonValue(true));
}

QTEST_GUILESS_MAIN(TestInspect)
#include "tst_inspect.moc"
