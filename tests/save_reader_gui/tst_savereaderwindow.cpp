// Drives the save_reader window headless: the open button, the real file dialog, the error box,
// the report pane, the report file beside the input and the status bar.
#include "mainwindow.h"
#include "savefile.h"

#include <QApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMetaMethod>
#include <QPushButton>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QTimer>
#include <QtEndian>
#include <QtTest>

#include <functional>
#include <memory>

#include <sys/stat.h>
#include <sys/types.h>

namespace
{

// ---- Save-file bytes --------------------------------------------------------------------------

template <typename T> QByteArray le(T value)
{
    QByteArray bytes(int(sizeof(T)), '\0');
    qToLittleEndian(value, bytes.data());
    return bytes;
}

QByteArray be16(quint16 value)
{
    QByteArray bytes(2, '\0');
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray saveHeader()
{
    return le<quint32>(0) + le<quint32>(0x15ED1B1F);
}

QByteArray section(quint16 type, const QByteArray &payload)
{
    return le(quint32(payload.size())) + le(type) + le<quint16>(0x01CE) + payload;
}

QByteArray key(char seed)
{
    QByteArray bytes(32, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(seed + i * 7);
    return bytes;
}

QByteArray nospamKeys()
{
    return section(1, le<quint32>(0x1234ABCD) + key(0x10) + QByteArray(32, '\x5A'));
}

QByteArray endSection()
{
    return section(255, QByteArray());
}

// A small save that decodes with a few sections: keys, name, end.
QByteArray goodSave(const QByteArray &name = "Alice")
{
    return saveHeader() + nospamKeys() + section(4, name) + endSection();
}

QByteArray friendRecord(quint8 status, char seed, const QByteArray &name)
{
    QByteArray record(2216, '\0');
    record[0] = char(status);
    record.replace(1, 32, key(seed));
    record.replace(1058, 2, be16(quint16(name.size() + 12)));
    record.replace(1060, name.size(), name);
    record.replace(1188, 2, be16(quint16(name.size())));
    return record;
}

// A packed node; the address is 4 or 16 bytes to match the family.
QByteArray node(quint8 family, const char *addressHex, quint16 port, char seed)
{
    return QByteArray(1, char(family)) + QByteArray::fromHex(addressHex) + be16(port) + key(seed);
}

// A save that looks like one a client leaves behind after some use.
QByteArray realisticSave()
{
    const QByteArray friends =
        friendRecord(4, 0x21, "Bob") + friendRecord(4, 0x32, QByteArray("Chlo\xC3\xA9")) +
        friendRecord(1, 0x43, QByteArray()) + friendRecord(3, 0x54, "Dmitri (work)");
    const char *v6 = "20010db8000000000000000000000001";
    const QByteArray dhtNodes = node(2, "c0a80001", 33445, 0x01) +
                                node(2, "5bcd0a11", 33445, 0x02) + node(10, v6, 443, 0x03) +
                                node(2, "b9190e03", 3389, 0x04);
    const QByteArray dht = le<quint32>(0x0159000D) + le(quint32(dhtNodes.size())) + le<quint16>(4) +
                           le<quint16>(0x11CE) + dhtNodes;
    const QByteArray relays = node(130, "4e2e8a11", 443, 0x05) + node(138, v6, 3389, 0x06) +
                              node(2, "8e5d7c21", 33445, 0x07);
    const QByteArray paths = node(2, "d5a5b2c1", 33445, 0x08) + node(2, "2e65c301", 33445, 0x09);
    return saveHeader() + nospamKeys() + section(3, friends) + section(4, "Alice") +
           section(5, "Out walking the dog \xE2\x80\x94 back at six") + section(6, "\x01") +
           section(2, dht) + section(10, relays) + section(11, paths) +
           section(20, QByteArray(96, '\x07')) + endSection();
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList entries(const QString &path)
{
    return QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
}

// ---- Modal dialogs ---------------------------------------------------------------------------

// Answers the modal dialogs that the window opens, in order. A repeating timer looks at the
// active modal widget; when it is the kind expected next, the step runs on it. A modal widget
// that was not expected is closed and noted, so a wrong path through the slot fails the test
// instead of hanging it.
class ModalDriver : public QObject
{
public:
    ModalDriver()
    {
        timer.setInterval(5);
        connect(&timer, &QTimer::timeout, this, &ModalDriver::poll);
        timer.start();
    }

    // The next modal widget is expected to be a T; `step` runs on it.
    template <typename T> void on(std::function<void(T *)> step)
    {
        steps.push_back([step](QWidget *widget) {
            auto *typed = qobject_cast<T *>(widget);
            if (typed)
                step(typed);
            return typed != nullptr;
        });
    }

    int pending() const { return int(steps.size()); }
    QStringList unexpected;

private:
    void poll()
    {
        QWidget *widget = QApplication::activeModalWidget();
        if (!widget || !widget->isVisible() || widget == handled)
            return;
        if (!steps.empty() && steps.front()(widget)) {
            steps.erase(steps.begin());
            // A step that leaves its dialog open would otherwise be run again on it.
            handled = widget->isVisible() ? widget : nullptr;
            return;
        }
        handled = nullptr;
        unexpected << QStringLiteral("%1 \"%2\"")
                          .arg(QLatin1String(widget->metaObject()->className()),
                               widget->windowTitle());
        if (auto *box = qobject_cast<QMessageBox *>(widget))
            unexpected << box->text();
        if (auto *dialog = qobject_cast<QDialog *>(widget))
            dialog->reject();
        else
            widget->close();
    }

    QTimer timer;
    std::vector<std::function<bool(QWidget *)>> steps;
    QPointer<QWidget> handled;
};

// Types `path` into the dialog and accepts it the way the user's Open button does. Unchecked, it
// closes the dialog as accepted without QFileDialog's own checks, the way a platform dialog might
// hand back a name that the Qt dialog would not accept (a directory).
void choose(QFileDialog *dialog, const QString &path, bool checked)
{
    dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
    if (checked)
        static_cast<QDialog *>(dialog)->accept(); // virtual: runs the file dialog's checks
    else
        dialog->QDialog::accept();
}

enum class HostileSetup { Plain, Fifo, Directory, Sparse, VanishWhenParsing };
enum class OutputSetup { None, ExistingOutput, OutputIsDirectory, OutputLinksToInput };
enum class Outcome { Saved, CouldNotSave, IsInput };

} // namespace

Q_DECLARE_METATYPE(HostileSetup)
Q_DECLARE_METATYPE(OutputSetup)
Q_DECLARE_METATYPE(Outcome)

class tst_SaveReaderWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void startState();
    void cancelKeepsState_data();
    void cancelKeepsState();
    void failingFile_data();
    void failingFile();
    void opensAndSaves_data();
    void opensAndSaves();
    void screenshot();

private:
    QPushButton *openButton() const { return window->findChild<QPushButton *>(); }
    QTextEdit *pane() const { return window->findChild<QTextEdit *>(); }
    QString status() const { return window->statusBar()->currentMessage(); }

    // Clicks the open button and lets `driver` answer the dialogs. Returns false (and fails the
    // test) when a dialog step did not run or an unexpected dialog came up.
    bool clickOpen(ModalDriver &driver);
    // Opens `path` through the real dialog. `onBox`, when given, looks at the error box expected
    // next, which is then closed with its Ok button.
    bool open(const QString &path, const std::function<void(QMessageBox *)> &onBox = {},
              bool checked = true);

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QTemporaryDir> dir;
};

QtMessageHandler defaultMessageHandler = nullptr;

// The offscreen platform warns about every dialog it sizes; the warning says nothing about the
// window under test and would bury the messages that do.
void quietMessageHandler(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("propagateSizeHints")))
        return;
    defaultMessageHandler(type, context, message);
}

