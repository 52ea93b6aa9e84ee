// Saves written by the real Tox library, decoded and compared with what the library itself says
// about the account. Every instance runs without UDP, local discovery, IPv6 or bootstrap nodes,
// so nothing here touches the network.
#include "savefile.h"

#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <tox/tox.h>
#include <tox/toxencryptsave.h>

namespace
{

using ToxPtr = std::unique_ptr<Tox, decltype(&tox_kill)>;

ToxPtr makeTox()
{
    Tox_Options *options = tox_options_new(nullptr);
    if (!options)
        return ToxPtr(nullptr, &tox_kill);
    tox_options_set_udp_enabled(options, false);
    tox_options_set_local_discovery_enabled(options, false);
    tox_options_set_ipv6_enabled(options, false);
    tox_options_set_hole_punching_enabled(options, false);
    Tox_Err_New error = TOX_ERR_NEW_OK;
    Tox *tox = tox_new(options, &error);
    tox_options_free(options);
    return ToxPtr(error == TOX_ERR_NEW_OK ? tox : nullptr, &tox_kill);
}

const uint8_t *u8(const QByteArray &data)
{
    return reinterpret_cast<const uint8_t *>(data.constData());
}

QByteArray saveData(const Tox *tox)
{
    QByteArray data(static_cast<int>(tox_get_savedata_size(tox)), '\0');
    tox_get_savedata(tox, reinterpret_cast<uint8_t *>(data.data()));
    return data;
}

QString upperHex(const QByteArray &data)
{
    return QString::fromLatin1(data.toHex().toUpper());
}

// One of the library's getters that fill a buffer of `size` bytes.
template <typename Getter> QByteArray fetch(const Tox *tox, int size, Getter getter)
{
    QByteArray data(size, '\0');
    getter(tox, reinterpret_cast<uint8_t *>(data.data()));
    return data;
}

QByteArray publicKey(const Tox *tox)
{
    return fetch(tox, TOX_PUBLIC_KEY_SIZE, tox_self_get_public_key);
}

QByteArray secretKey(const Tox *tox)
{
    return fetch(tox, TOX_SECRET_KEY_SIZE, tox_self_get_secret_key);
}

QByteArray address(const Tox *tox)
{
    return fetch(tox, TOX_ADDRESS_SIZE, tox_self_get_address);
}

// Writes `data` to `path` and decodes the file.
ParseResult parseOnDisk(const QString &path, const QByteArray &data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size())
        return ParseResult();
    file.close();
    return parseSaveFile(path);
}

// The lines a section of the given type printed after its header line (up to the next section,
// the bounds error or the end lines); a null string when the report has no such section.
QString sectionBody(const QString &report, int type, const QString &name, quint32 *length = nullptr)
{
    const QRegularExpression header(
        QStringLiteral("\nSection \\d+: type=%1 \\(%2\\), cookie=0x01ce, length=(\\d+)\n")
            .arg(type)
            .arg(name));
    const QRegularExpressionMatch match = header.match(report);
    if (!match.hasMatch())
        return QString();
    if (length)
        *length = match.captured(1).toUInt();
    const int start = match.capturedEnd();
    const QRegularExpression next(QStringLiteral("\n(Section |Error: |=== End of save file)"));
    const QRegularExpressionMatch end = next.match(report, start);
    return report.mid(start, end.hasMatch() ? end.capturedStart() - start : -1);
}

// A save written by the library decodes cleanly: every section known, every cookie right, the
// walk ended by END, and the secret key hidden.
void checkCleanSave(const Tox *tox, const ParseResult &result)
{
    QVERIFY(result.success);
    QCOMPARE(result.error, QString());
    QVERIFY(result.report.contains(
        QStringLiteral("  (end marker)\n\n=== End of save file ===\nTotal sections: ")));
    QVERIFY(!result.report.contains(QStringLiteral("UNKNOWN")));
    QVERIFY(!result.report.contains(QStringLiteral("unexpected cookie")));
    QVERIFY(!result.report.contains(QStringLiteral("Error: Section")));
    const QString secret = QString::fromLatin1(secretKey(tox).toHex());
    QVERIFY(!result.report.contains(secret.toLower()));
    QVERIFY(!result.report.contains(secret.toUpper()));
    QVERIFY(result.report.contains(QStringLiteral("    secret_key: <hidden>\n")));
}

