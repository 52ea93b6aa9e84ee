#include "inspect.h"

#include "machineformats.h"
#include "parsedlog.h"
#include "passphrase.h"
#include "savefile.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstring>
#include <future>
#include <memory>

namespace
{

const char description[] =
    "Prints the reports of Tox save files and the exports of ORVA message logs exactly as\n"
    "save_reader and log_reader show and write them, one file after another:\n"
    "  tox-inspect save FILE...   the report of each Tox save\n"
    "  tox-inspect log FILE...    the export of each ORVA message log\n"
    "Files are named in the outputs by their absolute path, as the windows name them.\n"
    "\n"
    "--format json prints one JSON object per line: for a save, the file and its decoded\n"
    "sections; for a log, one per message and then one with the file's summary.\n"
    "--format csv prints the messages of logs as CSV (RFC 4180, UTF-8): a header row, then\n"
    "one row per message with its file in the first column.\n"
    "--write writes the text output of each file beside it instead of printing it, under the\n"
    "windows' names (a.tox gives a.txt, a.log gives a_parsed.txt): never over the input, never\n"
    "through a symbolic link, whole or not at all. It prints one status line per file, and\n"
    "when an output could not be written, the reason the system gave.\n"
    "--write takes the text format only; with json or csv, redirect the output instead.\n"
    "--passphrase-file FILE decrypts saves that the Tox library encrypted with a passphrase:\n"
    "the first line of FILE is the passphrase (- reads it from standard input). The report\n"
    "is that of the decrypted save, with one line saying so; plain saves are reported as\n"
    "ever, and a save the passphrase does not open is an error.\n"
    "\n"
    "Exit status: 0 when every file was read and decoded (and its output written), 1 when\n"
    "any was not (each error is printed as \"tox-inspect: FILE: error\" and the other files\n"
    "are still processed), 2 for a usage error.\n"
    "\n"
    "On a terminal, control characters other than tab and line feed are shown as \\xHH, and\n"
    "C1 controls and bidirectional overrides as \\uHHHH; elsewhere the bytes are exact. Error\n"
    "lines show such characters the same way and quote a file name that holds them.";

enum class Kind { Save, Log };
enum class Format { Text, Json, Csv };

bool put(const ByteSink &sink, const QString &text)
{
    const QByteArray bytes = text.toUtf8();
    return sink(bytes.constData(), bytes.size());
}

// Characters that change what a terminal shows rather than being shown: C0 and C1 controls,
// DEL, and the bidirectional embeddings, overrides and isolates.
bool isFormatting(uint c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f) || (c >= 0x202a && c <= 0x202e) ||
           (c >= 0x2066 && c <= 0x2069);
}

QByteArray escapedByte(uint byte)
{
    return "\\x" + QByteArray::number(byte | 0x100, 16).mid(1);
}

QByteArray escaped(uint c)
{
    return c < 0x80 ? escapedByte(c) : "\\u" + QByteArray::number(c | 0x10000, 16).mid(1).toUpper();
}

// `text` for an error line: every formatting character escaped, line feed and tab too.
QString visible(const QString &text)
{
    QString shown;
    for (const QChar c : text)
        shown += isFormatting(c.unicode()) ? QString::fromLatin1(escaped(c.unicode())) : QString(c);
    return shown;
}

// A file name for an error line: in double quotes, with `"` and `\` escaped, when it holds a
// formatting character; as it is otherwise.
QString quotedName(const QString &name)
{
    if (visible(name) == name)
        return name;
    QString quoted = name;
    quoted.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('"'), QLatin1String("\\\""));
    return QLatin1Char('"') + visible(quoted) + QLatin1Char('"');
}

// The parsed log text as writeParsedLog produces it, with every other chunk of blocks rendered on a
// second thread: rendering is nearly all of the work. The sink is called from here only, in order,
// and at most two chunks (a few megabytes) are held at a time.
bool writeParsedLogTwoThreads(const ByteSink &sink, const QString &inputPath,
                              const LogParseResult &log)
{
    constexpr int chunk = 4096; // messages
    const QList<LogMessage> &messages = log.messages;
    const auto render = [&messages](int first) {
        QString text;
        appendParsedLogBlocks(text, messages, first, first + chunk);
        return text.toUtf8();
    };
    const auto put = [&sink](const QByteArray &bytes) {
        return sink(bytes.constData(), bytes.size());
    };
    if (!put(parsedLogHeader(inputPath).toUtf8()))
        return false;
    for (int first = 0; first < messages.size(); first += 2 * chunk) {
        std::future<QByteArray> next =
            std::async(std::launch::async | std::launch::deferred, render, first + chunk);
        if (!put(render(first)) || !put(next.get()))
            return false;
    }
    return put(parsedLogEnd(messages.size(), log.limitReached).toUtf8());
}