void tst_SaveReaderWindow::initTestCase()
{
    defaultMessageHandler = qInstallMessageHandler(quietMessageHandler);
    qApp->setStyleSheet(MainWindow::applicationStyleSheet());
}

void tst_SaveReaderWindow::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

void tst_SaveReaderWindow::cleanup()
{
    window.reset();
    dir.reset();
}

bool tst_SaveReaderWindow::clickOpen(ModalDriver &driver)
{
    openButton()->click();
    [&] {
        QVERIFY2(driver.unexpected.isEmpty(),
                 qPrintable(driver.unexpected.join(QLatin1Char('\n'))));
        QCOMPARE(driver.pending(), 0);
    }();
    return !QTest::currentTestFailed();
}

bool tst_SaveReaderWindow::open(const QString &path,
                                const std::function<void(QMessageBox *)> &onBox, bool checked)
{
    ModalDriver driver;
    driver.on<QFileDialog>([&](QFileDialog *dialog) { choose(dialog, path, checked); });
    if (onBox) {
        driver.on<QMessageBox>([&](QMessageBox *box) {
            onBox(box);
            box->button(QMessageBox::Ok)->click();
        });
    }
    return clickOpen(driver);
}

void tst_SaveReaderWindow::startState()
{
    QCOMPARE(MainWindow::applicationStyleSheet(),
             QStringLiteral("QMainWindow { background-color: #2d2d2d; }QStatusBar { "
                            "background-color: #252526; color: #cccccc; }QLabel { color: #cccccc; "
                            "}"));
    QCOMPARE(window->windowTitle(), QStringLiteral("Vantreel"));
    QCOMPARE(window->size(), QSize(900, 700));

    QCOMPARE(window->findChildren<QPushButton *>().size(), 1);
    QPushButton *button = openButton();
    QCOMPARE(button->text(), QStringLiteral("Open Tox File..."));
    QCOMPARE(button->minimumHeight(), 36);
    QCOMPARE(button->styleSheet(),
             QStringLiteral("QPushButton {  background-color: #2d6a9f;  color: white;  border: "
                            "none;  border-radius: 6px;  padding: 8px 20px;  font-size: 14px;  "
                            "font-weight: bold;}QPushButton:hover {  background-color: "
                            "#1d5a8f;}QPushButton:pressed {  background-color: #0d4a7f;}"));

    QCOMPARE(window->findChildren<QTextEdit *>().size(), 1);
    QTextEdit *view = pane();
    QVERIFY(view->isReadOnly());
    QVERIFY(view->toPlainText().isEmpty());
    QCOMPARE(view->font().family(), QStringLiteral("Courier New"));
    QCOMPARE(view->font().pointSize(), 10);
    QVERIFY(!view->font().bold());
    QVERIFY(!view->font().italic());
    QCOMPARE(view->styleSheet(),
             QStringLiteral("QTextEdit {  background-color: #1e1e1e;  color: #d4d4d4;  border: "
                            "1px solid #3c3c3c;  border-radius: 4px;  padding: 8px;}"));
    // The button sits above the pane.
    QVERIFY(button->geometry().bottom() < view->geometry().top());

    const QList<QLabel *> labels = window->statusBar()->findChildren<QLabel *>();
    QCOMPARE(labels.size(), 1);
    QCOMPARE(labels.first()->text(), QStringLiteral("Ready. Click 'Open Tox File...' to begin."));
    QVERIFY(labels.first()->isVisible());
    QVERIFY(status().isEmpty());

    // One private slot and nothing else in the meta-object.
    const QMetaObject &meta = MainWindow::staticMetaObject;
    QCOMPARE(QLatin1String(meta.className()), QLatin1String("MainWindow"));
    QCOMPARE(meta.methodCount() - meta.methodOffset(), 1);
    const QMetaMethod slot = meta.method(meta.methodOffset());
    QCOMPARE(slot.methodSignature(), QByteArray("onOpenFile()"));
    QCOMPARE(slot.access(), QMetaMethod::Private);
    QCOMPARE(slot.methodType(), QMetaMethod::Slot);
}

