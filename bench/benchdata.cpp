#include "benchdata.h"

#include <sodium.h>

#include <QtEndian>

#include <array>
#include <cstring>

namespace
{

// splitmix64: small, fast and the same on every platform.
class Random
{
public:
    explicit Random(quint64 seed) : state(seed) {}

    quint64 next()
    {
        quint64 z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [low, high].
    int between(int low, int high) { return low + int(next() % quint64(high - low + 1)); }

private:
    quint64 state;
};

void putHeader(QByteArray &out, quint32 time, quint16 type, quint16 textLength, quint16 direction,
               quint16 flags)
{
    uchar header[16] = {};
    qToLittleEndian<quint32>(time, header);
    qToLittleEndian<quint16>(type, header + 8);
    qToLittleEndian<quint16>(textLength, header + 10);
    qToLittleEndian<quint16>(direction, header + 12);
    qToLittleEndian<quint16>(flags, header + 14);
    out.append(reinterpret_cast<const char *>(header), 16);
}

const std::array<const char *, 12> senders = {"Alice", "Bob",    "Carol", "Dave", "Eve", "Mallory",
                                              "Zoë",   "Jürgen", "Ольга", "李雷", "Sam", "tox-bot"};

const std::array<const char *, 24> asciiWords = {
    "hi",     "hello", "ok",   "sure",  "see",     "you", "tomorrow", "the",
    "file",   "is",    "on",   "its",   "way",     "did", "get",      "message",
    "thanks", "lunch", "call", "later", "meeting", "at",  "noon",     "again"};

const std::array<const char *, 8> otherWords = {"café", "naïve", "Привет", "日本語",
                                                "😀",    "Grüße", "ça va",  "спасибо"};

const std::array<quint16, 5> typesInUse = {8, 9, 11, 13, 17};

// A message text of exactly `length` bytes; ASCII filler completes it, so the length is exact and
// no character is split.
QByteArray messageText(Random &random, int length, bool withOtherScripts)
{
    QByteArray text;
    text.reserve(length);
    for (;;) {
        const char *word = withOtherScripts && random.between(0, 3) == 0
                               ? otherWords[random.next() % otherWords.size()]
                               : asciiWords[random.next() % asciiWords.size()];
        const int wordLength = int(qstrlen(word));
        if (text.size() + wordLength + 1 > length)
            break;
        if (!text.isEmpty())
            text.append(' ');
        text.append(word);
    }
    while (text.size() < length)
        text.append(text.size() % 7 == 0 ? ' ' : char('a' + text.size() % 26));
    return text;
}

} // namespace

TypicalLogWriter::TypicalLogWriter(quint64 seed) : state(seed) {}

QByteArray TypicalLogWriter::next(int count)
{
    Random random(state);
    QByteArray bytes;
    bytes.reserve(count * 140);
    for (int i = 0; i < count; ++i) {
        // Conversations: mostly seconds apart, now and then a pause of up to an hour.
        time += random.between(0, 9) == 0 ? quint32(random.between(60, 3600))
                                          : quint32(random.between(1, 60));
        const char *sender = senders[random.next() % senders.size()];
        const QByteArray text =
            messageText(random, random.between(20, 200), random.between(0, 7) == 0);
        putHeader(bytes, time, typesInUse[random.next() % typesInUse.size()], quint16(text.size()),
                  quint16(random.between(0, 1)), quint16(random.between(0, 15) == 0 ? 1 : 0));
        bytes.append(sender);
        bytes.append(text);
    }
    state = random.next();
    return bytes;
}

QByteArray typicalLog(int count)
{
    return TypicalLogWriter().next(count);
}

QByteArray scanWorstCaseLog(qint64 totalBytes, ScanFill fill, int *records)
{
    // The longest body the walk accepts is 1000000 bytes; stay just below it.
    constexpr int bodySize = 999000;
    constexpr quint16 textLength = 16;
    Random random(7);
    QByteArray body(bodySize, '\0');
    if (fill == ScanFill::NoZeroBytes) {
        for (int i = 0; i < bodySize; ++i)
            body[i] = char(random.between(1, 255));
    } else if (fill == ScanFill::AsciiText) {
        for (int i = 0; i < bodySize; ++i)
            body[i] = char(random.between(32, 126));
    } else {
        // Time 0x64000000 (1677721600, just before the window), reserved zeros, type 8: every
        // tenth position passes the byte pre-tests and needs the full header test.
        static const char pattern[10] = {0, 0, 0, 0x64, 0, 0, 0, 0, 8, 0};
        for (int i = 0; i < bodySize; ++i)
            body[i] = pattern[i % 10];
        // The last bytes are the text; keep them free of zeros so that nothing near the next
        // header passes.
        for (int i = bodySize - 24; i < bodySize; ++i)
            body[i] = 'x';
    }
    QByteArray log;
    log.reserve(int(totalBytes + bodySize + 16));
    int count = 0;
    while (log.size() + 16 + bodySize <= totalBytes || count == 0) {
        putHeader(log, 1700000000u + quint32(count), 8, textLength, 0, 0);
        log.append(body);
        ++count;
    }
    if (records)
        *records = count;
    return log;
}

QByteArray largeSave(int friends, int dhtNodes)
{
    Random random(3);
    QByteArray save;
    const auto u16le = [](QByteArray &out, quint16 v) {
        uchar b[2];
        qToLittleEndian<quint16>(v, b);
        out.append(reinterpret_cast<const char *>(b), 2);
    };
    const auto u32le = [](QByteArray &out, quint32 v) {
        uchar b[4];
        qToLittleEndian<quint32>(v, b);
        out.append(reinterpret_cast<const char *>(b), 4);
    };
    const auto randomBytes = [&random](QByteArray &out, int count) {
        for (int i = 0; i < count; ++i)
            out.append(char(random.next() & 0xFF));
    };
    const auto section = [&](quint16 type, const QByteArray &payload) {
        u32le(save, quint32(payload.size()));
        u16le(save, type);
        u16le(save, 0x01CE);
        save.append(payload);
    };
    const auto packedNodes = [&](int count, bool tcp) {
        QByteArray list;
        for (int i = 0; i < count; ++i) {
            const bool v6 = i % 5 == 4;
            list.append(char((v6 ? 10 : 2) | (tcp ? 0x80 : 0)));
            randomBytes(list, v6 ? 16 : 4);
            list.append(char(0x82)).append(char(0x1B)); // port 33307
            randomBytes(list, 32);
        }
        return list;
    };

    u32le(save, 0);
    u32le(save, 0x15ED1B1F);

    // The public key is the secret key's, as in every save the Tox library writes.
    QByteArray keys;
    randomBytes(keys, 4);
    QByteArray secretKey;
    randomBytes(secretKey, crypto_scalarmult_curve25519_SCALARBYTES);
    QByteArray publicKey(crypto_scalarmult_curve25519_BYTES, '\0');
    if (sodium_init() < 0 || crypto_scalarmult_curve25519_base(
                                 reinterpret_cast<uchar *>(publicKey.data()),
                                 reinterpret_cast<const uchar *>(secretKey.constData())) != 0)
        publicKey.fill('\0');
    section(1, keys + publicKey + secretKey);

    QByteArray dht;
    u32le(dht, 0x0159000D);
    const QByteArray nodes = packedNodes(dhtNodes, false);
    u32le(dht, quint32(nodes.size()));
    u16le(dht, 4);
    u16le(dht, 0x11CE);
    dht.append(nodes);
    section(2, dht);

    QByteArray friendRecords;
    friendRecords.reserve(friends * 2216);
    for (int i = 0; i < friends; ++i) {
        std::array<uchar, 2216> record{};
        uchar *p = record.data();
        p[0] = uchar(i % 5); // statuses 3 and 4 print the name
        for (int k = 0; k < 32; ++k)
            p[1 + k] = uchar(random.next());
        qToBigEndian<quint16>(quint16(random.between(0, 1024)), p + 1058);
        const QByteArray name = QByteArray("Friend ") + QByteArray::number(i) +
                                (i % 3 == 0 ? QByteArray(" Zoë") : QByteArray());
        std::memcpy(p + 1060, name.constData(), size_t(name.size()));
        qToBigEndian<quint16>(quint16(name.size()), p + 1188);
        friendRecords.append(reinterpret_cast<const char *>(p), int(record.size()));
    }
    section(3, friendRecords);

    section(4, QByteArray("Benchmark user"));
    section(5, QByteArray("Measuring how fast a large save is read"));
    section(6, QByteArray(1, '\1'));
    section(10, packedNodes(40, true));
    section(11, packedNodes(8, false));
    section(255, QByteArray());
    return save;
}
