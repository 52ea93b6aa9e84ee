// Drives the save_reader window headless through its open button, the real file dialog and the
// error box: what the pane, the status bar and the folder show after every kind of opening.
#include "darktheme.h"
#include "dialogs.h"
#include "mainwindow.h"
#include "savefile.h"
#include "testdata.h"

#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

const QByteArray kSave =
    toxSave({nospamKeysSection(), toxSection(4, "Alice"), toxSection(255, {})});

QStringList entries(const QString &path)
{
    QStringList names =
        QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
    names.sort();
    return names;
}

} // namespace

class TestSaveReaderWindow : public QObject
{
    Q_OBJECT

public:
    static void initMain() { prepareScaling(); } // as main does, before the application

private slots:
    void initTestCase();
    void init();
    void startState();
    void opening_data();
    void opening();
    void screenshot();

private:
    // Opens `path` through the real dialog, or cancels it for an empty path; `onBox` looks at
    // the error box expected next.
    bool open(const QString &path, const std::function<void(QMessageBox *)> &onBox = {},
              bool checked = true);
    QString status() const { return window->statusBar()->currentMessage(); }
    QString pane() const { return window->findChild<QTextEdit *>()->toPlainText(); }

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QTemporaryDir> dir;
};

void TestSaveReaderWindow::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true); // the file dialog's history stays out of ~/.config
    applyDarkTheme(*qApp);
    qApp->setStyleSheet(MainWindow::applicationStyleSheet());
}

void TestSaveReaderWindow::init()
{
    dir = std::make_unique<QTemporaryDir>();
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

bool TestSaveReaderWindow::open(const QString &path,
                                const std::function<void(QMessageBox *)> &onBox, bool checked)
{
    ModalDriver driver;
    driver.on<QFileDialog>([&](QFileDialog *dialog) {
        const QStringList seen = QStringList(dialog->windowTitle()) + dialog->nameFilters();
        const QImage label = dialog->findChild<QLabel *>()->grab().toImage();
        const bool look = dialog->parentWidget() == window.get() && textContrast(label) >= 4.5;
        const bool own = dialog->testOption(QFileDialog::DontUseNativeDialog); // records nothing
        path.isEmpty() ? dialog->reject() : chooseFile(dialog, path, checked);
        // Checked once the dialog is closed: a failed check ends the step and would leave it open.
        QCOMPARE(seen,
                 QStringList({"Select Tox Save File", "Tox Save Files (*.tox)", "All Files (*)"}));
        QVERIFY(look); // dark like the window, its text readable
        QVERIFY(own);
    });
    if (onBox) {
        driver.on<QMessageBox>([&](QMessageBox *box) {
            onBox(box);
            box->button(QMessageBox::Ok)->click();
        });
    }
    return driver.click(window->findChild<QPushButton *>());
}

void TestSaveReaderWindow::startState()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("Vantreel"));
    QCOMPARE(window->findChild<QPushButton *>()->text(), QStringLiteral("Open Tox File..."));
    QVERIFY(window->findChild<QTextEdit *>()->isReadOnly());
    QCOMPARE(window->statusBar()->findChild<QLabel *>()->text(),
             QStringLiteral("Ready. Click 'Open Tox File...' to begin."));
    // Drawn at the screen's scale, a fraction kept as it is: 1.5 on a screen of 144 DPI.
    if (const int dpi = qEnvironmentVariableIntValue("QT_FONT_DPI"))
        QCOMPARE(window->devicePixelRatioF(), dpi / 96.0);
}

