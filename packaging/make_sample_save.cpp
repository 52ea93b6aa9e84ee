// Writes the sample save file samples/alice.tox with the Tox library: a profile with a name, a
// status message, the user status "away" and two friends, one added directly and one asked
// through a friend request. The instances never touch the network: UDP and local discovery are
// off, nothing is bootstrapped and the event loop never runs. Keys are new on every run.
// With a second file name it also writes the same save encrypted by the Tox encryption library
// (the fuzzers' seed corpus uses both).
#include <tox/tox.h>
#include <tox/toxencryptsave.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace
{

Tox *newTox()
{
    Tox_Options *options = tox_options_new(nullptr);
    if (!options)
        return nullptr;
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
    Tox *alice = newTox();
    Tox *bob = newTox();
    Tox *carol = newTox();
    if (!alice || !bob || !carol) {
        std::fprintf(stderr, "could not create a Tox instance\n");
        return 1;
    }

    const char name[] = "Alice Lindqvist";
    const char status[] = "Reading old chat logs - back after lunch";
    bool ok = tox_self_set_name(alice, bytes(name), std::strlen(name), nullptr);
    ok = tox_self_set_status_message(alice, bytes(status), std::strlen(status), nullptr) && ok;
    tox_self_set_status(alice, TOX_USER_STATUS_AWAY);

    // Bob is a friend already; Carol is asked through a request that she has not answered yet.
    uint8_t bobKey[TOX_PUBLIC_KEY_SIZE];
    tox_self_get_public_key(bob, bobKey);
    ok = tox_friend_add_norequest(alice, bobKey, nullptr) != UINT32_MAX && ok;
    uint8_t carolAddress[TOX_ADDRESS_SIZE];
    tox_self_get_address(carol, carolAddress);
    const char request[] = "Hi Carol, it's Alice from the book club.";
    ok = tox_friend_add(alice, carolAddress, bytes(request), std::strlen(request), nullptr) !=
             UINT32_MAX &&
         ok;

    std::vector<uint8_t> save(tox_get_savedata_size(alice));
    tox_get_savedata(alice, save.data());
    tox_kill(carol);
    tox_kill(bob);
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