// One run over the files of a command line.
class Inspection
{
public:
    Inspection(Kind kind, Format format, bool write, const Secret *passphrase,
               const Streams &streams)
        : kind(kind), format(format), write(write), passphrase(passphrase), streams(streams)
    {
    }

    // `otherFiles`: files named on the command line that are not inspected (the passphrase file).
    int run(const QStringList &files, const QStringList &otherFiles)
    {
        if (format == Format::Csv)
            print(writeLogCsvHeader(streams.out));
        // No output replaces another file named on the same command line.
        if (write) {
            for (const QString &file : files + otherFiles)
                inputs.append(fileIdentity(file));
        }
        for (const QString &file : files) {
            if (!outputOk)
                break;
            if (kind == Kind::Save)
                inspectSave(file);
            else
                inspectLog(file);
        }
        if (!outputOk)
            put(streams.err, QStringLiteral("tox-inspect: could not write the standard output\n"));
        return failed || !outputOk ? exitFileFailed : exitSuccess;
    }

private:
    void print(bool written) { outputOk = outputOk && written; }

    void fail(const QString &argument, const QString &error)
    {
        failed = true;
        put(streams.err,
            QStringLiteral("tox-inspect: %1: %2\n").arg(quotedName(argument), visible(error)));
    }

    // A written output is reported on the standard output, one that was not as an error with the
    // reason the system gave.
    void reportWrite(const QString &argument, const WriteResult &result, const QString &text)
    {
        if (result.status == WriteStatus::Saved)
            print(put(streams.out, text + QLatin1Char('\n')));
        else if (result.error == 0)
            fail(argument, text);
        else
            fail(argument,
                 text + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(result.error)));
    }

    void inspectSave(const QString &argument)
    {
        // The windows print the absolute path that their file dialog returns. The path is the one
        // the file was read by: a `..` after a link names the link target's parent.
        const QString path = absolutePathAsGiven(argument);
        const InputFile input = readInputFile(path);
        SaveDecoding decoding;
        if (input.error.isEmpty())
            decoding = decodeSaveData(input.data, path);
        QString error = input.error.isEmpty() ? decoding.result.error : input.error;
        const bool decrypt = passphrase && error.isEmpty() && decoding.contents.encrypted;
        if (decrypt)
            error = decryptAndDecode(input.data, path, decoding);
        if (format == Format::Json) {
            const bool read = input.error.isEmpty();
            print(writeSaveJson(streams.out,
                                read ? fileFacts(path, input.data) : FileFacts{path, -1, {}},
                                read ? &decoding : nullptr, error, decrypt && error.isEmpty()));
        }
        if (!error.isEmpty()) {
            fail(argument, error);
            return;
        }
        const QByteArray report = decoding.result.report.toUtf8();
        if (write) {
            const QString outputPath = outputPathFor(path, QStringLiteral(".txt"));
            const WriteResult status = writeOutputFile(outputPath, input.identity, report, inputs);
            reportWrite(argument, status, saveWriteStatus(status, outputPath));
        } else if (format == Format::Text) {
            print(streams.out(report.constData(), report.size()));
        }
    }

    // Replaces the decoding of an encrypted save by that of the save it decrypts to, named by the
    // encrypted file, with one line saying so. The decrypted bytes are wiped once decoded (the
    // records and the report hold copies of what they show, never the secret key). Returns the
    // error.
    QString decryptAndDecode(const QByteArray &encrypted, const QString &path,
                             SaveDecoding &decoding)
    {
        Secret save;
        const QString error = decryptSave(encrypted, *passphrase, save);
        if (!error.isEmpty())
            return error;
        SaveDecoding plain = decodeSaveData(save.bytes, path);
        save.wipe();
        if (!plain.result.success)
            return QStringLiteral("decrypted, but %1").arg(plain.result.error);
        // The line goes after the title, which names the file: a name may hold a line end.
        QString &report = plain.result.report;
        const QString title = QStringLiteral("=== Tox Save File: %1 ===\n").arg(path);
        report.insert(report.startsWith(title) ? title.size() : 0,
                      QStringLiteral("Decrypted with the passphrase given (encrypted file: %1 "
                                     "bytes)\n")
                          .arg(encrypted.size()));
        decoding = plain;
        return QString();
    }

    void inspectLog(const QString &argument)
    {
        const QString path = absolutePathAsGiven(argument);
        InputFile input = readInputFile(path);
        // The hash of a large log takes about as long as its parse: it runs beside the parse and
        // the writing of the messages, on another core where there is one.
        std::future<FileFacts> facts;
        if (format == Format::Json && input.error.isEmpty())
            facts = std::async(std::launch::async | std::launch::deferred,
                               [path, data = input.data] { return fileFacts(path, data); });
        LogParseResult log;
        if (input.error.isEmpty())
            log = parseMessageLog(input.data);
        else
            log.error = input.error;
        if (!log.error.isEmpty()) {
            // A JSON reader sees every file named: a refused one has its summary too.
            if (format == Format::Json) {
                const bool read = input.error.isEmpty();
                print(writeLogJsonLines(
                    streams.out,
                    [&] {
                        return read ? facts.get() : FileFacts{path, -1, {}};
                    },
                    log));
            }
            fail(argument, log.error);
            return;
        }
        input.data = QByteArray(); // the messages hold all that is written from here on

        switch (format) {
        case Format::Json:
            print(writeLogJsonLines(
                streams.out, [&facts] { return facts.get(); }, log));
            break;
        case Format::Csv:
            print(writeLogCsvRows(streams.out, path, log));
            break;
        case Format::Text:
            if (!write) {
                print(writeParsedLogTwoThreads(streams.out, path, log));
                break;
            }
            const QString outputPath = outputPathFor(path, QStringLiteral("_parsed.txt"));
            const WriteResult status = writeOutputFile(
                outputPath, input.identity,
                [&](const ByteSink &sink) { return writeParsedLogTwoThreads(sink, path, log); },
                inputs);
            reportWrite(argument, status,
                        parsedLogStatus(status, log.messages.size(), outputPath, log.limitReached));
            break;
        }
    }

    const Kind kind;
    const Format format;
    const bool write;
    const Secret *passphrase; // null without --passphrase-file
    const Streams &streams;
    bool failed = false;
    bool outputOk = true;
    QVector<FileIdentity> inputs; // of the files named, with --write
};

} // namespace

