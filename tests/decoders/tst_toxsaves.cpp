// Saves written by the real Tox library, decoded and compared with what the library itself says
// about the account. Every instance runs without UDP, local discovery or IPv6, so nothing here
// touches the network.
#include "savefile.h"
#include "testdata.h"

#include <QRegularExpression>
#include <QtTest>

#include <memory>
#include <tox/tox.h>
#include <tox/toxencryptsave.h>

namespace
{

using ToxPtr = std::unique_ptr<Tox, decltype(&tox_kill)>;

const uint8_t *u8(const QByteArray &data)
{
    return reinterpret_cast<const uint8_t *>(data.constData());
}

// An offline instance, new or loaded from `save`.
ToxPtr makeTox(const QByteArray &save = QByteArray())
{
    Tox_Options *options = tox_options_new(nullptr);
    tox_options_set_udp_enabled(options, false);
    tox_options_set_local_discovery_enabled(options, false);
    tox_options_set_ipv6_enabled(options, false);
    if (!save.isEmpty()) {
        tox_options_set_savedata_type(options, TOX_SAVEDATA_TYPE_TOX_SAVE);
        tox_options_set_savedata_data(options, u8(save), size_t(save.size()));
    }
    ToxPtr tox(tox_new(options, nullptr), &tox_kill);
    tox_options_free(options);
    return tox;
}

QByteArray saveData(const Tox *tox)
{
    QByteArray data(int(tox_get_savedata_size(tox)), '\0');
    tox_get_savedata(tox, reinterpret_cast<uint8_t *>(data.data()));
    return data;
}

// One of the library's getters that fill a buffer of `size` bytes, as uppercase hex.
template <typename Getter> QString fetch(const Tox *tox, int size, Getter getter)
{
    QByteArray data(size, '\0');
    getter(tox, reinterpret_cast<uint8_t *>(data.data()));
    return QString::fromLatin1(data.toHex().toUpper());
}

QString publicKey(const Tox *tox)
{
    return fetch(tox, TOX_PUBLIC_KEY_SIZE, tox_self_get_public_key);
}

QString secretKey(const Tox *tox)
{
    return fetch(tox, TOX_SECRET_KEY_SIZE, tox_self_get_secret_key);
}

// The lines a section of the given type printed after its header line.
QString sectionBody(const QString &report, const QString &name)
{
    const QRegularExpression body(
        QStringLiteral("\nSection \\d+: type=\\d+ \\(%1\\), cookie=0x01ce, "
                       "length=\\d+\n(.*?)(?=\nSection |\n=== End)")
            .arg(name),
        QRegularExpression::DotMatchesEverythingOption);
    return body.match(report).captured(1);
}

// A save the library wrote decodes cleanly, and its secret key is nowhere in the report.
ParseResult decodeClean(const Tox *tox)
{
    const ParseResult result = parseSaveData(saveData(tox), QStringLiteral("/evidence/a.tox"));
    [&] {
        QVERIFY(result.success);
        QVERIFY(result.report.contains(QStringLiteral("  (end marker)\n\n=== End of save file")));
        for (const char *damage : {"UNKNOWN", "unexpected cookie", "Error: Section", "!!!"})
            QVERIFY2(!result.report.contains(QLatin1String(damage)), damage);
        QVERIFY(!result.report.contains(secretKey(tox), Qt::CaseInsensitive));
    }();
    return result;
}

} // namespace

class TestToxSaves : public QObject
{
    Q_OBJECT

private slots:
    void ownAccount_data();
    void ownAccount();
    void friends();
    void encryptedSave();
    void damagedFirstSectionHidesTheKey();
};

