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

// Runs tox-inspect on `arguments` (the program name first). --help and --version need a
// QCoreApplication, whose name and version they print.
int runInspector(const QStringList &arguments, const Streams &streams);