void TestSaveReaderWindow::opening_data()
{
    QTest::addColumn<QString>("input");      // file name in the folder, or an absolute path
    QTest::addColumn<QByteArray>("content"); // "<fifo>", "<dir>", "<sparse>" make those
    QTest::addColumn<QString>("atOutput");   // what stands at the output name beforehand
    QTest::addColumn<QString>("output");     // the output's name in the folder
    QTest::addColumn<QString>("message");    // %1 the output, or "Error: " and %1 the input

    const QString saved = QStringLiteral("Parsed and saved to %1");
    const QString notSaved = QStringLiteral("Parsed but could not save to %1");
    const QString isInput = notSaved + QStringLiteral(" (it is the input file)");
    const QString isLink = notSaved + QStringLiteral(" (it is a symbolic link)");
    const auto row = [](const char *name, const char *input, const QByteArray &content,
                        const char *atOutput, const char *output, const QString &status) {
        QTest::newRow(name) << input << content << atOutput << output << status;
    };
    row("a save", "alice.tox", kSave, "", "alice.txt", saved);
    row("encrypted save: no box", "locked.tox", "toxEsave" + counting(50), "", "locked.txt", saved);
    row("name with two dots", "alice.old.tox", kSave, "", "alice.old.txt", saved);
    row("name without a dot", "alice", kSave, "", "alice.txt", saved);
    row("name beyond ASCII", "Zo\u00eb.tox", kSave, "", "Zo\u00eb.txt", saved);
    row("existing output replaced", "alice.tox", kSave, "file", "alice.txt", saved);
    row("folder at the output name", "alice.tox", kSave, "dir", "alice.txt", notSaved);
    row("input named .txt", "notes.txt", kSave, "", "notes.txt", isInput);
    row("output a link to the input", "alice.tox", kSave, "link to input", "alice.txt", isInput);
    row("output a link elsewhere", "alice.tox", kSave, "link elsewhere", "alice.txt", isLink);

    const QString error = QStringLiteral("Error: %1");
    const QString cannotOpen = error.arg(QStringLiteral("Could not open '%1'"));
    row("too small", "short.tox", kSave.left(7), "", "",
        error.arg(QStringLiteral("File too small to be a valid Tox save file")));
    row("bad magic", "notes.tox", "just some words", "", "",
        error.arg(QStringLiteral("Invalid Tox save file magic. Expected [0x00000000] "
                                 "[0x15ed1b1f]")));
    row("fifo", "pipe.tox", "<fifo>", "", "", cannotOpen);
    row("folder", "folder.tox", "<dir>", "", "", cannotOpen);
    row("device", "/dev/zero", "", "", "", cannotOpen);
    row("too large", "huge.tox", "<sparse>", "", "",
        error.arg(QStringLiteral("Could not open '%1': file too large (3221225472 bytes)")));
    row("markup in a name that vanishes after the dialog", "<b>gone<i>.tox", kSave, "vanish", "",
        cannotOpen);
}