void TestToxSaves::ownAccount_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("statusMessage");
    QTest::addColumn<int>("userStatus");
    QTest::addColumn<uint>("nospam"); // 0: the library's own
    QTest::addColumn<QString>("lines");
    QTest::newRow("online, plain")
        << QByteArray("Alice") << QByteArray("Working on it") << int(TOX_USER_STATUS_NONE)
        << 0x01020304u
        << "  [NAME Section] (5 bytes): \"Alice\"\n"
           "  [STATUSMESSAGE Section] (13 bytes): \"Working on it\"\n"
           "  [STATUS Section] (1 bytes): online\n    nospam: 0x01020304 (16909060)\n";
    QTest::newRow("busy, UTF-8 escaped byte by byte, quotes bare")
        << QByteArray("Zo\xC3\xAB \"Z\"") << QByteArray("\xE2\x9C\x93") << int(TOX_USER_STATUS_BUSY)
        << 0xDEADBEEFu
        << "  [NAME Section] (8 bytes): \"Zo\\xc3\\xab \"Z\"\"\n"
           "  [STATUSMESSAGE Section] (3 bytes): \"\\xe2\\x9c\\x93\"\n"
           "  [STATUS Section] (1 bytes): busy\n    nospam: 0xdeadbeef (3735928559)\n";
    QTest::newRow("away, longest name, message cut at 200")
        << QByteArray(128, 'n') << QByteArray(250, 'm') << int(TOX_USER_STATUS_AWAY) << 0u
        << "  [NAME Section] (128 bytes): \"" + QString(128, 'n') +
               "\"\n  [STATUSMESSAGE Section] (250 bytes): \"" + QString(200, 'm') +
               "\"\n  [STATUS Section] (1 bytes): away\n";
}

// The account as the library set it: name, status message, user status, the nospam in the order
// of the Tox ID, the public key, and the Tox ID itself with its checksum.
void TestToxSaves::ownAccount()
{
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, statusMessage);
    QFETCH(int, userStatus);
    QFETCH(uint, nospam);
    QFETCH(QString, lines);
    ToxPtr tox = makeTox();
    QVERIFY(tox);
    QVERIFY(tox_self_set_name(tox.get(), u8(name), size_t(name.size()), nullptr));
    QVERIFY(tox_self_set_status_message(tox.get(), u8(statusMessage), size_t(statusMessage.size()),
                                        nullptr));
    tox_self_set_status(tox.get(), Tox_User_Status(userStatus));
    if (nospam != 0)
        tox_self_set_nospam(tox.get(), nospam);
    const ParseResult result = decodeClean(tox.get());
    for (const QString &line : lines.split('\n', Qt::SkipEmptyParts))
        QVERIFY2(result.report.contains(line + '\n'), qPrintable(line));
    QVERIFY(result.report.contains(
        QStringLiteral("    nospam: 0x%1 (%2)\n    public_key: %3\n    secret_key: <hidden>\n")
            .arg(tox_self_get_nospam(tox.get()), 8, 16, QLatin1Char('0'))
            .arg(tox_self_get_nospam(tox.get()))
            .arg(publicKey(tox.get()))));
    const SaveSection keys = decodeSaveData(saveData(tox.get()), QString()).contents.sections[0];
    QCOMPARE(toxId(keys.nospam, keys.publicKey),
             fetch(tox.get(), TOX_ADDRESS_SIZE, tox_self_get_address));
}

// A friend added with a request is stored as added (1) with the request as its info; one added
// without is confirmed (3) and shows its name. A confirmed friend's status message and user
// status, put where the library keeps them, are read back by the library and by the decoder.
void TestToxSaves::friends()
{
    ToxPtr self = makeTox();
    ToxPtr requested = makeTox();
    ToxPtr trusted = makeTox();
    QVERIFY(self && requested && trusted);
    const QByteArray hello("hello there");
    QByteArray address(TOX_ADDRESS_SIZE, '\0');
    tox_self_get_address(requested.get(), reinterpret_cast<uint8_t *>(address.data()));
    QCOMPARE(tox_friend_add(self.get(), u8(address), u8(hello), size_t(hello.size()), nullptr), 0u);
    const QByteArray trustedKey = QByteArray::fromHex(publicKey(trusted.get()).toLatin1());
    QCOMPARE(tox_friend_add_norequest(self.get(), u8(trustedKey), nullptr), 1u);
    QCOMPARE(sectionBody(decodeClean(self.get()).report, QStringLiteral("FRIENDS")),
             QStringLiteral("  [FRIENDS Section] (4432 bytes)\n    Number of friends: 2\n"
                            "    Friend 0: status=1 pk=%1 info_size=11\n"
                            "    Friend 1: status=3 pk=%2 info_size=0 name=\"\"\n")
                 .arg(publicKey(requested.get()), publicKey(trusted.get())));

    // Both records get a status message and a user status; only the confirmed friend's count.
    QByteArray save = saveData(self.get());
    for (const SaveSection &section : decodeSaveData(save, QString()).contents.sections) {
        for (const int record : {0, 1}) { // status message at 1190, its length at 2198
            if (section.type == 3)
                save.replace(int(section.offset) + 8 + 2216 * record + 1190, 12, "Gone fishing")
                    .replace(int(section.offset) + 8 + 2216 * record + 2198, 3,
                             be16(12) + char(TOX_USER_STATUS_BUSY));
        }
    }
    ToxPtr again = makeTox(save);
    QVERIFY(again);
    QByteArray message(12, '\0');
    QVERIFY(tox_friend_get_status_message(again.get(), 1,
                                          reinterpret_cast<uint8_t *>(message.data()), nullptr));
    QCOMPARE(message, QByteArray("Gone fishing"));
    QCOMPARE(tox_friend_get_status(again.get(), 1, nullptr), TOX_USER_STATUS_BUSY);
    for (const SaveSection &section : decodeSaveData(save, QString()).contents.sections) {
        if (section.type == 3) {
            const SaveFriend added = section.friends.value(0), confirmed = section.friends.value(1);
            QCOMPARE(QStringList({added.statusMessage, confirmed.statusMessage}),
                     QStringList({QString(), "Gone fishing"}));
            QCOMPARE(QList<int>({added.userStatus, confirmed.userStatus}),
                     QList<int>({0, TOX_USER_STATUS_BUSY}));
        }
    }
}

