// tox-inspect run as the program it is, where no display can be opened: its text outputs against
// the windows' producers, its JSON and CSV read back, its exit statuses and errors, and --write.
#include "parsedlog.h"
#include "savefile.h"
#include "testdata.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <unistd.h>

namespace
{

struct Run {
    int status = -1;
    QByteArray out;
    QString err;
};

// What the window writes for the file at `path`; empty when it cannot decode it.
QByteArray windowOutput(const QString &kind, const QString &path)
{
    const QByteArray data = readFile(path);
    if (kind == "save") {
        const ParseResult save = parseSaveData(data, path);
        return save.success ? save.report.toUtf8() : QByteArray();
    }
    QByteArray text;
    const auto sink = [&text](const char *piece, qint64 size) {
        text.append(piece, int(size));
        return true;
    };
    const LogParseResult log = parseMessageLog(data);
    if (log.error.isEmpty())
        writeParsedLog(sink, path, log.messages, log.limitReached);
    return text;
}

QString sha256(const QByteArray &data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// The records of RFC 4180 text: fields separated by commas, records ended by CR LF.
QList<QStringList> readCsv(const QByteArray &bytes)
{
    const QString text = QString::fromUtf8(bytes.constData(), bytes.size());
    QList<QStringList> records{{}};
    QString field;
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        if (quoted && text.mid(i, 2) == "\"\"")
            field += text.at(++i);
        else if (text.at(i) == '"')
            quoted = !quoted;
        else if (!quoted && text.at(i) == ',')
            records.last() << std::exchange(field, QString());
        else if (!quoted && text.mid(i, 2) == "\r\n" && ++i)
            records.last() << std::exchange(field, QString()), records.append(QStringList());
        else
            field += text.at(i);
    }
    return records;
}

// A JSON value as text; a number in decimal, or in `hexWidth` hex digits.
QString text(const QJsonValue &value, int hexWidth = 0)
{
    if (value.isBool())
        return value.toBool() ? "true" : "false";
    if (!value.isDouble())
        return value.toString("null");
    const qint64 number = value.toVariant().toLongLong();
    return QString::number(number, hexWidth ? 16 : 10).rightJustified(hexWidth, '0');
}

// `pattern` with each {key} replaced by the text of the key's value, {key:N} by N hex digits.
QString fill(const QJsonValue &object, QString pattern)
{
    static const QRegularExpression field("\\{(\\w+):?(\\d?)\\}");
    QRegularExpressionMatch match;
    for (int at = 0; (match = field.match(pattern, at)).hasMatch();) {
        const QString value = text(object[match.captured(1)], match.captured(2).toInt());
        pattern.replace(match.capturedStart(), match.capturedLength(), value);
        at = match.capturedStart() + value.size();
    }
    return pattern;
}

// What the report prints of a JSON section, in report order.
QStringList reportPieces(const QJsonValue &s)
{
    QStringList pieces{fill(s, "\nSection {index}: type={type} ({type_name}), cookie=0x{cookie:4}, "
                               "length={length}\n")};
    if (s["nospam"].isDouble())
        pieces << fill(s, "nospam: 0x{nospam:8} ({nospam})\n    public_key: {public_key}\n");
    QJsonArray lists = s["sub_sections"].toArray();
    lists.prepend(s); // the nodes of a DHT section are in its sub-sections
    for (const QJsonValue &list : lists) {
        if (list["content"].isString())
            pieces << fill(list, "Sub-section: length={length}, cookie=0x{cookie:4}, type={type}");
        for (const QJsonValue &node : list["nodes"].toArray())
            pieces << fill(node, ": {family} {address}:{port} pubkey={public_key}\n");
    }
    for (const QJsonValue &person : s["friends"].toArray())
        pieces << fill(person, QString("status={status} pk={public_key} info_size={info_size}") +
                                   (person["name"].isNull() ? "\n" : " name=\"{name}\"\n"));
    for (const QString key : {"name", "status_message", "status"}) {
        QString shown; // the report shows the bytes of a name: printable ASCII bare, others \xNN
        for (const char byte : s[key].toString().toUtf8())
            shown += byte >= 0x20 && byte < 0x7F ? QString(byte) : "\\x" + text(quint8(byte), 2);
        if (!s[key].isUndefined()) // a status is a word, or null for an empty section
            pieces << fill(s, "({length} bytes): ") +
                          (key == "status" ? shown : '"' + shown + '"') + '\n';
    }
    return pieces;
}

} // namespace

