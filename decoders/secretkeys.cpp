#include "secretkeys.h"

#include "bytereader.h"

#include <sodium.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <utility>

namespace
{

bool derivePublicKey(const uchar *secretKey, uchar *publicKey)
{
    // sodium_init is safe to call from any thread, and cheap once it has run.
    static const bool ready = sodium_init() >= 0;
    return ready && crypto_scalarmult_curve25519_base(publicKey, secretKey) == 0;
}

quint64 firstWord(const uchar *bytes)
{
    quint64 word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

} // namespace

bool isPublicKeyOf(const uchar *publicKey, const uchar *secretKey)
{
    uchar derived[publicKeySize];
    return derivePublicKey(secretKey, derived) &&
           std::memcmp(derived, publicKey, publicKeySize) == 0;
}

bool couldBeSecretKey(const uchar *bytes)
{
    std::array<bool, 256> seen{};
    int distinct = 0;
    for (int i = 0; i < secretKeySize; ++i) {
        distinct += seen[bytes[i]] ? 0 : 1;
        seen[bytes[i]] = true;
    }
    return distinct >= minSecretKeyDistinctBytes;
}

std::vector<KeyPair> findKeyPairs(const uchar *data, qint64 size, bool firstOnly)
{
    std::vector<KeyPair> found;
    const qint64 searched = std::min(size, keySearchLength);
    const qint64 windows = searched - secretKeySize + 1;
    if (windows <= 0)
        return found;

    // The distinct byte values of every window, kept up to date as the window slides.
    std::array<int, 256> counts{};
    int distinct = 0;
    const auto add = [&](uchar byte, int change) {
        const int before = counts[byte];
        counts[byte] += change;
        distinct += (before == 0) - (counts[byte] == 0);
    };
    for (int i = 0; i < secretKeySize - 1; ++i)
        add(data[i], 1);

    // Every window by its first eight bytes, built when the first candidate needs it.
    std::vector<std::pair<quint64, qint64>> byWord;
    for (qint64 start = 0; start < windows; ++start) {
        add(data[start + secretKeySize - 1], 1);
        const bool candidate = distinct >= minSecretKeyDistinctBytes;
        add(data[start], -1);
        if (!candidate)
            continue;
        uchar derived[publicKeySize];
        if (!derivePublicKey(data + start, derived))
            continue;
        if (byWord.empty()) {
            byWord.reserve(size_t(windows));
            for (qint64 w = 0; w < windows; ++w)
                byWord.emplace_back(firstWord(data + w), w);
            std::sort(byWord.begin(), byWord.end());
        }
        const quint64 word = firstWord(derived);
        auto it = std::lower_bound(byWord.begin(), byWord.end(), std::make_pair(word, qint64(0)));
        for (; it != byWord.end() && it->first == word; ++it) {
            if (std::memcmp(data + it->second, derived, publicKeySize) == 0) {
                found.push_back({start, it->second});
                break;
            }
        }
        if (firstOnly && !found.empty())
            break;
    }
    return found;
}

bool isSaveSectionHeader(const ByteReader &bytes, quint64 at, quint32 &length)
{
    static const quint16 saveSectionTypes[] = {1, 2, 3, 4, 5, 6, 7, 10, 11, 20, 255};
    ByteReader header = bytes.at(at);
    quint16 type = 0;
    quint16 cookie = 0;
    if (!(header.u32le(length) && header.u16le(type) && header.u16le(cookie)) || cookie != 0x01CE)
        return false;
    return std::find(std::begin(saveSectionTypes), std::end(saveSectionTypes), type) !=
           std::end(saveSectionTypes);
}
