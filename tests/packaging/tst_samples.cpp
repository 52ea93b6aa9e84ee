// Opens the shipped samples with the real decoders and the MIME description with Qt's MIME
// database, so that a stale sample, a sample the decoders misread, or a MIME rule that does not
// match a save is caught before it reaches a user.
#include "messagelog.h"
#include "savefile.h"

#include <QFile>
#include <QMimeDatabase>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>

namespace
{

QByteArray readAll(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString samplePath(const char *name)
{
    return QStringLiteral(SAMPLES_DIR "/") + name;
}

} // namespace

class TestSamples : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void saveReport_data();
    void saveReport();
    void saveReportHidesSecretKey();
    void logMessages_data();
    void logMessages();
    void logCoversEveryTypeAndDirection();
    void mimeType_data();
    void mimeType();

private:
    QTemporaryDir dataDir;
    ParseResult save;
    LogParseResult log;
};

void TestSamples::initTestCase()
{
    save = parseSaveFile(samplePath("alice.tox"));
    QVERIFY2(save.success, qPrintable(save.error));
    const QByteArray logBytes = readAll(samplePath("chat.log"));
    QVERIFY(!logBytes.isEmpty());
    log = parseMessageLog(logBytes);
    QVERIFY2(log.error.isEmpty(), qPrintable(log.error));

    // Qt's MIME database reads the XML descriptions of a data folder that has no compiled cache,
    // so the shipped description is put first on the data path before the database is used.
    QVERIFY(dataDir.isValid());
    QVERIFY(QDir().mkpath(dataDir.filePath(QStringLiteral("mime/packages"))));
    QVERIFY(QFile::copy(QStringLiteral(MIME_XML),
                        dataDir.filePath(QStringLiteral("mime/packages/tox-inspectors.xml"))));
    qputenv("XDG_DATA_DIRS", (dataDir.path() + QStringLiteral(":/usr/share")).toUtf8());
}

void TestSamples::saveReport_data()
{
    QTest::addColumn<QString>("line");
    QTest::newRow("name") << QStringLiteral("  [NAME Section] (15 bytes): \"Alice Lindqvist\"\n");
    QTest::newRow("status message")
        << QStringLiteral("  [STATUSMESSAGE Section] (40 bytes): "
                          "\"Reading old chat logs - back after lunch\"\n");
    QTest::newRow("user status away") << QStringLiteral("  [STATUS Section] (1 bytes): away\n");
    QTest::newRow("two friends") << QStringLiteral("    Number of friends: 2\n");
    // Bob was added directly (confirmed, 3). Carol was asked through a request, which the
    // library sends only once it is online, so she is saved as added (1) with the request's
    // 40 bytes as info.
    QTest::newRow("friend added directly") << QStringLiteral("    Friend 0: status=3 pk=");
    QTest::newRow("friend asked by request") << QStringLiteral("    Friend 1: status=1 pk=");
    QTest::newRow("friend request text") << QStringLiteral(" info_size=40\n");
    QTest::newRow("secret key hidden") << QStringLiteral("    secret_key: <hidden>\n");
    QTest::newRow("walk ends at END") << QStringLiteral("  (end marker)\n");
}

void TestSamples::saveReport()
{
    QFETCH(QString, line);
    QVERIFY2(save.report.contains(line), qPrintable(save.report));
}

void TestSamples::saveReportHidesSecretKey()
{
    // The first section is NOSPAMKEYS (length 68, type 1): nospam 4 bytes, public key 32, secret
    // key 32, at file offset 52.
    const QByteArray data = readAll(samplePath("alice.tox"));
    QCOMPARE(data.mid(8, 6), QByteArray::fromHex("440000000100"));
    const QByteArray secret = data.mid(52, 32);
    QCOMPARE(secret.size(), 32);
    const QString secretHex = QString::fromLatin1(secret.toHex().toUpper());
    QVERIFY(!save.report.contains(secretHex));
    QVERIFY(!save.report.contains(secretHex.toLower()));
    QVERIFY(!save.report.contains(secretHex.left(16)));
}

void TestSamples::logMessages_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("sender");
    QTest::addColumn<QString>("text");
    QTest::newRow("empty sender") << 0 << QStringLiteral("<?>")
                                  << QStringLiteral("Bob is now online");
    QTest::newRow("action") << 3 << QStringLiteral("Alice")
                            << QStringLiteral("waves from the train");
    QTest::newRow("multi-line reply")
        << 4 << QStringLiteral("Bob")
        << QStringLiteral("> all 48 of them\nSorry, the camera was on burst mode.");
    QTest::newRow("non-ASCII sender and emoji")
        << 6 << QStringLiteral("Zo\u00eb Kowalska")
        << QStringLiteral("Dzie\u0144 dobry wszystkim! \U0001F44B");
    QTest::newRow("em dash in reply")
        << 9 << QStringLiteral("Alice") << QStringLiteral("Ja, gerne \u2014 bis gleich.");
    QTest::newRow("CJK sender and text")
        << 11 << QStringLiteral("Kenji \u5c71\u7530")
        << QStringLiteral("\u4e86\u89e3\u3067\u3059\u3002\u5f8c\u3067\u78ba\u8a8d\u3057\u307e"
                          "\u3059\u3002");
    QTest::newRow("last message") << 15 << QStringLiteral("Alice") << QStringLiteral("is now away");
}

void TestSamples::logMessages()
{
    QFETCH(int, index);
    QFETCH(QString, sender);
    QFETCH(QString, text);
    QCOMPARE(log.messages.size(), 16);
    QCOMPARE(log.messages.at(index).sender, sender);
    QCOMPARE(log.messages.at(index).text, text);
}

void TestSamples::logCoversEveryTypeAndDirection()
{
    QSet<quint16> types;
    QSet<quint16> directions;
    QDateTime previous;
    for (const LogMessage &message : qAsConst(log.messages)) {
        types.insert(message.type);
        directions.insert(message.direction);
        QVERIFY(!previous.isValid() || previous < message.timestamp);
        previous = message.timestamp;
    }
    QCOMPARE(types, (QSet<quint16>{8, 9, 11, 13, 17}));
    QCOMPARE(directions, (QSet<quint16>{0, 1, 2}));
    QCOMPARE(log.messages.first().timestamp.toUTC().toString(Qt::ISODate),
             QStringLiteral("2024-03-14T09:12:05Z"));
}

void TestSamples::mimeType_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("isSave");
    const QByteArray saveBytes = readAll(samplePath("alice.tox"));
    const QByteArray logBytes = readAll(samplePath("chat.log"));
    QTest::newRow("save by its extension") << saveBytes << QStringLiteral("alice.tox") << true;
    QTest::newRow("renamed save by content") << saveBytes << QStringLiteral("profile.bin") << true;
    QTest::newRow("encrypted save by content")
        << QByteArray("toxEsave").append(64, '\x5a') << QStringLiteral("backup.bin") << true;
    QTest::newRow("log is no save") << logBytes << QStringLiteral("chat.log") << false;
    QTest::newRow("damaged magic is no save")
        << QByteArray(saveBytes).replace(4, 1, "\x1e", 1) << QStringLiteral("profile.bin") << false;
}

void TestSamples::mimeType()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, fileName);
    QFETCH(bool, isSave);
    const QString path = dataDir.filePath(fileName);
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(content), qint64(content.size()));
    file.close();
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
    QCOMPARE(type.name() == QLatin1String("application/x-tox-save"), isSave);
    if (isSave)
        QCOMPARE(type.comment(), QStringLiteral("Tox save file"));
}

QTEST_GUILESS_MAIN(TestSamples)
#include "tst_samples.moc"
