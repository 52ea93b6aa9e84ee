// The parsed log text: what log_reader exports beside a log and tox-inspect prints.
#pragma once

#include "fileio.h"
#include "messagelog.h"

// Produces the header line, then every block followed by an empty line, and when the log held
// more records than were kept, a last line that says so. False as soon as the sink fails.
bool writeParsedLog(const ByteSink &sink, const QString &inputPath,
                    const QList<LogMessage> &messages, bool limitReached);

// The three parts of that text, one after another: the header, the blocks of the messages from
// index `first` up to `last` (each followed by an empty line, and numbered by its place in the
// whole list), and the last line (empty unless the log held more records than were kept).
QString parsedLogHeader(const QString &inputPath);
void appendParsedLogBlocks(QString &text, const QList<LogMessage> &messages, int first, int last);
QString parsedLogEnd(int messageCount, bool limitReached);

// The status line once the export of `count` messages was written to `outputPath`, or was not,
// saying also when the log held more: what log_reader shows and tox-inspect prints.
QString parsedLogStatus(WriteStatus status, int count, const QString &outputPath,
                        bool limitReached);
