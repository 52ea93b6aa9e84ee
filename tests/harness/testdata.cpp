#include "testdata.h"

#include <QFile>

#include <sodium.h>

QByteArray le16(quint16 value)
{
    return QByteArray(1, char(value & 0xFF)) + char(value >> 8);
}

QByteArray le32(quint32 value)
{
    return le16(quint16(value & 0xFFFF)) + le16(quint16(value >> 16));
}

QByteArray be16(quint16 value)
{
    return QByteArray(1, char(value >> 8)) + char(value & 0xFF);
}

QByteArray counting(int count, int seed)
{
    QByteArray out(count, '\0');
    for (int i = 0; i < count; ++i)
        out[i] = char((seed + i) & 0xFF);
    return out;
}

QByteArray toxSave(const QByteArrayList &sections)
{
    return QByteArray::fromHex("000000001f1bed15") + sections.join();
}

QByteArray toxSection(quint16 type, const QByteArray &payload, quint16 cookie)
{
    return le32(quint32(payload.size())) + le16(type) + le16(cookie) + payload;
}

QByteArray publicKeyOf(const QByteArray &secretKey)
{
    QByteArray publicKey(crypto_scalarmult_curve25519_BYTES, '\0');
    if (sodium_init() < 0 || secretKey.size() != crypto_scalarmult_curve25519_SCALARBYTES ||
        crypto_scalarmult_curve25519_base(reinterpret_cast<uchar *>(publicKey.data()),
                                          reinterpret_cast<const uchar *>(secretKey.constData())) !=
            0)
        return QByteArray();
    return publicKey;
}

QByteArray testSecretKey()
{
    return counting(32, 0xA0);
}

QByteArray nospamKeysSection()
{
    return toxSection(1, QByteArray::fromHex("01020304") + publicKeyOf(testSecretKey()) +
                             testSecretKey());
}

QByteArray packedNode(quint8 family, const QByteArray &address, quint16 port, int keySeed)
{
    return char(family) + address + be16(port) + counting(32, keySeed);
}

QByteArray logRecord(quint32 time, quint16 type, quint16 direction, quint16 flags,
                     const QByteArray &sender, const QByteArray &text, int textLength)
{
    return le32(time) + le32(0) + le16(type) +
           le16(quint16(textLength < 0 ? text.size() : textLength)) + le16(direction) +
           le16(flags) + sender + text;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString testData(const QString &name)
{
    return QStringLiteral(TEST_DATA_DIR "/") + name;
}