void tst_SaveReaderWindow::cancelKeepsState_data()
{
    QTest::addColumn<bool>("openFirst");
    QTest::newRow("fresh window keeps the ready label") << false;
    QTest::newRow("after an opening keeps report and message") << true;
}

void tst_SaveReaderWindow::cancelKeepsState()
{
    QFETCH(bool, openFirst);
    if (openFirst) {
        QVERIFY(writeFile(dir->filePath(QStringLiteral("a.tox")), goodSave()));
        QVERIFY(open(dir->filePath(QStringLiteral("a.tox"))));
    }
    const QString paneBefore = pane()->toPlainText();
    const QString statusBefore = status();
    const QStringList filesBefore = QDir(dir->path()).entryList(QDir::Files);

    // Look at the dialog the button brings up, then cancel it.
    QString caption;
    QStringList filters;
    QFileDialog::FileMode mode = QFileDialog::AnyFile;
    QWidget *parent = nullptr;
    ModalDriver driver;
    driver.on<QFileDialog>([&](QFileDialog *dialog) {
        caption = dialog->windowTitle();
        filters = dialog->nameFilters();
        mode = dialog->fileMode();
        parent = dialog->parentWidget();
        dialog->reject();
    });
    QVERIFY(clickOpen(driver));
    QCOMPARE(caption, QStringLiteral("Select Tox Save File"));
    QCOMPARE(filters, QStringList({QStringLiteral("Tox Save Files (*.tox)"),
                                   QStringLiteral("All Files (*)")}));
    QCOMPARE(mode, QFileDialog::ExistingFile);
    QCOMPARE(parent, window.get());

    QCOMPARE(pane()->toPlainText(), paneBefore);
    QCOMPARE(status(), statusBefore);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files), filesBefore);
    if (!openFirst) {
        QVERIFY(status().isEmpty());
        QVERIFY(window->statusBar()->findChild<QLabel *>()->isVisible());
    }
}

