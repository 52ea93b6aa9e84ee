// Writes the sample save file samples/alice.tox with the Tox library: a profile with a name, a
// status message, the user status "away" and two friends, one added directly and one asked
// through a friend request. The instance never touches the network: UDP and local discovery are
// off, nothing is bootstrapped and the event loop never runs. Every run writes the same bytes:
// Alice's secret key and nospam and her friends' public keys and Carol's nospam are fixed below,
// and nothing else in the save is random (the DHT and relay lists stay empty, and a friend that
// was never online has no last-seen time).
// With a second file name it also writes the same save encrypted by the Tox encryption library
// (the fuzzers' seed corpus uses both); that copy differs on every run, as the library draws a
// new salt and nonce for each encryption.
#include <tox/tox.h>
#include <tox/toxencryptsave.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace
{

// The identities of the sample. Alice's public key follows from her secret key; of Bob and Carol
// only the public keys are needed, and Carol's nospam for the address the request goes to.
// nospam values are written as the save and the Tox ID carry them, most significant byte first.
const char aliceSecretKey[] = "5899AEEFAFC3D24018B64FBE3B3E7FB8D1A10CFC274049C75EEDAAD133BC2351";
const uint32_t aliceNospam = 0x75ff3a35;
const char bobPublicKey[] = "6FB7D573102CCE145F5454D3D80C36B98D4E742713E6550D3966AC3A5455926D";
const char carolPublicKey[] = "FA85045FFA087AF106BAB009060CD6D5645AC13B56949DD2717DDBD49E65853B";
const uint32_t carolNospam = 0xd4704619;

// 64 hexadecimal digits to 32 key bytes.
void keyFromHex(const char *hex, uint8_t *key)
{
    for (size_t i = 0; i < 32; ++i) {
        unsigned byte = 0;
        std::sscanf(hex + 2 * i, "%2x", &byte);
        key[i] = uint8_t(byte);
    }
}

// A Tox ID: the public key, the nospam (most significant byte first) and the checksum, the
// exclusive or of the 36 bytes before it taken as big-endian 16-bit words.
void toxAddress(const char *publicKeyHex, uint32_t nospam, uint8_t *address)
{
    keyFromHex(publicKeyHex, address);
    for (int i = 0; i < 4; ++i)
        address[TOX_PUBLIC_KEY_SIZE + i] = uint8_t(nospam >> (24 - 8 * i));
    address[36] = address[37] = 0;
    for (size_t i = 0; i < 36; ++i)
        address[36 + i % 2] ^= address[i];
}

Tox *newTox(const uint8_t *secretKey)
{
    Tox_Options *options = tox_options_new(nullptr);
    if (!options)
        return nullptr;
    tox_options_set_savedata_type(options, TOX_SAVEDATA_TYPE_SECRET_KEY);
    tox_options_set_savedata_data(options, secretKey, TOX_SECRET_KEY_SIZE);
    tox_options_set_udp_enabled(options, false);
    tox_options_set_local_discovery_enabled(options, false);
    tox_options_set_ipv6_enabled(options, false);
    Tox *tox = tox_new(options, nullptr);
    tox_options_free(options);
    return tox;
}

const uint8_t *bytes(const char *text)
{
    return reinterpret_cast<const uint8_t *>(text);
}

bool writeFile(const char *path, const std::vector<uint8_t> &data)
{
    FILE *file = std::fopen(path, "wb");
    if (!file) {
        std::perror(path);
        return false;
    }
    const bool written = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    if (std::fclose(file) != 0 || !written) {
        std::perror(path);
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: %s OUTPUT.tox [ENCRYPTED.tox]\n", argv[0]);
        return 2;
    }
    uint8_t secretKey[TOX_SECRET_KEY_SIZE];
    keyFromHex(aliceSecretKey, secretKey);
    Tox *alice = newTox(secretKey);
    if (!alice) {
        std::fprintf(stderr, "could not create a Tox instance\n");
        return 1;
    }
    tox_self_set_nospam(alice, aliceNospam);

    const char name[] = "Alice Lindqvist";
    const char status[] = "Reading old chat logs - back after lunch";
    bool ok = tox_self_set_name(alice, bytes(name), std::strlen(name), nullptr);
    ok = tox_self_set_status_message(alice, bytes(status), std::strlen(status), nullptr) && ok;
    tox_self_set_status(alice, TOX_USER_STATUS_AWAY);

    // Bob is a friend already; Carol is asked through a request that she has not answered yet.
    uint8_t bobKey[TOX_PUBLIC_KEY_SIZE];
    keyFromHex(bobPublicKey, bobKey);
    ok = tox_friend_add_norequest(alice, bobKey, nullptr) != UINT32_MAX && ok;
    uint8_t carolAddress[TOX_ADDRESS_SIZE];
    toxAddress(carolPublicKey, carolNospam, carolAddress);
    const char request[] = "Hi Carol, it's Alice from the book club.";
    ok = tox_friend_add(alice, carolAddress, bytes(request), std::strlen(request), nullptr) !=
             UINT32_MAX &&
         ok;

    std::vector<uint8_t> save(tox_get_savedata_size(alice));
    tox_get_savedata(alice, save.data());
    tox_kill(alice);
    if (!ok) {
        std::fprintf(stderr, "could not set up the profile\n");
        return 1;
    }

    if (!writeFile(argv[1], save))
        return 1;
    if (argc == 3) {
        const char passphrase[] = "sample";
        std::vector<uint8_t> encrypted(save.size() + TOX_PASS_ENCRYPTION_EXTRA_LENGTH);
        if (!tox_pass_encrypt(save.data(), save.size(), bytes(passphrase), std::strlen(passphrase),
                              encrypted.data(), nullptr)) {
            std::fprintf(stderr, "could not encrypt the save\n");
            return 1;
        }
        if (!writeFile(argv[2], encrypted))
            return 1;
    }
    return 0;
}