class TestInspect : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void logJsonAndCsv();
    void saveJson();
    void outputs_data();
    void outputs();
    void write_data();
    void write();

private:
    Run run(const QStringList &arguments, const QString &folder = QString());
    QString path(const QString &name) const { return dir + '/' + name; }

    QTemporaryDir temporary;
    QString dir; // canonical: the program names files by their absolute path
};

Run TestInspect::run(const QStringList &arguments, const QString &folder)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY"); // a program that opened a display would fail at once
    environment.remove("WAYLAND_DISPLAY");
    environment.insert("QT_QPA_PLATFORM", "xcb");
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(folder.isEmpty() ? dir : folder);
    process.start(TOX_INSPECT, arguments);
    if (!process.waitForFinished(30000) || process.exitStatus() != QProcess::NormalExit)
        return {};
    return {process.exitCode(), process.readAllStandardOutput(),
            QString::fromUtf8(process.readAllStandardError())};
}

void TestInspect::initTestCase()
{
    // Central European time: the edge log has messages at both of its offsets from UTC.
    qputenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3");
    QVERIFY(temporary.isValid());
    dir = QFileInfo(temporary.path()).canonicalFilePath();
    for (const QString &source :
         {testData("rich.tox"), testData("damaged.tox"), testData("../../samples/alice.tox"),
          testData("../../samples/chat.log")})
        QVERIFY(QFile::copy(source, path(QFileInfo(source).fileName())));
    QVERIFY(writeFile(path("encrypted.tox"), "toxEsave" + counting(100)));
    QVERIFY(writeFile(path("tiny.log"), counting(15)));
    QByteArray many;
    for (int i = 0; i < 10000; ++i)
        many += logRecord(1700000000 + i, 8, i % 2, i, "s", "message " + QByteArray::number(i));
    QVERIFY(writeFile(path("many.log"), many));
    QVERIFY(writeFile(path("edge.log"),
                      logRecord(1700000000, 8, 1, 0x1a, "Ann, \"the\" %1", "one\ntwo\r\n\\ \x01") +
                          logRecord(1690000000, 17, 0, 0xffff, "Zo\xc3\xab \xf0\x9f\x98\x80\xff",
                                    QByteArray("NUL\0, tab\t", 10)) +
                          logRecord(1700003600, 13, 7, 0, "", "")));
}

void TestInspect::logJsonAndCsv()
{
    const QStringList files{"chat.log", "edge.log"};
    const Run json = run(QStringList{"log", "--format", "json"} + files);
    const Run csv = run(QStringList{"log", "-f", "csv"} + files);
    QCOMPARE(json.status + csv.status, 0);
    QVERIFY(!json.out.contains('\0') &&
            !QString(json.out).contains(QRegularExpression("[\x01-\t\v-\x1f]")));
    QList<QByteArray> lines = json.out.split('\n');
    QList<QStringList> rows = readCsv(csv.out);
    QCOMPARE(lines.takeLast() + rows.takeLast().join(""), QByteArray());
    const QStringList keys = QString("n time epoch type type_name direction direction_label flags "
                                     "sender text")
                                 .split(' ');
    const QString pattern = "{" + keys.join("}\x1f{") + "}"; // their values apart
    QCOMPARE(rows.takeFirst(), QStringList("file") + keys);
    for (const QString &file : files) {
        const QByteArray data = readFile(path(file));
        const QList<LogMessage> messages = parseMessageLog(data).messages;
        QStringList times;
        for (int i = 0; i < messages.size(); ++i) {
            const LogMessage &m = messages.at(i);
            const QJsonObject line = QJsonDocument::fromJson(lines.takeFirst()).object();
            // The local time the windows show, with the offset that gives the message's instant.
            times << line["time"].toString();
            QCOMPARE(times.last().left(19), messageTimeText(m.timestamp).replace(' ', 'T'));
            QCOMPARE(QDateTime::fromString(times.last(), Qt::ISODate), m.timestamp);
            QStringList fields{QString::number(i + 1), times.last()};
            fields << QString::number(m.timestamp.toSecsSinceEpoch()) << QString::number(m.type)
                   << typeName(m.type) << QString::number(m.direction)
                   << directionLabel(m.direction) << QString::number(m.flags) << m.sender << m.text;
            QCOMPARE(fill(line, pattern), fields.join('\x1f'));
            QCOMPARE(line.size(), keys.size());
            QCOMPARE(rows.takeFirst(), QStringList(path(file)) + fields);
        }
        QCOMPARE(fill(QJsonDocument::fromJson(lines.takeFirst()).object(),
                      "{file} {size} {sha256} {messages} {first} {last} {limit_reached}"),
                 QStringList({path(file), QString::number(data.size()), sha256(data),
                              QString::number(times.size()), times.first(), times.last(), "false"})
                     .join(' '));
    }
    QCOMPARE(lines.size() + rows.size(), 0);
}