void tst_SaveReaderWindow::failingFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<HostileSetup>("setup");
    QTest::addColumn<QString>("error"); // %1 is the full path

    const QString cannotOpen = QStringLiteral("Could not open '%1'");
    const QString magic =
        QStringLiteral("Invalid Tox save file magic. Expected [0x00000000] [0x15ed1b1f]");
    const QString tooSmall = QStringLiteral("File too small to be a valid Tox save file");
    const auto row = [](const char *name, const char *file, const QByteArray &bytes,
                        HostileSetup setup, const QString &error) {
        QTest::newRow(name) << QString::fromUtf8(file) << bytes << setup << error;
    };
    using H = HostileSetup;
    row("empty file", "empty.tox", QByteArray(), H::Plain, tooSmall);
    row("seven bytes", "seven.tox", saveHeader().left(7), H::Plain, tooSmall);
    row("bad magic", "magic.tox", le<quint32>(1) + le<quint32>(0x15ED1B1F) + endSection(), H::Plain,
        magic);
    row("text file", "notes.tox", "just some words\n", H::Plain, magic);
    row("fifo", "pipe.tox", QByteArray(), H::Fifo, cannotOpen);
    row("directory", "folder.tox", QByteArray(), H::Directory, cannotOpen);
    row("dev zero", "/dev/zero", QByteArray(), H::Plain, cannotOpen);
    row("sparse 3 GiB", "huge.tox", QByteArray(), H::Sparse,
        QStringLiteral("Could not open '%1': file too large (3221225472 bytes)"));
    row("vanishes after the dialog", "gone.tox", goodSave(), H::VanishWhenParsing, cannotOpen);
    // A name that holds markup must reach the user as typed, not rendered.
    row("markup in the name", "<b>bold</b>.tox", goodSave(), H::VanishWhenParsing, cannotOpen);
}