ByteSink terminalSink(const ByteSink &out)
{
    auto carry = std::make_shared<QByteArray>(); // the start of a character split between pieces
    return [out, carry](const char *data, qint64 size) {
        const QByteArray in = *carry + QByteArray::fromRawData(data, int(size));
        carry->clear();
        QByteArray shown;
        shown.reserve(in.size());
        for (int i = 0; i < in.size();) {
            const uchar c = uchar(in.at(i));
            const int length = c < 0xc0 ? 1 : c < 0xe0 ? 2 : c < 0xf0 ? 3 : 4;
            if (i + length > in.size()) {
                *carry = in.mid(i);
                break;
            }
            const auto next = [&in, i](int k) { return uint(uchar(in.at(i + k))) & 0x3f; };
            const uint code = length == 1   ? c
                              : length == 2 ? (uint(c & 0x1f) << 6) | next(1)
                              : length == 3 ? (uint(c & 0x0f) << 12) | (next(1) << 6) | next(2)
                                            : 0x10000;
            if (length == 1 && c >= 0x80) // a byte outside any character
                shown += escapedByte(c);
            else if (code != '\t' && code != '\n' && isFormatting(code))
                shown += escaped(code);
            else
                shown += in.mid(i, length);
            i += length;
        }
        return out(shown.constData(), shown.size());
    };
}