void TestInspect::saveJson()
{
    const QStringList files{"alice.tox",     "rich.tox", "damaged.tox",
                            "encrypted.tox", "chat.log", "missing.tox"};
    const Run result = run(QStringList{"save", "--format", "json"} + files);
    QCOMPARE(result.status, 1);
    const QList<QByteArray> lines = result.out.split('\n');
    QCOMPARE(lines.size(), files.size() + 1);
    QVERIFY(!result.out.toUpper().contains(counting(32, 0xA0).toHex().toUpper())); // rich's secret
    for (int i = 0; i < files.size(); ++i) {
        const QJsonObject save = QJsonDocument::fromJson(lines.at(i)).object();
        const QByteArray data = readFile(path(files[i]));
        const SaveDecoding decoding = decodeSaveData(data, path(files[i]));
        QString error = decoding.result.error;
        int at = 0;
        const QString facts =
            data.isEmpty() ? "null null" : QString::number(data.size()) + ' ' + sha256(data);
        if (data.isEmpty())
            error = QString("Could not open '%1'").arg(path(files[i]));
        QCOMPARE(fill(save, "{file} {size} {sha256} {encrypted} {ok} {error}"),
                 QStringList({path(files[i]), facts, decoding.contents.encrypted ? "true" : "false",
                              error.isEmpty() ? "true null" : "false " + error})
                     .join(' '));
        QString shown; // the pieces of the report that the JSON gives, in report order
        QVariantList problems = save["problems"].toArray().toVariantList();
        QVariantList damage; // what the records say
        for (const SaveSection &section : decoding.contents.sections)
            damage << QVariant(section.problems).toList();
        for (const QJsonValue &section : save["sections"].toArray()) {
            problems << section["problems"].toArray().toVariantList();
            for (const QString &piece : reportPieces(section)) {
                at = decoding.result.report.indexOf(piece, at) + piece.size();
                QVERIFY2(at >= piece.size(), qPrintable(piece));
                shown += piece;
            }
            if (section["tox_id"].isString()) // then the checksum, checked against the library
                QCOMPARE(section["tox_id"].toString().left(72),
                         fill(section, "{public_key}{nospam:8}").toUpper());
        }
        // ...and none is left out.
        for (const char *mark :
             {"\nSection ", "nospam: ", "Sub-section: ", "pubkey=", " pk=", "bytes): "})
            QVERIFY2(shown.count(mark) == decoding.result.report.count(mark), mark);
        QCOMPARE(problems, QVariant(decoding.contents.problems).toList() + damage);
        // What only the JSON shows: a confirmed friend's status message and user status.
        QStringList friends;
        QStringList records;
        for (const QJsonValue &section : save["sections"].toArray()) {
            for (const QJsonValue &person : section["friends"].toArray())
                friends << fill(person, "{status_message} {user_status}");
        }
        for (const SaveSection &section : decoding.contents.sections) {
            for (const SaveFriend &person : section.friends)
                records << (person.hasName
                                ? person.statusMessage + ' ' + userStatusText(person.userStatus)
                                : QStringLiteral("null null"));
        }
        QCOMPARE(friends, records);
        QCOMPARE(save.size(), 8);
    }
}