void tst_SaveReaderWindow::failingFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(HostileSetup, setup);
    QFETCH(QString, error);

    // A report already on screen must survive the failed opening.
    const QString previous = dir->filePath(QStringLiteral("previous.tox"));
    QVERIFY(writeFile(previous, goodSave("Earlier")));
    QVERIFY(open(previous));
    const QString previousReport = pane()->toPlainText();
    QVERIFY(previousReport.contains(QStringLiteral("Earlier")));

    const bool system = QDir::isAbsolutePath(name);
    const QString path = system ? name : dir->filePath(name);
    QVERIFY(QDir().mkpath(QFileInfo(path).absolutePath()));
    switch (setup) {
    case HostileSetup::Plain:
    case HostileSetup::VanishWhenParsing:
        if (!system)
            QVERIFY(writeFile(path, bytes));
        break;
    case HostileSetup::Fifo:
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        break;
    case HostileSetup::Directory:
        QVERIFY(QDir().mkdir(path));
        break;
    case HostileSetup::Sparse: {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(3LL << 30));
        break;
    }
    }
    if (setup == HostileSetup::VanishWhenParsing) {
        // Removed after the dialog has handed the name back and before the file is read.
        connect(window->statusBar(), &QStatusBar::messageChanged, this,
                [path](const QString &message) {
                    if (message.startsWith(QStringLiteral("Parsing ")))
                        QFile::remove(path);
                });
    }
    const QString expectedError = error.contains(QStringLiteral("%1")) ? error.arg(path) : error;
    const auto checkBox = [&](QMessageBox *box) {
        QCOMPARE(box->windowTitle(), QStringLiteral("Error"));
        QCOMPARE(box->text(), expectedError);
        QCOMPARE(box->icon(), QMessageBox::Critical);
        QCOMPARE(box->textFormat(), Qt::PlainText);
        auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
        QVERIFY(label);
        QCOMPARE(label->textFormat(), Qt::PlainText);
        QCOMPARE(box->standardButtons(), QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box->buttons().size(), 1);
        QVERIFY(box->isModal());
        QCOMPARE(box->parentWidget(), window.get());
        // The box comes first; the status bar reports the error only once it is closed.
        QCOMPARE(status(), QStringLiteral("Parsing %1...").arg(path));
        QCOMPARE(pane()->toPlainText(), previousReport);
    };
    QVERIFY(open(path, checkBox, setup != HostileSetup::Directory));
    QCOMPARE(status(), QStringLiteral("Error: %1").arg(expectedError));
    QCOMPARE(pane()->toPlainText(), previousReport);

    // Nothing was written for the failed file: the only report is the earlier one.
    QStringList reports;
    QDirIterator it(dir->path(), {QStringLiteral("*.txt")}, QDir::AllEntries | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        reports << it.next();
    QCOMPARE(reports, QStringList(dir->filePath(QStringLiteral("previous.txt"))));
    if (setup == HostileSetup::Plain && !system)
        QCOMPARE(readFile(path), bytes);
}

void tst_SaveReaderWindow::opensAndSaves_data()
{
    QTest::addColumn<QString>("inputName");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QStringList>("shown"); // texts the report must hold
    QTest::addColumn<QString>("outputName");
    QTest::addColumn<OutputSetup>("setup");
    QTest::addColumn<Outcome>("outcome");

    const auto row = [](const char *name, const char *input, const QByteArray &bytes,
                        const QStringList &shown, const char *output, OutputSetup setup,
                        Outcome outcome) {
        QTest::newRow(name) << QString::fromUtf8(input) << bytes << shown
                            << QString::fromUtf8(output) << setup << outcome;
    };
    const QStringList alice(QStringLiteral("Alice"));
    const QStringList encrypted(QStringLiteral("ENCRYPTED"));
    using O = OutputSetup;
    // A friend name with non-ASCII letters makes the written encoding visible.
    const QByteArray zoe("Zo\xC3\xAB \xE6\x9D\x8E");
    row("good save with a non-ASCII name", "alice.tox",
        saveHeader() + nospamKeys() + section(3, friendRecord(4, 0x21, zoe)) + section(4, "Alice") +
            endSection(),
        {QString::fromUtf8(zoe)}, "alice.txt", O::None, Outcome::Saved);
    // An encrypted save is shown and saved like any other, without a box.
    row("encrypted, toxEsave marker", "locked.tox", "toxEsave" + QByteArray(200, '\x33'), encrypted,
        "locked.txt", O::None, Outcome::Saved);
    row("encrypted, binary marker", "locked.tox",
        QByteArray::fromHex("011e81c0d67bba9e") + QByteArray(200, '\x33'), encrypted, "locked.txt",
        O::None, Outcome::Saved);
    row("alice.tox", "alice.tox", goodSave(), alice, "alice.txt", O::None, Outcome::Saved);
    row("alice.old.tox keeps the inner dot", "alice.old.tox", goodSave(), alice, "alice.old.txt",
        O::None, Outcome::Saved);
    row("alice without a dot", "alice", goodSave(), alice, "alice.txt", O::None, Outcome::Saved);
    row("existing output is replaced", "alice.tox", goodSave(), alice, "alice.txt",
        O::ExistingOutput, Outcome::Saved);
    row("output is a directory", "alice.tox", goodSave(), alice, "alice.txt", O::OutputIsDirectory,
        Outcome::CouldNotSave);
    row("input named .txt", "x.txt", goodSave(), alice, "x.txt", O::None, Outcome::IsInput);
    row("output is a link to the input", "alice.tox", goodSave(), alice, "alice.txt",
        O::OutputLinksToInput, Outcome::IsInput);
}