QString headLines(const QString &path, qint64 size, const QString &word0, const QString &word1)
{
    return QStringLiteral("=== Tox Save File: %1 ===\nFile size: %2 bytes\n\n"
                          "Global header: [0x%3] [0x%4]\n")
        .arg(path, QString::number(size), word0, word1);
}

} // namespace

class TestToxSaves : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void ownAccount_data();
    void ownAccount();
    void nospamAsInToxId_data();
    void nospamAsInToxId();
    void friends();
    void freshSaveSections();
    void encryptedSave();

private:
    QTemporaryDir dir;
};

void TestToxSaves::initTestCase()
{
    QVERIFY(dir.isValid());
    QVERIFY2(makeTox() != nullptr, "the Tox library could not create an offline instance");
}

void TestToxSaves::ownAccount_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("nameText");
    QTest::addColumn<QByteArray>("statusMessage");
    QTest::addColumn<QString>("statusMessageText");
    QTest::addColumn<int>("userStatus");
    QTest::addColumn<QString>("statusWord");
    QTest::newRow("online, plain name")
        << QByteArray("Alice") << "Alice" << QByteArray("Working on it") << "Working on it"
        << int(TOX_USER_STATUS_NONE) << "online";
    QTest::newRow("away, quotes kept bare")
        << QByteArray("Bob \"the builder\"") << "Bob \"the builder\"" << QByteArray("back soon")
        << "back soon" << int(TOX_USER_STATUS_AWAY) << "away";
    QTest::newRow("busy, UTF-8 escaped byte by byte")
        << QByteArray("Zo\xC3\xAB") << "Zo\\xc3\\xab" << QByteArray("\xE2\x9C\x93 done")
        << "\\xe2\\x9c\\x93 done" << int(TOX_USER_STATUS_BUSY) << "busy";
    QTest::newRow("away, empty name and message")
        << QByteArray() << "" << QByteArray() << "" << int(TOX_USER_STATUS_AWAY) << "away";
    QTest::newRow("busy, 128-byte name and 250-byte message")
        << QByteArray(128, 'n') << QString(128, QLatin1Char('n')) << QByteArray(250, 'm')
        << QString(200, QLatin1Char('m')) << int(TOX_USER_STATUS_BUSY) << "busy";
}

void TestToxSaves::ownAccount()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, nameText);
    QFETCH(QByteArray, statusMessage);
    QFETCH(QString, statusMessageText);
    QFETCH(int, userStatus);
    QFETCH(QString, statusWord);

    ToxPtr tox = makeTox();
    QVERIFY(tox);
    QVERIFY(tox_self_set_name(tox.get(), u8(name), size_t(name.size()), nullptr));
    QVERIFY(tox_self_set_status_message(tox.get(), u8(statusMessage), size_t(statusMessage.size()),
                                        nullptr));
    tox_self_set_status(tox.get(), static_cast<Tox_User_Status>(userStatus));

    const QByteArray save = saveData(tox.get());
    const QString path =
        dir.filePath(QStringLiteral("%1 account.tox").arg(QTest::currentDataTag()));
    const ParseResult result = parseOnDisk(path, save);
    checkCleanSave(tox.get(), result);
    QVERIFY(result.report.startsWith(headLines(path, save.size(), "00000000", "15ed1b1f")));

    quint32 length = 0;
    const QString keys = sectionBody(result.report, 1, "NOSPAMKEYS", &length);
    QCOMPARE(keys, QStringLiteral("  [NOSPAMKEYS Section] (%1 bytes)\n"
                                  "    nospam: 0x%2 (%3)\n"
                                  "    public_key: %4\n"
                                  "    secret_key: <hidden>\n")
                       .arg(length)
                       .arg(tox_self_get_nospam(tox.get()), 8, 16, QLatin1Char('0'))
                       .arg(tox_self_get_nospam(tox.get()))
                       .arg(upperHex(publicKey(tox.get()))));
    QCOMPARE(
        sectionBody(result.report, 4, "NAME"),
        QStringLiteral("  [NAME Section] (%1 bytes): \"%2\"\n").arg(name.size()).arg(nameText));
    QCOMPARE(sectionBody(result.report, 5, "STATUSMESSAGE"),
             QStringLiteral("  [STATUSMESSAGE Section] (%1 bytes): \"%2\"\n")
                 .arg(statusMessage.size())
                 .arg(statusMessageText));
    QCOMPARE(sectionBody(result.report, 6, "STATUS"),
             QStringLiteral("  [STATUS Section] (1 bytes): %1\n").arg(statusWord));
}