// A save encrypted by the library is announced as such, and decrypted it is a plain save again.
void TestToxSaves::encryptedSave()
{
    ToxPtr tox = makeTox();
    QVERIFY(tox);
    const QByteArray plain = saveData(tox.get());
    const QByteArray passphrase("correct horse battery staple");
    QByteArray encrypted(plain.size() + TOX_PASS_ENCRYPTION_EXTRA_LENGTH, '\0');
    QVERIFY(tox_pass_encrypt(u8(plain), size_t(plain.size()), u8(passphrase),
                             size_t(passphrase.size()),
                             reinterpret_cast<uint8_t *>(encrypted.data()), nullptr));
    const ParseResult result = parseSaveData(encrypted, QStringLiteral("e.tox"));
    QVERIFY(result.success);
    QVERIFY(result.report.endsWith(
        QStringLiteral("Global header: [0x45786f74] [0x65766173]\n\n!!! This file appears to be "
                       "ENCRYPTED (ToxEncrypt format) !!!\n!!! Decrypt it first with "
                       "toxencryptsave before parsing. !!!\n\n")));
    QByteArray decrypted(plain.size(), '\0');
    QVERIFY(tox_pass_decrypt(u8(encrypted), size_t(encrypted.size()), u8(passphrase),
                             size_t(passphrase.size()),
                             reinterpret_cast<uint8_t *>(decrypted.data()), nullptr));
    QCOMPARE(parseSaveData(decrypted, QString()).report, parseSaveData(plain, QString()).report);
}

// Every single-bit flip of the first section's header of a real save: the report never shows the
// key, and where the flip breaks the length or the type, it does not depend on the bytes where
// the secret key is kept.
void TestToxSaves::damagedFirstSectionHidesTheKey()
{
    ToxPtr tox = makeTox();
    QVERIFY(tox);
    const QByteArray save = saveData(tox.get());
    const QString secret = secretKey(tox.get());
    QCOMPARE(QString::fromLatin1(save.mid(52, 32).toHex().toUpper()), secret);
    for (int bit = 64; bit < 128; ++bit) {
        QByteArray flipped = save;
        flipped[bit / 8] = char(flipped.at(bit / 8) ^ (1 << (bit % 8)));
        const QString report = parseSaveData(flipped, QString()).report;
        for (int chunk = 0; chunk + 8 <= 64; chunk += 2)
            QVERIFY(!report.contains(secret.mid(chunk, 8), Qt::CaseInsensitive));
        for (int i = 52; i < 84; ++i)
            flipped[i] = char(~flipped.at(i));
        if (bit < 112)
            QCOMPARE(parseSaveData(flipped, QString()).report, report);
    }
}

QTEST_GUILESS_MAIN(TestToxSaves)
#include "tst_toxsaves.moc"
