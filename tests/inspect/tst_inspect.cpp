// tox-inspect run as the program it is, where no display can be opened: its text outputs against
// the windows' producers, its JSON and CSV read back against golden files, its exit statuses and
// errors, and --write.
#include "parsedlog.h"
#include "savefile.h"
#include "testdata.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

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

// Runs the program in `folder`, without a display; its outputs name that folder /evidence.
Run run(const QString &folder, const QStringList &arguments)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY"); // a program that opened a display would fail at once
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", "xcb");
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder);
    process.start(TOX_INSPECT, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(),
            process.readAllStandardOutput().replace(folder.toUtf8(), evidence.toUtf8()),
            QString::fromUtf8(process.readAllStandardError()).replace(folder, evidence)};
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

// An output as records to compare: its lines; JSON lines parsed and written again in one form (a
// line with a raw control character, which strict JSON forbids, stays as it was); the records of
// RFC 4180 text as JSON arrays of their fields.
QStringList records(const QString &format, const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(bytes.constData(), bytes.size());
    QStringList lines = text.split('\n');
    static const QRegularExpression control("[\\x00-\\x1f]");
    for (QString &line : lines) {
        if (format == "json" && !line.contains(control))
            line = QJsonDocument::fromJson(line.toUtf8()).toJson(QJsonDocument::Compact);
    }
    if (format != "csv")
        return lines;
    QStringList rows;
    QStringList fields{QString()};
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        if (quoted && text.mid(i, 2) == "\"\"")
            fields.last() += text.at(++i);
        else if (text.at(i) == '"')
            quoted = !quoted;
        else if (!quoted && text.at(i) == ',')
            fields << QString();
        else if (!quoted && text.mid(i, 2) == "\r\n" && ++i)
            rows << QJsonDocument(QJsonArray::fromStringList(std::exchange(fields, {QString()})))
                        .toJson(QJsonDocument::Compact);
        else
            fields.last() += text.at(i);
    }
    return rows << fields.join(QString()); // what follows the last CR LF: nothing
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
    void writeSparesTheOtherInputs();

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
}

// Files are given by relative names, and the outputs name them by their absolute path.
void TestInspect::outputs()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);
    QFETCH(int, status);
    QFETCH(QString, errors);
    const QString format = arguments.contains("json")  ? "json"
                           : arguments.contains("csv") ? "csv"
                                                       : "text";
    QByteArray bytes;
    for (const QString &name : expected)
        bytes += format == "text" ? windowOutput(dir + '/' + name, evidence + '/' + name)
                                  : readFile(testData(name));
    const Run result = run(dir, arguments);
    QCOMPARE(result.err, errors);
    QCOMPARE(records(format, result.out), records(format, bytes));
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
        row("directory at the output name", "directory", failed);
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

// No output replaces another file named on the same command line.
void TestInspect::writeSparesTheOtherInputs()
{
    QTemporaryDir temporaryFolder;
    const QDir folder(QFileInfo(temporaryFolder.path()).canonicalFilePath());
    for (const QString name : {"chat.log", "chat_parsed.txt"})
        QVERIFY(QFile::copy(dir + "/chat.log", folder.filePath(name)));
    const Run result = run(folder.path(), {"log", "--write", "chat.log", "chat_parsed.txt"});
    QCOMPARE(result.err, "tox-inspect: chat.log: Parsed 16 message(s). Could not save to "
                         "/evidence/chat_parsed.txt (it is the input file)\n");
    QCOMPARE(readFile(folder.filePath("chat_parsed.txt")), readFile(dir + "/chat.log"));
    QCOMPARE(result.status, 1);
}

QTEST_GUILESS_MAIN(TestInspect)
#include "tst_inspect.moc"
