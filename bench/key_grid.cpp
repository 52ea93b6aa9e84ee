// The secret key of a damaged save shows nowhere: real saves written by the Tox library, each
// damaged once by deleting, or inserting zeros or random bytes, 1 to 64 bytes at every offset
// from 0 to 160, read as a save (the report and tox-inspect's JSON) and as a log (the export,
// tox-inspect's JSON and CSV, and the table cells), and no output may hold four consecutive bytes
// of the key: as hex digits (either case, either byte order), as the bytes themselves, or as a
// 32-bit number in decimal (either byte order). It prints how many variants it tried and how many
// showed the key, and exits 1 when any did. It also prints how often the key search's prefilter
// would pass over a key that libsodium makes.
//
// usage: key_grid [--every N]   tries every Nth variant only (CTest runs a sample)
#include "machineformats.h"
#include "messagerow.h"
#include "parsedlog.h"
#include "savefile.h"
#include "secretkeys.h"

#include <QApplication>
#include <QTableWidgetItem>

#include <sodium.h>
#include <tox/tox.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>

namespace
{

struct Save {
    const char *name;
    QByteArray data;
    QByteArray secretKey;
};

// An offline instance's save, with its secret key; `friends` adds two friends and a name, which
// makes the save's FRIENDS section reach past the bytes the key search looks at.
Save makeSave(const char *name, bool friends)
{
    Tox_Options *options = tox_options_new(nullptr);
    tox_options_set_udp_enabled(options, false);
    tox_options_set_local_discovery_enabled(options, false);
    tox_options_set_ipv6_enabled(options, false);
    Tox *tox = tox_new(options, nullptr);
    if (friends) {
        Tox *other = tox_new(options, nullptr);
        uint8_t address[TOX_ADDRESS_SIZE];
        tox_self_get_address(other, address);
        const uint8_t hello[] = "hello";
        tox_friend_add(tox, address, hello, sizeof hello - 1, nullptr);
        uint8_t key[TOX_PUBLIC_KEY_SIZE];
        randombytes_buf(key, sizeof key);
        tox_friend_add_norequest(tox, key, nullptr);
        const uint8_t nick[] = "Alice";
        tox_self_set_name(tox, nick, sizeof nick - 1, nullptr);
        tox_kill(other);
    }
    tox_options_free(options);
    Save save{name, QByteArray(int(tox_get_savedata_size(tox)), '\0'),
              QByteArray(TOX_SECRET_KEY_SIZE, '\0')};
    tox_get_savedata(tox, reinterpret_cast<uint8_t *>(save.data.data()));
    tox_self_get_secret_key(tox, reinterpret_cast<uint8_t *>(save.secretKey.data()));
    tox_kill(tox);
    return save;
}

// The forms in which four consecutive key bytes must not appear.
struct Needle {
    QByteArray text;
    bool number; // a decimal number: no digit may stand right before or after it
    const char *form;
};

QVector<Needle> needles(const QByteArray &key)
{
    QVector<Needle> result;
    for (int i = 0; i + 4 <= key.size(); ++i) {
        const QByteArray run = key.mid(i, 4);
        QByteArray reversed = run;
        std::reverse(reversed.begin(), reversed.end());
        result.append({run.toHex(), false, "hex"});
        result.append({reversed.toHex(), false, "hex, reversed"});
        result.append({run, false, "raw bytes"});
        const uchar *b = reinterpret_cast<const uchar *>(run.constData());
        const quint32 little = b[0] | b[1] << 8 | b[2] << 16 | quint32(b[3]) << 24;
        const quint32 big = b[3] | b[2] << 8 | b[1] << 16 | quint32(b[0]) << 24;
        result.append({QByteArray::number(little), true, "decimal, little-endian"});
        result.append({QByteArray::number(big), true, "decimal, big-endian"});
    }
    return result;
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

// The form in which `output` shows the key, or null.
const char *leak(const QByteArray &output, const QVector<Needle> &forms)
{
    const QByteArray lower = output.toLower();
    for (const Needle &needle : forms) {
        const QByteArray &haystack = needle.form[0] == 'h' ? lower : output;
        for (int at = haystack.indexOf(needle.text); at >= 0;
             at = haystack.indexOf(needle.text, at + 1)) {
            const int end = at + needle.text.size();
            if (!needle.number || ((at == 0 || !isDigit(haystack[at - 1])) &&
                                   (end == haystack.size() || !isDigit(haystack[end]))))
                return needle.form;
        }
    }
    return nullptr;
}

ByteSink into(QByteArray &out)
{
    return [&out](const char *data, qint64 size) {
        out.append(data, int(size));
        return true;
    };
}

// Every output of the programs for `data`, read as a save and as a log, by name.
QVector<std::pair<const char *, QByteArray>> outputs(const QByteArray &data)
{
    const QString path = QStringLiteral("/evidence/damaged.tox");
    QVector<std::pair<const char *, QByteArray>> all;
    const SaveDecoding save = decodeSaveData(data, path);
    if (save.result.success)
        all.append({"save report", save.result.report.toUtf8()});
    // The file's hash is left out: its 64 hex digits would hold some four key bytes by chance
    // about once in a million variants.
    QByteArray json;
    writeSaveJson(into(json), FileFacts{path, data.size(), QByteArray()}, &save, save.result.error);
    all.append({"save JSON", json});

    const LogParseResult log = parseMessageLog(data);
    if (!log.error.isEmpty())
        return all;
    QByteArray text;
    writeParsedLog(into(text), path, log.messages, log.limitReached);
    all.append({"log export", text});
    QByteArray logJson;
    writeLogJsonLines(
        into(logJson),
        [&] {
            return FileFacts{path, data.size(), QByteArray()};
        },
        log);
    all.append({"log JSON", logJson});
    QByteArray csv;
    writeLogCsvRows(into(csv), path, log);
    all.append({"log CSV", csv});
    QByteArray cells;
    for (const LogMessage &message : log.messages) {
        for (QTableWidgetItem *item : messageRowItems(message)) {
            cells += item->text().toUtf8() + '\t' + item->toolTip().toUtf8() + '\n';
            delete item;
        }
    }
    all.append({"log table", cells});
    return all;
}

// How often the prefilter passes over a key libsodium makes: the exact chance that 32 uniformly
// random bytes hold fewer than minSecretKeyDistinctBytes distinct values, and the fewest distinct
// values among a million keys made as crypto_box_keypair makes them.
void prefilterFigures()
{
    // P(d distinct) = C(256, d) S(32, d) d! / 256^32, with S the Stirling numbers of the second
    // kind, in logarithms.
    long double stirling[33][33] = {};
    stirling[0][0] = 1;
    for (int n = 1; n <= 32; ++n)
        for (int k = 1; k <= n; ++k)
            stirling[n][k] = k * stirling[n - 1][k] + stirling[n - 1][k - 1];
    long double below = 0;
    for (int d = 1; d < minSecretKeyDistinctBytes; ++d) {
        long double falling = 1; // 256 * 255 * ... * (256 - d + 1)
        for (int i = 0; i < d; ++i)
            falling *= 256 - i;
        below += falling * stirling[32][d] / std::pow(256.0L, 32);
    }
    int fewest = 33;
    int missed = 0;
    constexpr int keys = 1000000;
    for (int i = 0; i < keys; ++i) {
        uchar key[32];
        randombytes_buf(key, sizeof key); // what crypto_box_keypair does for its secret key
        bool seen[256] = {};
        int distinct = 0;
        for (const uchar byte : key) {
            distinct += seen[byte] ? 0 : 1;
            seen[byte] = true;
        }
        fewest = std::min(fewest, distinct);
        missed += couldBeSecretKey(key) ? 0 : 1;
    }
    std::printf("prefilter: a key needs %d distinct byte values; a random key has fewer with "
                "chance %.3Lg; of %d random keys the fewest had %d, %d fell below\n",
                minSecretKeyDistinctBytes, below, keys, fewest, missed);
}

} // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    int every = 1;
    if (argc == 3 && QByteArray(argv[1]) == "--every")
        every = std::max(1, QByteArray(argv[2]).toInt());
    if (sodium_init() < 0)
        return 2;
    prefilterFigures();