// One opening through the real window, after another save is already on screen: the pane shows
// the report (or still the earlier one), the output is written or not, the status says which,
// an error comes first in a plain-text box, and the input and the rest of the folder never change.
void TestSaveReaderWindow::opening()
{
    QFETCH(QString, input);
    QFETCH(QByteArray, content);
    QFETCH(QString, atOutput);
    QFETCH(QString, output);
    QFETCH(QString, message);
    const QDir folder(dir->path());
    const QString previous = folder.filePath(QStringLiteral("previous.tox"));
    QVERIFY(writeFile(previous, toxSave({nospamKeysSection(), toxSection(4, "Earlier")})));
    QVERIFY(open(previous));
    const QString earlier = pane();

    const QString path = QDir::isAbsolutePath(input) ? input : folder.filePath(input);
    const QString out = folder.filePath(output);
    const QByteArray oldOutput = QByteArray(100000, 'o');
    if (content == "<fifo>")
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
    else if (content == "<dir>")
        QVERIFY(folder.mkdir(input));
    else if (content == "<sparse>")
        QVERIFY(writeFile(path, {}) && QFile::resize(path, 3LL << 30));
    else if (!QDir::isAbsolutePath(input))
        QVERIFY(writeFile(path, content));
    if (atOutput == "file")
        QVERIFY(writeFile(out, oldOutput));
    else if (atOutput == "dir")
        QVERIFY(folder.mkdir(output));
    else if (atOutput == "link to input")
        QVERIFY(QFile::link(input, out));
    else if (atOutput == "link elsewhere")
        QVERIFY(writeFile(folder.filePath("elsewhere"), oldOutput) &&
                QFile::link("elsewhere", out));
    else if (atOutput == "vanish")
        connect(window->statusBar(), &QStatusBar::messageChanged, this, [&](const QString &m) {
            if (m.startsWith(QStringLiteral("Parsing ")))
                QFile::remove(path);
        });
    QStringList files = entries(folder.path());

    const bool fails = message.startsWith(QStringLiteral("Error: "));
    const QString expected = !message.contains(QStringLiteral("%1")) ? message
                             : fails                                 ? message.arg(path)
                                                                     : message.arg(out);
    QStringList seen; // status messages while the box is up, then the box's texts
    const auto onBox = [&](QMessageBox *box) {
        seen << status() << box->windowTitle() << box->text();
        QCOMPARE(box->textFormat(), Qt::PlainText);
        QCOMPARE(box->buttons().size(), 1);
        QCOMPARE(box->parentWidget(), window.get());
        QVERIFY(textContrast(box->findChild<QLabel *>("qt_msgbox_label")->grab().toImage()) >= 4.5);
    };
    QVERIFY(open(path, fails ? onBox : std::function<void(QMessageBox *)>(), content != "<dir>"));
    QCOMPARE(status(), expected);
    if (fails) {
        QCOMPARE(seen, QStringList(
                           {QStringLiteral("Parsing %1...").arg(path), "Error", expected.mid(7)}));
        QCOMPARE(pane(), earlier);
    } else {
        QCOMPARE(pane(), parseSaveData(content, path).report);
        QCOMPARE(readFile(path), content);
    }
    const bool saved = message == QStringLiteral("Parsed and saved to %1");
    if (saved)
        QCOMPARE(readFile(out), pane().toUtf8());
    // A refused output name keeps what it was, and nothing behind a link changes.
    if (atOutput == "link elsewhere")
        QCOMPARE(readFile(folder.filePath(QStringLiteral("elsewhere"))), oldOutput);
    if (atOutput == "dir")
        QVERIFY(QFileInfo(out).isDir());
    // A cancelled dialog changes nothing.
    const QString before = pane() + status();
    QVERIFY(open(QString()));
    QCOMPARE(pane() + status(), before);
    // Nothing else appeared in the folder, no temporary file was left behind.
    if (saved && !files.contains(output))
        files << output;
    if (atOutput == "vanish")
        files.removeOne(input);
    files.sort();
    QCOMPARE(entries(folder.path()), files);
}

// Draws the window with the shipped sample loaded, for the README (SCREENSHOT_DIR).
void TestSaveReaderWindow::screenshot()
{
    const QString target = qEnvironmentVariable("SCREENSHOT_DIR");
    if (target.isEmpty())
        QSKIP("SCREENSHOT_DIR is not set");
    const QString input = QStringLiteral("/tmp/tox-samples/alice.tox");
    QVERIFY(QDir().mkpath(QStringLiteral("/tmp/tox-samples")));
    QVERIFY(writeFile(input, readFile(QStringLiteral(SAMPLES_DIR "/alice.tox"))));
    QVERIFY(open(input));
    QVERIFY(window->grab().save(QDir(target).filePath(QStringLiteral("save_reader.png"))));
    // The window with an error box over it, as the user sees a refused file.
    QVERIFY(open(
        QStringLiteral("/tmp/tox-samples"),
        [&](QMessageBox *box) {
            QPixmap shot = window->grab();
            QPainter(&shot).drawPixmap(box->pos() - window->pos(), box->grab());
            QVERIFY(shot.save(QDir(target).filePath(QStringLiteral("save_reader_error.png"))));
        },
        false));
}

QTEST_MAIN(TestSaveReaderWindow)
#include "tst_savereaderwindow.moc"
