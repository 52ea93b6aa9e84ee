// tox-inspect --passphrase-file over every damaged form of a real encrypted save: a save that the
// Tox library wrote (tox_get_savedata of a fresh instance with a name, a status message and a
// friend) and encrypted (tox_pass_encrypt), cut at every length and with every single byte
// flipped. Each must be refused alone: exit status 1, one error line, nothing of a report (in
// JSON, one object with "ok": false and no section), and neither the secret key nor the
// passphrase in any output. Prints how many forms were run and how many broke a rule; exits 1
// when any did. Optional argument: the step between lengths and flipped bytes (1, all of them).
#include "inspect.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <tox/tox.h>
#include <tox/toxencryptsave.h>

#include <cstdio>
#include <cstring>

namespace
{

const QByteArray passphrase = "a passphrase of the bench";

QByteArray freshSave()
{
    Tox_Options *options = tox_options_new(nullptr);
    tox_options_set_udp_enabled(options, false);
    tox_options_set_local_discovery_enabled(options, false);
    Tox *tox = tox_new(options, nullptr);
    tox_options_free(options);
    if (!tox)
        return {};
    tox_self_set_name(tox, reinterpret_cast<const uint8_t *>("Mallory"), 7, nullptr);
    tox_self_set_status_message(tox, reinterpret_cast<const uint8_t *>("hostile"), 7, nullptr);
    const QByteArray friendKey(TOX_PUBLIC_KEY_SIZE, '\x42');
    tox_friend_add_norequest(tox, reinterpret_cast<const uint8_t *>(friendKey.constData()),
                             nullptr);
    QByteArray save(int(tox_get_savedata_size(tox)), '\0');
    tox_get_savedata(tox, reinterpret_cast<uint8_t *>(save.data()));
    tox_kill(tox);
    return save;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int step = argc > 1 ? qMax(1, QByteArray(argv[1]).toInt()) : 1;
    QTemporaryDir folder;
    const QByteArray plain = freshSave();
    QByteArray encrypted(plain.size() + TOX_PASS_ENCRYPTION_EXTRA_LENGTH, '\0');
    if (!folder.isValid() || plain.size() < 84 ||
        !tox_pass_encrypt(
            reinterpret_cast<const uint8_t *>(plain.constData()), size_t(plain.size()),
            reinterpret_cast<const uint8_t *>(passphrase.constData()), size_t(passphrase.size()),
            reinterpret_cast<uint8_t *>(encrypted.data()), nullptr) ||
        !writeFile(folder.filePath("pass"), passphrase + '\n')) {
        std::fprintf(stderr, "bench_encrypted: could not make the encrypted save\n");
        return 2;
    }
    const QByteArray secretKey = plain.mid(52, 32);
    const QList<QByteArray> hidden = {secretKey, secretKey.toHex(), secretKey.toHex().toUpper(),
                                      secretKey.toBase64(), passphrase};

    int forms = 0;
    int broken = 0;
    const auto check = [&](const QString &name, const QByteArray &bytes, bool json) {
        const QString path = folder.filePath(name);
        if (!writeFile(path, bytes))
            return;
        QByteArray out;
        QByteArray err;
        const auto into = [](QByteArray &text) {
            return [&text](const char *data, qint64 size) {
                text.append(data, int(size));
                return true;
            };
        };
        QStringList arguments = {"tox-inspect", "save", "--passphrase-file",
                                 folder.filePath("pass"), path};
        if (json)
            arguments << "--format"
                      << "json";
        const int status = runInspector(arguments, {into(out), into(err)});
        QFile::remove(path);
        ++forms;
        QStringList faults;
        if (status != exitFileFailed)
            faults << QStringLiteral("exit status %1").arg(status);
        if (err.count('\n') != 1 || !err.endsWith('\n'))
            faults << QStringLiteral("not one error line");
        if (json) {
            const QJsonObject object = QJsonDocument::fromJson(out).object();
            if (out.count('\n') != 1 || object.value("ok").toBool(true) ||
                !object.value("sections").toArray().isEmpty() || object.contains("tox_id"))
                faults << QStringLiteral("JSON of a report");
        } else if (!out.isEmpty()) {
            faults << QStringLiteral("part of a report");
        }
        for (const QByteArray &secret : hidden) {
            if (out.contains(secret) || err.contains(secret))
                faults << QStringLiteral("the secret key or the passphrase shown");
        }
        if (!faults.isEmpty()) {
            ++broken;
            std::printf("%s: %s\n", qPrintable(name),
                        qPrintable(faults.join(QStringLiteral(", "))));
        }
    };
    for (int length = 0; length < encrypted.size(); length += step)
        check(QStringLiteral("cut-%1.tox").arg(length), encrypted.left(length), length % 2 == 1);
    for (int at = 0; at < encrypted.size(); at += step) {
        QByteArray flipped = encrypted;
        flipped[at] = char(flipped.at(at) ^ (at % 2 == 0 ? 0x01 : 0xff));
        check(QStringLiteral("flip-%1.tox").arg(at), flipped, at % 3 == 0);
    }
    std::printf("encrypted save of %d bytes: %d damaged forms run, %d broke a rule\n",
                int(encrypted.size()), forms, broken);
    return broken == 0 ? 0 : 1;
}
