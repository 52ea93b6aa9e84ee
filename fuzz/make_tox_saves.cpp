// Writes real save files with the Tox library, for the fuzzers' seed corpus: a new profile, a
// profile with name, status message, user status and friends, and an encrypted save. The
// instances never touch the network (UDP and local discovery are off, nothing is bootstrapped).
#include <tox/tox.h>
#include <tox/toxencryptsave.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace
{

Tox *newTox()
{
    Tox_Options *options = tox_options_new(nullptr);
    tox_options_set_udp_enabled(options, false);
    tox_options_set_local_discovery_enabled(options, false);
    tox_options_set_ipv6_enabled(options, false);
    Tox *tox = tox_new(options, nullptr);
    tox_options_free(options);
    return tox;
}

std::vector<uint8_t> saveOf(const Tox *tox)
{
    std::vector<uint8_t> data(tox_get_savedata_size(tox));
    tox_get_savedata(tox, data.data());
    return data;
}

bool writeFile(const std::string &path, const std::vector<uint8_t> &data)
{
    FILE *file = std::fopen(path.c_str(), "wb");
    if (!file)
        return false;
    const bool ok = std::fwrite(data.data(), 1, data.size(), file) == data.size();
    return std::fclose(file) == 0 && ok;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIRECTORY\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    Tox *plain = newTox();
    Tox *full = newTox();
    Tox *other = newTox();
    if (!plain || !full || !other) {
        std::fprintf(stderr, "could not create a Tox instance\n");
        return 1;
    }

    const char name[] = "Alice \xc3\xa9";
    const char status[] = "reading \"logs\"";
    tox_self_set_name(full, reinterpret_cast<const uint8_t *>(name), std::strlen(name), nullptr);
    tox_self_set_status_message(full, reinterpret_cast<const uint8_t *>(status),
                                std::strlen(status), nullptr);
    tox_self_set_status(full, TOX_USER_STATUS_AWAY);
    tox_self_set_nospam(full, 0x01020304);
    uint8_t key[TOX_PUBLIC_KEY_SIZE];
    tox_self_get_public_key(other, key);
    tox_friend_add_norequest(full, key, nullptr);
    uint8_t address[TOX_ADDRESS_SIZE];
    tox_self_get_address(plain, address);
    const char request[] = "hello";
    tox_friend_add(full, address, reinterpret_cast<const uint8_t *>(request), std::strlen(request),
                   nullptr);

    const std::vector<uint8_t> fullSave = saveOf(full);
    std::vector<uint8_t> encrypted(fullSave.size() + TOX_PASS_ENCRYPTION_EXTRA_LENGTH);
    const char passphrase[] = "corpus";
    const bool encryptedOk = tox_pass_encrypt(fullSave.data(), fullSave.size(),
                                              reinterpret_cast<const uint8_t *>(passphrase),
                                              std::strlen(passphrase), encrypted.data(), nullptr);

    const bool ok = writeFile(dir + "/real-new.tox", saveOf(plain)) &&
                    writeFile(dir + "/real-full.tox", fullSave) && encryptedOk &&
                    writeFile(dir + "/real-encrypted.tox", encrypted);
    tox_kill(plain);
    tox_kill(full);
    tox_kill(other);
    if (!ok) {
        std::fprintf(stderr, "could not write the saves into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}
