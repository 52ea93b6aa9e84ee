// Byte builders for test inputs (Tox saves and ORVA logs) and small file helpers, shared by
// every test program.
#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

QByteArray le16(quint16 value);
QByteArray le32(quint32 value);
QByteArray be16(quint16 value);
// `count` bytes seed, seed + 1, ... (mod 256); a 32-byte key is counting(32, seed).
QByteArray counting(int count, int seed = 0);

// A Tox save: the container words, then the sections back to back.
QByteArray toxSave(const QByteArrayList &sections);
QByteArray toxSection(quint16 type, const QByteArray &payload, quint16 cookie = 0x01CE);
// The X25519 public key of a 32-byte secret key, as the Tox library derives it (libsodium).
QByteArray publicKeyOf(const QByteArray &secretKey);
// The secret key of nospamKeysSection(), the bytes a report must never show: counting(32, 0xA0).
QByteArray testSecretKey();
// An intact first NOSPAMKEYS section: nospam 01 02 03 04, publicKeyOf(testSecretKey()) and
// testSecretKey().
QByteArray nospamKeysSection();
// One packed node: family, the address bytes, the port and the key counting(32, keySeed).
QByteArray packedNode(quint8 family, const QByteArray &address, quint16 port, int keySeed);

// One ORVA log record: the 16-byte header, the sender and the text. The text length field is
// the text's size unless `textLength` is given.
QByteArray logRecord(quint32 time, quint16 type, quint16 direction, quint16 flags,
                     const QByteArray &sender, const QByteArray &text, int textLength = -1);

bool writeFile(const QString &path, const QByteArray &bytes);
QByteArray readFile(const QString &path); // empty when it cannot be read
// A file of tests/data.
QString testData(const QString &name);