void TestToxSaves::nospamAsInToxId_data()
{
    QTest::addColumn<bool>("setNospam");
    QTest::addColumn<uint>("nospam");
    QTest::addColumn<QString>("line");
    QTest::newRow("0x01020304") << true << 0x01020304u << "    nospam: 0x01020304 (16909060)\n";
    QTest::newRow("0xdeadbeef") << true << 0xDEADBEEFu << "    nospam: 0xdeadbeef (3735928559)\n";
    QTest::newRow("0x000000ff") << true << 0x000000FFu << "    nospam: 0x000000ff (255)\n";
    QTest::newRow("library default") << false << 0u << QString();
}

void TestToxSaves::nospamAsInToxId()
{
    QFETCH(bool, setNospam);
    QFETCH(uint, nospam);
    QFETCH(QString, line);

    ToxPtr tox = makeTox();
    QVERIFY(tox);
    if (setNospam) {
        tox_self_set_nospam(tox.get(), nospam);
        // The library hands back the value it was given...
        QCOMPARE(uint(tox_self_get_nospam(tox.get())), nospam);
    } else {
        nospam = tox_self_get_nospam(tox.get());
        line = QStringLiteral("    nospam: 0x%1 (%2)\n")
                   .arg(nospam, 8, 16, QLatin1Char('0'))
                   .arg(nospam);
    }
    // ...and the Tox ID (public key, nospam, checksum) carries it most significant byte first.
    const QByteArray id = address(tox.get());
    QCOMPARE(id.left(TOX_PUBLIC_KEY_SIZE), publicKey(tox.get()));
    QCOMPARE(QString::fromLatin1(id.mid(TOX_PUBLIC_KEY_SIZE, 4).toHex()),
             QStringLiteral("%1").arg(nospam, 8, 16, QLatin1Char('0')));
    // The Tox ID made from the decoded section, checksum included, is the library's own.
    const SaveContents decoded = decodeSaveData(saveData(tox.get()), QString()).contents;
    QCOMPARE(toxId(decoded.sections.value(0).nospam, decoded.sections.value(0).publicKey),
             upperHex(id));

    const ParseResult result = parseSaveData(saveData(tox.get()), QStringLiteral("nospam.tox"));
    checkCleanSave(tox.get(), result);
    QVERIFY2(result.report.contains(line), qPrintable(result.report));
}

void TestToxSaves::friends()
{
    ToxPtr self = makeTox();
    ToxPtr requested = makeTox();
    ToxPtr trusted = makeTox();
    QVERIFY(self && requested && trusted);
    QVERIFY(tox_self_set_name(requested.get(), u8("Req"), 3, nullptr));

    const QByteArray message("hello there");
    Tox_Err_Friend_Add error = TOX_ERR_FRIEND_ADD_OK;
    QCOMPARE(tox_friend_add(self.get(), u8(address(requested.get())), u8(message),
                            size_t(message.size()), &error),
             0u);
    QCOMPARE(int(error), int(TOX_ERR_FRIEND_ADD_OK));
    QCOMPARE(tox_friend_add_norequest(self.get(), u8(publicKey(trusted.get())), &error), 1u);
    QCOMPARE(int(error), int(TOX_ERR_FRIEND_ADD_OK));
    QCOMPARE(tox_self_get_friend_list_size(self.get()), size_t(2));

    QByteArray keys[2];
    for (uint32_t n = 0; n < 2; ++n) {
        keys[n] = QByteArray(TOX_PUBLIC_KEY_SIZE, '\0');
        QVERIFY(tox_friend_get_public_key(self.get(), n,
                                          reinterpret_cast<uint8_t *>(keys[n].data()), nullptr));
    }
    QCOMPARE(keys[0], publicKey(requested.get()));
    QCOMPARE(keys[1], publicKey(trusted.get()));

    const QString path = dir.filePath(QStringLiteral("friends.tox"));
    const ParseResult result = parseOnDisk(path, saveData(self.get()));
    checkCleanSave(self.get(), result);
    QVERIFY(result.report.startsWith(QStringLiteral("=== Tox Save File: %1 ===\n").arg(path)));
    // The library stores one 2216-byte record per friend. A friend added with a request is
    // stored as "added" (1) with the request message as its info; one added without a request
    // is confirmed (3), so its (still empty) name is shown.
    QCOMPARE(sectionBody(result.report, 3, "FRIENDS"),
             QStringLiteral("  [FRIENDS Section] (4432 bytes)\n"
                            "    Number of friends: 2\n"
                            "    Friend 0: status=1 pk=%1 info_size=%2\n"
                            "    Friend 1: status=3 pk=%3 info_size=0 name=\"\"\n")
                 .arg(upperHex(keys[0]))
                 .arg(message.size())
                 .arg(upperHex(keys[1])));
    // Neither friend's secret key is in the save, let alone in the report.
    for (const Tox *other : {requested.get(), trusted.get()}) {
        const QString secret = QString::fromLatin1(secretKey(other).toHex());
        QVERIFY(!result.report.contains(secret, Qt::CaseInsensitive));
    }
}