int runInspector(const QStringList &arguments, const Streams &streams)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromUtf8(description));
    const QCommandLineOption help = parser.addHelpOption();
    const QCommandLineOption version = parser.addVersionOption();
    const QCommandLineOption write(
        {QStringLiteral("w"), QStringLiteral("write")},
        QStringLiteral("Write each text output beside its input instead of printing it."));
    const QCommandLineOption format({QStringLiteral("f"), QStringLiteral("format")},
                                    QStringLiteral("Output format: text (default), json, or csv "
                                                   "(logs only)."),
                                    QStringLiteral("format"), QStringLiteral("text"));
    const QCommandLineOption passphraseFile(
        QStringLiteral("passphrase-file"),
        QStringLiteral("Decrypt encrypted saves with the passphrase on the first line of <file> "
                       "(- for standard input)."),
        QStringLiteral("file"));
    parser.addOption(write);
    parser.addOption(format);
    parser.addOption(passphraseFile);
    parser.addPositionalArgument(QStringLiteral("kind"),
                                 QStringLiteral("save (Tox save files) or log (ORVA message logs)"),
                                 QStringLiteral("save|log"));
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("The files to inspect."),
                                 QStringLiteral("FILE..."));

    const auto usageError = [&streams](const QString &text) {
        put(streams.err, QStringLiteral("tox-inspect: %1\nTry 'tox-inspect --help' for more.\n")
                             .arg(visible(text)));
        return exitUsage;
    };
    if (!parser.parse(arguments))
        return usageError(parser.errorText());
    // --help-all, which the parser adds, shows the same: no option of Qt's own applies here.
    if (parser.isSet(help) || parser.isSet(QStringLiteral("help-all")))
        return put(streams.out, parser.helpText()) ? exitSuccess : exitFileFailed;
    if (parser.isSet(version)) {
        const QString text = QStringLiteral("%1 %2\n").arg(QCoreApplication::applicationName(),
                                                           QCoreApplication::applicationVersion());
        return put(streams.out, text) ? exitSuccess : exitFileFailed;
    }

    QStringList files = parser.positionalArguments();
    const QString kindName = files.isEmpty() ? QString() : files.takeFirst();
    if (kindName != QLatin1String("save") && kindName != QLatin1String("log"))
        return usageError(kindName.isEmpty()
                              ? QStringLiteral("say what to inspect: save or log")
                              : QStringLiteral("unknown kind '%1': use save or log").arg(kindName));
    if (files.isEmpty())
        return usageError(QStringLiteral("no file given"));
    const Kind kind = kindName == QLatin1String("save") ? Kind::Save : Kind::Log;

    const QString formatName = parser.value(format);
    Format chosen = Format::Text;
    if (formatName == QLatin1String("json"))
        chosen = Format::Json;
    else if (formatName == QLatin1String("csv") && kind == Kind::Log)
        chosen = Format::Csv;
    else if (formatName != QLatin1String("text"))
        return usageError(
            formatName == QLatin1String("csv")
                ? QStringLiteral("csv is a format of logs only")
                : QStringLiteral("unknown format '%1': use text, json or csv").arg(formatName));
    if (parser.isSet(write) && chosen != Format::Text)
        return usageError(QStringLiteral("--write writes the text format only"));
    const QStringList passphraseFiles = parser.values(passphraseFile);
    if (!passphraseFiles.isEmpty() && kind != Kind::Save)
        return usageError(QStringLiteral("--passphrase-file is for saves only"));
    if (passphraseFiles.size() > 1)
        return usageError(QStringLiteral("give one passphrase file"));

    Secret passphrase;
    if (!passphraseFiles.isEmpty()) {
        const QString error = readPassphrase(passphraseFiles.first(), passphrase, streams.err);
        if (!error.isEmpty()) {
            put(streams.err, QStringLiteral("tox-inspect: %1: passphrase file: %2\n")
                                 .arg(passphraseFiles.first(), error));
            return exitFileFailed;
        }
    }
    // --write spares the passphrase file as well: a.txt may hold the passphrase of a.tox.
    QStringList passphraseFileNamed = passphraseFiles;
    passphraseFileNamed.removeAll(QStringLiteral("-"));
    return Inspection(kind, chosen, parser.isSet(write),
                      passphraseFiles.isEmpty() ? nullptr : &passphrase, streams)
        .run(files, passphraseFileNamed);
}
