// The machine-readable forms of tox-inspect: JSON Lines of a log's messages and of a save's
// sections, and RFC 4180 CSV of a log's messages. They are written from the same records as the
// text outputs, as UTF-8, in pieces of about a megabyte. Nothing here throws.
#pragma once

#include "fileio.h"
#include "messagelog.h"
#include "savefile.h"

#include <QString>

#include <functional>

// What the machine forms say about the input file itself.
struct FileFacts {
    QString path;      // as the text outputs name it
    qint64 size = -1;  // -1 when the file could not be read
    QByteArray sha256; // lowercase hex digits; empty when the file could not be read
};

// The facts of a file that was read whole.
FileFacts fileFacts(const QString &path, const QByteArray &data);

// One JSON object per message, then one with the summary of the file: where the walk stopped and
// why, or, for a log that was refused (`log.error`), the error alone. `file` is called once the
// messages are written, so that the file's hash can be computed meanwhile.
bool writeLogJsonLines(const ByteSink &sink, const std::function<FileFacts()> &file,
                       const LogParseResult &log);

// The header row of the CSV form, and the rows of one log's messages.
bool writeLogCsvHeader(const ByteSink &sink);
bool writeLogCsvRows(const ByteSink &sink, const QString &path, const LogParseResult &log);

// One JSON object on one line for a save: `decoding` is null when the file could not be read, and
// `error` says why the save could not be read or decoded (empty when it was). `decrypted`: the
// file is an encrypted save and `decoding` is that of the save it decrypts to.
bool writeSaveJson(const ByteSink &sink, const FileFacts &file, const SaveDecoding *decoding,
                   const QString &error, bool decrypted = false);