// A new account's save: every section the library writes is known, and the empty lists print
// as the format says.
void TestToxSaves::freshSaveSections()
{
    ToxPtr tox = makeTox();
    QVERIFY(tox);
    const ParseResult result = parseSaveData(saveData(tox.get()), QStringLiteral("fresh.tox"));
    checkCleanSave(tox.get(), result);
    const QString dht = sectionBody(result.report, 2, "DHT");
    QVERIFY2(dht.startsWith(QStringLiteral("  [DHT Section]\n"
                                           "    DHT cookie: 0x0159000d (expected 0x0159000d)\n")),
             qPrintable(dht));
    QVERIFY(!dht.contains(QStringLiteral("extends beyond")));
    QCOMPARE(sectionBody(result.report, 3, "FRIENDS"),
             QStringLiteral("  [FRIENDS Section] (0 bytes)\n"
                            "    (unexpected size - not a multiple of 2216; length=0)\n"
                            "    Raw hex dump of first 64 bytes:\n"
                            "      \n"));
    QCOMPARE(sectionBody(result.report, 10, "TCP_RELAY"),
             QStringLiteral("  [TCP_RELAY Section]\n    (empty)\n"));
    QCOMPARE(sectionBody(result.report, 11, "PATH_NODE"),
             QStringLiteral("  [PATH_NODE Section]\n    (empty)\n"));
    QCOMPARE(sectionBody(result.report, 255, "END"), QStringLiteral("  (end marker)\n"));
}

void TestToxSaves::encryptedSave()
{
    ToxPtr tox = makeTox();
    QVERIFY(tox);
    const QByteArray plain = saveData(tox.get());
    const QByteArray passphrase("correct horse battery staple");
    QByteArray encrypted(plain.size() + TOX_PASS_ENCRYPTION_EXTRA_LENGTH, '\0');
    Tox_Err_Encryption error = TOX_ERR_ENCRYPTION_OK;
    QVERIFY(tox_pass_encrypt(u8(plain), size_t(plain.size()), u8(passphrase),
                             size_t(passphrase.size()),
                             reinterpret_cast<uint8_t *>(encrypted.data()), &error));
    QCOMPARE(int(error), int(TOX_ERR_ENCRYPTION_OK));
    QVERIFY(tox_is_data_encrypted(u8(encrypted)));
    QCOMPARE(encrypted.left(8), QByteArray("toxEsave"));

    const QString path = dir.filePath(QStringLiteral("encrypted.tox"));
    const ParseResult result = parseOnDisk(path, encrypted);
    QCOMPARE(result.error, QString());
    QVERIFY(result.success);
    QCOMPARE(
        result.report,
        headLines(path, encrypted.size(), "45786f74", "65766173") +
            QStringLiteral("\n!!! This file appears to be ENCRYPTED (ToxEncrypt format) !!!\n"
                           "!!! Decrypt it first with toxencryptsave before parsing. !!!\n\n"));

    // Decrypted again, the same bytes give the plain report.
    QByteArray decrypted(plain.size(), '\0');
    Tox_Err_Decryption decryptError = TOX_ERR_DECRYPTION_OK;
    QVERIFY(tox_pass_decrypt(u8(encrypted), size_t(encrypted.size()), u8(passphrase),
                             size_t(passphrase.size()),
                             reinterpret_cast<uint8_t *>(decrypted.data()), &decryptError));
    QCOMPARE(decrypted, plain);
    const ParseResult again = parseSaveData(decrypted, path);
    QVERIFY(again.success);
    QVERIFY(again.report.contains(
        QStringLiteral("    public_key: %1\n").arg(upperHex(publicKey(tox.get())))));
}

QTEST_GUILESS_MAIN(TestToxSaves)
#include "tst_toxsaves.moc"
