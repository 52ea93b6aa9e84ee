// The passphrase of encrypted saves and what it decrypts: read from a file or standard input,
// never from the command line, held only as long as it is needed and overwritten when it goes.
#pragma once

#include "fileio.h"

#include <QByteArray>
#include <QString>

// Bytes that must not outlive their use: overwritten with zeros when the holder goes. They are
// written into a buffer of their final size and never grow, so no copy is left behind.
class Secret
{
public:
    Secret() = default;
    ~Secret() { wipe(); }
    Secret(const Secret &) = delete;
    Secret &operator=(const Secret &) = delete;

    QByteArray bytes;

    // Overwrites every byte of the buffer (also one shared with a copy) and empties it.
    void wipe();
};

// The longest passphrase line read.
constexpr int maxPassphraseLength = 65536;

// Reads the passphrase: the first line of the file `argument` without its line end (LF or CR LF),
// or of standard input when `argument` is "-". A regular file is read by the input rules of every
// file, its first maxPassphraseLength + 1 bytes only; a pipe (a named one, or /dev/fd/N of a
// shell's process substitution) is read up to its first line end or its end, and one that nobody
// has open for writing reads as empty. When standard input is a terminal, the line is typed after a
// prompt on `prompt`, without echo. The process writes no core file from the call on, and other
// processes of the user cannot read its memory. Returns the error (empty when `passphrase` holds
// the passphrase, which is never empty).
QString readPassphrase(const QString &argument, Secret &passphrase, const ByteSink &prompt);

// Decrypts a save that the Tox library encrypted with a passphrase ("toxEsave" at its start) into
// `save`. Returns the error: not such a save, too short, or the passphrase does not open it.
QString decryptSave(const QByteArray &encrypted, const Secret &passphrase, Secret &save);
