// Generated inputs for the benchmarks: message logs of typical chat traffic, logs that make the
// boundary scan walk long bodies without a single header, and a large Tox save. Everything is
// built from a fixed seed, so every run measures the same bytes.
#pragma once

#include <QByteArray>
#include <QtGlobal>

// Typical chat traffic: short senders, texts of 20 to 200 bytes, about one in eight holding
// non-ASCII text, times a second to a minute apart with now and then a pause of up to an hour,
// and the five types in use. No sender or text holds a plausible header, so the walk finds
// exactly the records written. The log can be produced in pieces: consecutive calls of `next`
// continue it, so the pieces joined are the same bytes as one call for all records.
class TypicalLogWriter
{
public:
    explicit TypicalLogWriter(quint64 seed = 1);
    // The next `count` records.
    QByteArray next(int count);

private:
    quint64 state;
    quint32 time = 1681000000;
};

// `count` typical messages in one piece.
QByteArray typicalLog(int count);

// What fills the bodies of the scan worst case.
enum class ScanFill {
    NoZeroBytes, // random bytes without a zero byte: the reserved-zero test fails everywhere
    AsciiText,   // random printable ASCII: the same for the scan, and valid UTF-8
    NearHeaders, // a header every 10 bytes that passes every test but the time window
};

// A chain of records whose bodies are just under the longest body the walk accepts, filled so
// that no position inside them holds a plausible header, until `totalBytes` are reached. Every
// byte of every body is scanned. Returns the number of records in `records`.
QByteArray scanWorstCaseLog(qint64 totalBytes, ScanFill fill, int *records = nullptr);

// A Tox save with `friends` friend records and `dhtNodes` DHT nodes (a fifth of them IPv6), an
// own key pair (the public key derived from the secret key), name, status message, status, a few
// TCP relays and path nodes, and the END section.
QByteArray largeSave(int friends, int dhtNodes);