    std::mt19937 random(19);
    const Save saves[] = {makeSave("new profile", false), makeSave("profile with friends", true)};
    long tried = 0;
    long leaks = 0;
    long counter = 0;
    for (const Save &save : saves) {
        const QVector<Needle> forms = needles(save.secretKey);
        // The undamaged save shows the key nowhere either.
        for (const auto &[name, output] : outputs(save.data)) {
            if (const char *form = leak(output, forms)) {
                ++leaks;
                std::printf("LEAK: %s undamaged, %s, as %s\n", save.name, name, form);
            }
        }
        for (int offset = 0; offset <= 160; ++offset) {
            for (int length = 1; length <= 64; ++length) {
                for (int kind = 0; kind < 3; ++kind) {
                    if (counter++ % every != 0)
                        continue;
                    QByteArray data = save.data;
                    if (kind == 0) {
                        data.remove(offset, length);
                    } else {
                        QByteArray inserted(length, '\0');
                        for (int i = 0; kind == 2 && i < length; ++i)
                            inserted[i] = char(random());
                        data.insert(offset, inserted);
                    }
                    ++tried;
                    for (const auto &[name, output] : outputs(data)) {
                        const char *form = leak(output, forms);
                        if (!form)
                            continue;
                        ++leaks;
                        if (leaks <= 20)
                            std::printf("LEAK: %s, %s %d bytes at %d: %s, as %s\n", save.name,
                                        kind == 0   ? "deleting"
                                        : kind == 1 ? "inserting zeros,"
                                                    : "inserting random",
                                        length, offset, name, form);
                        break;
                    }
                }
            }
        }
    }
    std::printf("%ld variants tried, %ld showed 4 or more consecutive key bytes\n", tried, leaks);
    return leaks == 0 ? 0 : 1;
}