void tst_SaveReaderWindow::opensAndSaves()
{
    QFETCH(QString, inputName);
    QFETCH(QByteArray, bytes);
    QFETCH(QStringList, shown);
    QFETCH(QString, outputName);
    QFETCH(OutputSetup, setup);
    QFETCH(Outcome, outcome);

    const QString input = dir->filePath(inputName);
    const QString output = dir->filePath(outputName);
    QVERIFY(writeFile(input, bytes));
    const ParseResult expected = parseSaveFile(input);
    QVERIFY(expected.success);
    for (const QString &text : shown)
        QVERIFY2(expected.report.contains(text), qPrintable(text));

    // Longer than any report, so that a replacement that only overwrites the front shows.
    const QByteArray oldOutput(100000, 'o');
    switch (setup) {
    case OutputSetup::None:
        break;
    case OutputSetup::ExistingOutput:
        QVERIFY(writeFile(output, oldOutput));
        break;
    case OutputSetup::OutputIsDirectory:
        QVERIFY(QDir().mkdir(output));
        QVERIFY(writeFile(output + QStringLiteral("/inside"), oldOutput));
        break;
    case OutputSetup::OutputLinksToInput:
        QVERIFY(QFile::link(inputName, output));
        break;
    }
    QStringList expectedEntries = entries(dir->path());

    // The status bar names the file while it is being read, then tells where the report went.
    QStringList messages;
    QObject listener;
    connect(window->statusBar(), &QStatusBar::messageChanged, &listener,
            [&](const QString &message) { messages << message; });
    QVERIFY(open(input)); // any box would be reported as unexpected

    QCOMPARE(pane()->toPlainText(), expected.report);
    QCOMPARE(readFile(input), bytes);
    QString finalStatus;
    switch (outcome) {
    case Outcome::Saved:
        finalStatus = QStringLiteral("Parsed and saved to %1").arg(output);
        QCOMPARE(readFile(output), expected.report.toUtf8());
        if (!expectedEntries.contains(outputName))
            expectedEntries << outputName;
        break;
    case Outcome::CouldNotSave:
        finalStatus = QStringLiteral("Parsed but could not save to %1").arg(output);
        QVERIFY(QFileInfo(output).isDir());
        QCOMPARE(entries(output), QStringList(QStringLiteral("inside")));
        QCOMPARE(readFile(output + QStringLiteral("/inside")), oldOutput);
        break;
    case Outcome::IsInput:
        finalStatus =
            QStringLiteral("Parsed but could not save to %1 (it is the input file)").arg(output);
        if (setup == OutputSetup::OutputLinksToInput)
            QCOMPARE(QFileInfo(output).symLinkTarget(), QFileInfo(input).canonicalFilePath());
        break;
    }
    QCOMPARE(status(), finalStatus);
    QCOMPARE(messages, QStringList({QStringLiteral("Parsing %1...").arg(input), finalStatus}));
    // No temporary file is left behind, and nothing else appeared.
    expectedEntries.sort();
    QCOMPARE(entries(dir->path()), expectedEntries);
}

void tst_SaveReaderWindow::screenshot()
{
    const QString target = qEnvironmentVariable("SCREENSHOT_DIR");
    if (target.isEmpty())
        QSKIP("SCREENSHOT_DIR is not set");

    // A path like one on a user's machine, so that the title line reads naturally.
    const QString folder = dir->filePath(QStringLiteral("home/alice/.config/tox"));
    QVERIFY(QDir().mkpath(folder));
    const QString input = folder + QStringLiteral("/alice.tox");
    QVERIFY(writeFile(input, realisticSave()));
    QVERIFY(open(input));
    QVERIFY(status().startsWith(QStringLiteral("Parsed and saved to ")));

    QVERIFY(QDir().mkpath(target));
    const QString picture = QDir(target).filePath(QStringLiteral("save_reader.png"));
    QVERIFY(window->grab().save(picture));
    qInfo("wrote %s", qPrintable(picture));
}

QTEST_MAIN(tst_SaveReaderWindow)
#include "tst_savereaderwindow.moc"
