// Fuzz target for the message-log decoder and its renderings. Besides the sanitizers' checks it
// aborts when an invariant breaks:
//  - there are never more messages than content bytes / 16 (every record has a 16-byte header);
//  - every message renders to a non-empty block and to exactly four table cells;
//  - only a file shorter than a header or a Tox save fails;
//  - the walk stops short only at a limit: with a limit of three the messages are the first three
//    (or fewer) of the full walk.
#include "messagerow.h"

#include <QTableWidgetItem>

#include <cstdio>
#include <cstdlib>

namespace
{

void check(bool condition, const char *what)
{
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    qputenv("TZ", "UTC");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *bytes, size_t size)
{
    const QByteArray content(reinterpret_cast<const char *>(bytes), int(size));
    const LogParseResult result = parseMessageLog(content);

    // A Tox save: plain, encrypted, or plain with damaged first bytes before an intact first
    // section header.
    const bool toxSave =
        content.startsWith(QByteArray::fromRawData("\0\0\0\0\x1f\x1b\xed\x15", 8)) ||
        content.startsWith("toxEsave") ||
        content.startsWith(QByteArray::fromHex("011e81c0d67bba9e")) ||
        content.mid(8, 8) == QByteArray::fromHex("440000000100ce01");
    check(result.error.isEmpty() == (size >= 16 && !toxSave), "only a short file or a save fails");
    check(result.error.isEmpty() || result.messages.isEmpty(), "a failure keeps no message");
    check(result.messages.size() <= int(size / 16), "at most one message per 16 bytes");
    check(!result.limitReached || result.messages.size() == maxMessageCount ||
              content.size() > maxTextBytes,
          "a stop at a limit keeps exactly the message limit, or the text filled its budget");

    constexpr int smallLimit = 3;
    const LogParseResult limited = parseMessageLog(content, smallLimit);
    check(limited.error == result.error, "the limit changes no error");
    // With exactly the limit, a further record that turns out malformed still stops the walk.
    check(result.messages.size() <= smallLimit || limited.limitReached,
          "more messages than the limit stop the walk");
    check(result.messages.size() >= smallLimit || !limited.limitReached,
          "fewer messages than the limit never stop it");
    check(limited.messages.size() == qMin(result.messages.size(), smallLimit),
          "the limit keeps the first messages");
    for (int i = 0; i < limited.messages.size(); ++i) {
        const LogMessage &a = limited.messages.at(i);
        const LogMessage &b = result.messages.at(i);
        check(a.timestamp == b.timestamp && a.type == b.type && a.direction == b.direction &&
                  a.flags == b.flags && a.sender == b.sender && a.text == b.text,
              "the limit keeps the messages as they are");
    }
    for (int i = 0; i < result.messages.size(); ++i) {
        const QString block = formatMessageBlock(result.messages.at(i), i + 1);
        check(!block.isEmpty() && block.endsWith(QLatin1Char('\n')), "block rendered");
        const QList<QTableWidgetItem *> cells = messageRowItems(result.messages.at(i));
        check(cells.size() == 4, "four cells");
        for (QTableWidgetItem *cell : cells)
            check(cell != nullptr, "cell exists");
        qDeleteAll(cells);
    }
    return 0;
}
