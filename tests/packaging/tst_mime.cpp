// The MIME description of Tox saves, as Qt's MIME database (and so every file manager that uses
// shared-mime-info) reads it: saves are known by their name and, renamed, by their first bytes.
#include "testdata.h"

#include <QMimeDatabase>
#include <QTemporaryDir>
#include <QTest>

class TestMime : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void mimeType_data();
    void mimeType();

private:
    QTemporaryDir dataDir;
};

void TestMime::initTestCase()
{
    // Qt's MIME database reads the XML descriptions of a data folder that has no compiled cache,
    // so the shipped description is put first on the data path before the database is used.
    QVERIFY(QDir().mkpath(dataDir.filePath(QStringLiteral("mime/packages"))));
    QVERIFY(QFile::copy(QStringLiteral(MIME_XML),
                        dataDir.filePath(QStringLiteral("mime/packages/tox-inspectors.xml"))));
    qputenv("XDG_DATA_DIRS", (dataDir.path() + QStringLiteral(":/usr/share")).toUtf8());
}

void TestMime::mimeType_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<bool>("isSave");
    const QByteArray save = readFile(testData("../../samples/alice.tox"));
    QTest::newRow("save by its extension") << save << "alice.tox" << true;
    QTest::newRow("renamed save by content") << save << "profile.bin" << true;
    QTest::newRow("encrypted save by content") << "toxEsave" + counting(64) << "backup.bin" << true;
    QTest::newRow("log is no save")
        << readFile(testData("../../samples/chat.log")) << "chat.log" << false;
    QTest::newRow("damaged magic is no save")
        << QByteArray(save).replace(4, 1, "\x1e", 1) << "profile.bin" << false;
}

void TestMime::mimeType()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, fileName);
    QFETCH(bool, isSave);
    const QString path = dataDir.filePath(fileName);
    QVERIFY(writeFile(path, content));
    const QMimeType type = QMimeDatabase().mimeTypeForFile(path);
    QCOMPARE(type.name() == QLatin1String("application/x-tox-save"), isSave);
    if (isSave)
        QCOMPARE(type.comment(), QStringLiteral("Tox save file"));
}

QTEST_GUILESS_MAIN(TestMime)
#include "tst_mime.moc"