void TestInspect::outputs_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QStringList>("printed"); // the files whose window output is the output
    QTest::addColumn<QString>("errors");      // %1: the folder
    const auto good = [](const char *name, const QString &kind, const QStringList &files) {
        QTest::newRow(name) << QStringList(kind) + files << 0 << files << QString();
    };
    good("save: the sample", "save", {"alice.tox"});
    good("save: golden, damaged and encrypted, one report after another", "save",
         {"rich.tox", "damaged.tox", "encrypted.tox"});
    good("log: the sample", "log", {"chat.log"});
    good("log: quotes, line breaks, control bytes, no sender, no text", "log", {"edge.log"});
    good("log: one export after another", "log", {"chat.log", "edge.log"});
    good("log: ten thousand messages, rendered in chunks", "log", {"many.log"});
    QTest::newRow("good, missing and bad saves")
        << QStringList{"save", "alice.tox", "missing.tox", "chat.log", "rich.tox"} << 1
        << QStringList{"alice.tox", "rich.tox"}
        << "tox-inspect: missing.tox: Could not open '%1/missing.tox'\ntox-inspect: chat.log: "
           "Invalid Tox save file magic. Expected [0x00000000] [0x15ed1b1f]\n";
    QTest::newRow("short and good logs")
        << QStringList{"log", "tiny.log", "chat.log"} << 1 << QStringList{"chat.log"}
        << "tox-inspect: tiny.log: File too small to be a valid ORVA message log (min 16 bytes)\n";
    const auto usage = [](const char *name, const QStringList &arguments, const char *error) {
        QTest::newRow(name)
            << arguments << 2 << QStringList()
            << QString("tox-inspect: %1\nTry 'tox-inspect --help' for more.\n").arg(error);
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
    QFETCH(int, status);
    QFETCH(QStringList, printed);
    QFETCH(QString, errors);
    QByteArray expected;
    for (const QString &file : printed)
        expected += windowOutput(arguments.first(), path(file));
    const Run result = run(arguments);
    QCOMPARE(result.err, errors.replace("%1", dir));
    QCOMPARE(result.out, expected);
    QCOMPARE(result.status, status);
}

void TestInspect::write_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("atOutput"); // what stands at the output name beforehand
    QTest::addColumn<QString>("status");   // %1: the output's path
    QTest::addColumn<bool>("written");
    for (const QString kind : {"save", "log"}) {
        const QString parsed = kind == "save" ? "Parsed" : "Parsed 16 message(s).";
        const QString saved = parsed + (kind == "save" ? " and saved to %1" : " Saved to %1");
        const QString failed =
            parsed + (kind == "save" ? " but could" : " Could") + " not save to %1";
        const auto row = [&](const char *name, const char *atOutput, const QString &status) {
            QTest::addRow("%s, %s", qPrintable(kind), name)
                << kind << QString(atOutput) << status << (status == saved);
        };
        row("fresh output", "nothing", saved);
        row("existing output replaced", "file", saved);
        row("symbolic link at the output name", "symlink", failed + " (it is a symbolic link)");
        row("output is the input by a hard link", "hardlink", failed + " (it is the input file)");
        row("output is a link to the input", "inputlink", failed + " (it is the input file)");
        row("directory at the output name", "directory", failed);
    }
}

void TestInspect::write()
{
    QFETCH(QString, kind);
    QFETCH(QString, atOutput);
    QFETCH(QString, status);
    QFETCH(bool, written);
    QTemporaryDir temporaryFolder;
    const QDir folder(QFileInfo(temporaryFolder.path()).canonicalFilePath());
    const QString name = kind == "save" ? "alice.tox" : "chat.log";
    const QString input = folder.filePath(name);
    const QString output = folder.filePath(kind == "save" ? "alice.txt" : "chat_parsed.txt");
    const QString other = folder.filePath("other");
    QVERIFY(QFile::copy(path(name), input) && writeFile(other, "another file, left as it was"));
    QVERIFY(atOutput != "file" || writeFile(output, "an old output"));
    QVERIFY(atOutput != "symlink" || QFile::link(other, output));
    QVERIFY(atOutput != "inputlink" || QFile::link(input, output));
    QVERIFY(atOutput != "hardlink" || ::link(qPrintable(input), qPrintable(output)) == 0);
    QVERIFY(atOutput != "directory" || folder.mkdir(output));
    const auto state = [&] { // of every entry: name, link target, whether a folder, content
        QStringList entries;
        for (const QFileInfo &entry : folder.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                           QDir::Hidden | QDir::System))
            entries << entry.fileName() + entry.symLinkTarget() + QString::number(entry.isDir()) +
                           sha256(readFile(entry.filePath()));
        return entries;
    };
    QStringList expected = state();
    const QString outputEntry =
        QFileInfo(output).fileName() + '0' + sha256(windowOutput(kind, input));

    const Run result = run({kind, "--write", name}, folder.path());
    status = status.arg(output);
    QCOMPARE(result.status, written ? 0 : 1);
    QCOMPARE(result.out, written ? (status + '\n').toUtf8() : QByteArray());
    QCOMPARE(result.err, written ? QString() : QString("tox-inspect: %1: %2\n").arg(name, status));
    // Only the output is written, and nothing at all when it cannot be: no temporary file is left.
    if (written)
        expected = QStringList{expected.first(), outputEntry, expected.last()};
    QCOMPARE(state(), expected);
}

QTEST_GUILESS_MAIN(TestInspect)
#include "tst_inspect.moc"
