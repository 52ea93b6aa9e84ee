// tox-inspect as a function: the command line in, the text of its two output streams and its exit
// status out. The program, its tests and its benchmark all run this same code.
#pragma once

#include "fileio.h"

#include <QStringList>

// Where the program's standard output and standard error go.
struct Streams {
    ByteSink out;
    ByteSink err;
};

// Exit statuses.
constexpr int exitSuccess = 0;
constexpr int exitFileFailed = 1; // a file could not be read or decoded, or an output not written
constexpr int exitUsage = 2;

// A sink for a terminal: the bytes of `out`, with every control character but tab and line feed,
// every C1 control (U+0080 to U+009F) and every bidirectional embedding, override and isolate
// (U+202A to U+202E, U+2066 to U+2069) shown as an escape: "\x1b" for a byte below 0x20 or 0x7f,
// "\u202E" for a character. A text cannot change the terminal's title or colours, move its cursor
// or turn lines around. The text must be UTF-8; it may be given in any pieces.
ByteSink terminalSink(const ByteSink &out);

// Runs tox-inspect on `arguments` (the program name first). --help and --version need a
// QCoreApplication, whose name and version they print.
int runInspector(const QStringList &arguments, const Streams &streams);
