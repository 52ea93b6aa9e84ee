// Recognition of a Tox secret key by what it is rather than by where it sits: 32 bytes whose
// X25519 public key (libsodium's crypto_scalarmult_curve25519_base, as the Tox library derives
// it) is stored beside them. Both decoders use it, so that a damaged save shows its secret key
// nowhere, however far the damage moved it.
#pragma once

#include <QtGlobal>

#include <vector>

class ByteReader;

constexpr int secretKeySize = 32;
constexpr int publicKeySize = 32;

// How much of the start of a file is searched for key pairs.
constexpr qint64 keySearchLength = 4096;

// The fewest distinct byte values a run of 32 bytes must hold to be tried as a secret key. The
// Tox library's secret keys are 32 uniformly random bytes; the chance that such a key holds fewer
// is 1.15e-13 (keyPrefilterMissChance), while text, zeros and structure hold far fewer.
constexpr int minSecretKeyDistinctBytes = 18;
constexpr double keyPrefilterMissChance = 1.15e-13;

// A secret key found in the searched bytes, with the public key it derives; offsets from the
// start of the file.
struct KeyPair {
    qint64 secretKey = 0;
    qint64 publicKey = 0;
};

// Whether the 32 bytes at `publicKey` are the X25519 public key of the 32 bytes at `secretKey`.
bool isPublicKeyOf(const uchar *publicKey, const uchar *secretKey);

// Whether 32 bytes pass the prefilter: a run that does not is no key the Tox library made.
bool couldBeSecretKey(const uchar *bytes);

// Every run of 32 bytes wholly inside the first keySearchLength bytes of `data` whose public key
// is a run of 32 bytes there too, in file order; each with the first such public key. With
// `firstOnly`, the search ends at the first one found.
std::vector<KeyPair> findKeyPairs(const uchar *data, qint64 size, bool firstOnly = false);

// Whether a Tox save section header starts at `at`: its section cookie 0x01ce and a type that
// saves hold. Its length is stored in `length`. Both decoders look for the sections around a
// damaged save's key by it.
bool isSaveSectionHeader(const ByteReader &bytes, quint64 at, quint32 &length);
