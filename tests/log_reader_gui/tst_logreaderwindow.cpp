// Drives the log_reader window headless: the open button, the real file dialog and message box,
// the table, the detail pane, the summary, the status bar and the export file beside the input.
#include "logfile.h"
#include "mainwindow.h"
#include "messagelog.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>
#include <QVBoxLayout>
#include <QtEndian>

#include <functional>
#include <iterator>
#include <limits>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace
{

// One log record: 16-byte header (time, reserved zeros, type, text length, direction, flags),
// then the sender and the text. The text length is the text's size unless given.
QByteArray record(quint32 time, quint16 type, quint16 direction, quint16 flags,
                  const QByteArray &sender, const QByteArray &text, int textLength = -1)
{
    QByteArray bytes(16, '\0');
    auto *p = reinterpret_cast<uchar *>(bytes.data());
    qToLittleEndian<quint32>(time, p);
    qToLittleEndian<quint16>(type, p + 8);
    qToLittleEndian<quint16>(quint16(textLength < 0 ? text.size() : textLength), p + 10);
    qToLittleEndian<quint16>(direction, p + 12);
    qToLittleEndian<quint16>(flags, p + 14);
    return bytes + sender + text;
}

// Three messages whose first one is later than the last one.
QByteArray firstLog()
{
    return record(1800000000, 8, 1, 0, "Bob", "hi") +
           record(1750000000, 17, 0, 0x1a, "Alice", "re: hi, and a longer reply") +
           record(1700000000, 11, 2, 5, "", "joined");
}

// Two messages, different from firstLog in every column.
QByteArray secondLog()
{
    return record(1710000000, 9, 0, 1, "Carol", "second log") +
           record(1720000000, 13, 1, 2, "Dave", "bye");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Polls the event loop for a modal widget of type T and hands the first one to `action`. A
// modal widget of another kind that stays open too long is rejected so that no test hangs.
template <typename T> class OnModal
{
public:
    explicit OnModal(std::function<void(T *)> action) : action(std::move(action))
    {
        QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
        timer.start(5);
        clock.start();
    }
    bool fired() const { return done; }

private:
    void poll()
    {
        if (auto *widget = qobject_cast<T *>(QApplication::activeModalWidget())) {
            timer.stop();
            done = true;
            action(widget);
            return;
        }
        if (clock.elapsed() > 30000) {
            timer.stop();
            if (auto *dialog = qobject_cast<QDialog *>(QApplication::activeModalWidget()))
                dialog->reject();
        }
    }

    std::function<void(T *)> action;
    QTimer timer;
    QElapsedTimer clock;
    bool done = false;
};

// What the window showed while the error box was open, and the box itself.
struct BoxSeen {
    bool seen = false;
    QString title;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    QString labelText;
    Qt::TextFormat labelFormat = Qt::AutoText;
    QMessageBox::StandardButtons buttons;
    int buttonCount = 0;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    bool modal = false;
    QWidget *parent = nullptr;
    QString statusWhileOpen;
    QString windowTitleWhileOpen;
};

// How the file dialog is answered: through its own accept(), which insists on an existing
// file, or by closing it as accepted with whatever name was typed.
enum class Answer { Accept, AcceptAnyName };

// The window and its parts, found through the widget tree.
class Window
{
public:
    Window()
    {
        window.show();
        ok = QTest::qWaitForWindowExposed(&window);
        QWidget *central = window.centralWidget();
        openButton = central->findChild<QPushButton *>(QString(), Qt::FindDirectChildrenOnly);
        summaryLabel = central->findChild<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
        splitter = central->findChild<QSplitter *>(QString(), Qt::FindDirectChildrenOnly);
        messageTable = window.findChild<QTableWidget *>();
        detailView = window.findChild<QTextEdit *>();
        statusLabel = window.statusBar()->findChild<QLabel *>();
    }

    // Presses the open button and picks `path` in the file dialog; `beforeAccept` runs after the
    // name is chosen and before the dialog closes.
    void open(const QString &path, Answer answer = Answer::Accept,
              const std::function<void()> &beforeAccept = {})
    {
        dialogCaption.clear();
        dialogFilters.clear();
        OnModal<QFileDialog> answerDialog([&](QFileDialog *dialog) {
            dialogCaption = dialog->windowTitle();
            dialogFilters = dialog->nameFilters();
            dialogFileMode = dialog->fileMode();
            dialog->selectFile(path);
            if (beforeAccept)
                beforeAccept();
            // QFileDialog::accept() checks that the file exists; done() takes the typed name.
            QDialog *asDialog = dialog;
            if (answer == Answer::Accept)
                asDialog->accept();
            else
                asDialog->done(QDialog::Accepted);
        });
        openButton->click();
        dialogSeen = answerDialog.fired();
    }

    // Like open(), expecting the error box; records it and closes it with its Ok button.
    BoxSeen openExpectingBox(const QString &path, Answer answer = Answer::Accept,
                             const std::function<void()> &beforeAccept = {})
    {
        BoxSeen box;
        OnModal<QMessageBox> closeBox([&](QMessageBox *messageBox) {
            box.seen = true;
            box.title = messageBox->windowTitle();
            box.text = messageBox->text();
            box.format = messageBox->textFormat();
            if (auto *label = messageBox->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"))) {
                box.labelText = label->text();
                box.labelFormat = label->textFormat();
            }
            box.buttons = messageBox->standardButtons();
            box.buttonCount = messageBox->buttons().size();
            box.icon = messageBox->icon();
            box.modal = messageBox->isModal();
            box.parent = messageBox->parentWidget();
            box.statusWhileOpen = window.statusBar()->currentMessage();
            box.windowTitleWhileOpen = window.windowTitle();
            messageBox->button(QMessageBox::Ok)->click();
        });
        open(path, answer, beforeAccept);
        return box;
    }

    QStringList rowTexts(int row) const
    {
        QStringList texts;
        for (int column = 0; column < messageTable->columnCount(); ++column) {
            QTableWidgetItem *item = messageTable->item(row, column);
            texts << (item ? item->text() : QStringLiteral("<no item>"));
        }
        return texts;
    }

    // Everything that shows the loaded log.
    QStringList shownLog() const
    {
        QStringList shown{summaryLabel->text(), detailView->toPlainText(),
                          QString::number(messageTable->rowCount()),
                          QString::number(messageTable->currentRow())};
        for (int row = 0; row < messageTable->rowCount(); ++row)
            shown << rowTexts(row);
        return shown;
    }

    QString status() const { return window.statusBar()->currentMessage(); }

    MainWindow window;
    bool ok = false;
    QPushButton *openButton = nullptr;
    QLabel *summaryLabel = nullptr;
    QSplitter *splitter = nullptr;
    QTableWidget *messageTable = nullptr;
    QTextEdit *detailView = nullptr;
    QLabel *statusLabel = nullptr;
    bool dialogSeen = false;
    QString dialogCaption;
    QStringList dialogFilters;
    QFileDialog::FileMode dialogFileMode = QFileDialog::AnyFile;
};

// The offscreen platform warns about every dialog it sizes; that says nothing about the window.
QtMessageHandler previousMessageHandler = nullptr;
void dropPlatformNoise(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    previousMessageHandler(type, context, message);
}

const QString noFileLoaded = QStringLiteral("<span style='color:#999;'>No file loaded</span>");

QString exportHeader(const QString &inputPath)
{
    return QStringLiteral("=== ORVA Message Log: %1 ===\n\n").arg(inputPath);
}

QString expectedExport(const QString &inputPath, const QByteArray &log)
{
    const QList<LogMessage> messages = parseMessageLog(log).messages;
    QString text = exportHeader(inputPath);
    for (int i = 0; i < messages.size(); ++i)
        text += formatMessageBlock(messages.at(i), i + 1) + QLatin1Char('\n');
    return text;
}

QString savedStatus(int count, const QString &outputPath)
{
    return QStringLiteral("Parsed %1 message(s). Saved to %2").arg(count).arg(outputPath);
}

} // namespace

class TestLogReaderWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startState();
    void openThroughDialog();
    void rowSelection();
    void secondOpeningReplacesLog();
    void failedOpening_data();
    void failedOpening();
    void logWithoutMessages();
    void outputNames_data();
    void outputNames();
    void cancelChangesNothing();
    void exportTarget_data();
    void exportTarget();
    void hugeSenders();
    void cellDisplayText_data();
    void cellDisplayText();
    void paneWrapping_data();
    void paneWrapping();
    void readLogFile_data();
    void readLogFile();
    void screenshot();
};

void TestLogReaderWindow::initTestCase()
{
    previousMessageHandler = qInstallMessageHandler(dropPlatformNoise);
    qApp->setStyleSheet(MainWindow::applicationStyleSheet());
}

void TestLogReaderWindow::startState()
{
    QCOMPARE(MainWindow::applicationStyleSheet(),
             QStringLiteral("QMainWindow { background-color: #2d2d2d; }QStatusBar { "
                            "background-color: #252526; color: #cccccc; }QLabel { color: #cccccc; "
                            "}QSplitter::handle { background-color: #3c3c3c; height: 2px; }"));

    Window w;
    QVERIFY(w.ok);
    QCOMPARE(w.window.windowTitle(), QStringLiteral("ORVA Message Log Reader"));
    QCOMPARE(w.window.size(), QSize(1000, 750));
    QVERIFY(w.window.menuWidget() == nullptr);

    auto *column = qobject_cast<QVBoxLayout *>(w.window.centralWidget()->layout());
    QVERIFY(column);
    QCOMPARE(column->contentsMargins(), QMargins(12, 12, 12, 12));
    QCOMPARE(column->spacing(), 8);
    QCOMPARE(column->count(), 2);
    auto *topRow = qobject_cast<QHBoxLayout *>(column->itemAt(0)->layout());
    QVERIFY(topRow);
    QCOMPARE(topRow->spacing(), 10);
    QCOMPARE(topRow->itemAt(0)->widget(), w.openButton);
    QCOMPARE(topRow->itemAt(1)->widget(), w.summaryLabel);
    QCOMPARE(topRow->stretch(0), 0);
    QCOMPARE(topRow->stretch(1), 1);
    QCOMPARE(column->itemAt(1)->widget(), w.splitter);
    QCOMPARE(column->stretch(1), 1);

    QVERIFY(w.openButton);
    QCOMPARE(w.openButton->text(), QStringLiteral("\U0001F4C2 Open ORVA Log..."));
    QCOMPARE(w.openButton->minimumHeight(), 38);
    QCOMPARE(w.openButton->styleSheet(),
             QStringLiteral("QPushButton {  background-color: #2d6a9f;  color: white;  border: "
                            "none;  border-radius: 6px;  padding: 8px 22px;  font-size: 14px;  "
                            "font-weight: bold;}QPushButton:hover {  background-color: "
                            "#1d5a8f;}QPushButton:pressed {  background-color: #0d4a7f;}"));
    QCOMPARE(w.summaryLabel->text(), noFileLoaded);
    QCOMPARE(w.summaryLabel->textFormat(), Qt::AutoText);

    QCOMPARE(w.splitter->orientation(), Qt::Vertical);
    QCOMPARE(w.splitter->count(), 2);
    QCOMPARE(w.splitter->widget(0), w.messageTable);
    QCOMPARE(w.splitter->widget(1), w.detailView);
    QCOMPARE(w.splitter->widget(0)->sizePolicy().verticalStretch(), 3);
    QCOMPARE(w.splitter->widget(1)->sizePolicy().verticalStretch(), 2);
    QVERIFY(w.messageTable->height() > w.detailView->height());

    QTableWidget *table = w.messageTable;
    QCOMPARE(table->rowCount(), 0);
    QCOMPARE(table->columnCount(), 4);
    const QStringList headings{"Time", "Dir", "Sender", "Message"};
    for (int column = 0; column < 4; ++column)
        QCOMPARE(table->horizontalHeaderItem(column)->text(), headings.at(column));
    QHeaderView *header = table->horizontalHeader();
    QVERIFY(header->stretchLastSection());
    for (int column = 0; column < 3; ++column)
        QCOMPARE(header->sectionResizeMode(column), QHeaderView::ResizeToContents);
    QCOMPARE(header->sectionResizeMode(3), QHeaderView::Interactive);
    QVERIFY(table->verticalHeader()->isHidden());
    QCOMPARE(table->selectionBehavior(), QAbstractItemView::SelectRows);
    QCOMPARE(table->selectionMode(), QAbstractItemView::SingleSelection);
    QCOMPARE(table->editTriggers(), QAbstractItemView::NoEditTriggers);
    QVERIFY(table->alternatingRowColors());
    QCOMPARE(table->styleSheet(),
             QStringLiteral(
                 "QTableWidget {  background-color: #1e1e1e;  color: #d4d4d4;  border: 1px solid "
                 "#3c3c3c;  border-radius: 4px;  gridline-color: #333333;  font-size: "
                 "12px;}QTableWidget::item { padding: 4px 8px; }QTableWidget::item:alternate { "
                 "background-color: #2a2a2a; }QHeaderView::section {  background-color: #2d2d2d;  "
                 "color: #cccccc;  padding: 6px;  border: 1px solid #3c3c3c;  font-weight: "
                 "bold;}QTableWidget::item:selected {  background-color: #264f78;}"));

    QTextEdit *pane = w.detailView;
    QVERIFY(pane->isReadOnly());
    QVERIFY(pane->toPlainText().isEmpty());
    QCOMPARE(pane->font().family(), QStringLiteral("Courier New"));
    QCOMPARE(pane->font().pointSize(), 10);
    QVERIFY(!pane->font().italic());
    QCOMPARE(pane->font().weight(), int(QFont::Normal));
    QCOMPARE(
        pane->styleSheet(),
        QStringLiteral("QTextEdit {  background-color: #1e1e1e;  color: #d4d4d4;  border: "
                       "1px solid #3c3c3c;  border-radius: 4px;  padding: 8px;}QTextEdit:focus "
                       "{  border-color: #2d6a9f;}"));

    QVERIFY(w.statusLabel);
    QCOMPARE(w.statusLabel->text(),
             QStringLiteral("Ready. Open an ORVA message log file to begin."));
    QVERIFY(w.statusLabel->isVisible());
    QVERIFY(w.status().isEmpty());
}

void TestLogReaderWindow::openThroughDialog()
{
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("chat.log"));
    const QByteArray log = firstLog();
    QVERIFY(writeFile(input, log));

    Window w;
    QVERIFY(w.ok);
    w.open(input);
    QVERIFY(w.dialogSeen);
    QCOMPARE(w.dialogCaption, QStringLiteral("Select ORVA Message Log"));
    QCOMPARE(w.dialogFilters,
             QStringList({"All Files (*)", "Text Files (*.txt)", "Tox Files (*.tox)"}));
    QCOMPARE(w.dialogFileMode, QFileDialog::ExistingFile);

    QCOMPARE(w.window.windowTitle(), QStringLiteral("ORVA Message Log Reader \u2014 ") + input);

    // The cells are those of the renderings, message by message in file order.
    const QList<LogMessage> messages = parseMessageLog(log).messages;
    QCOMPARE(messages.size(), 3);
    QCOMPARE(w.messageTable->rowCount(), 3);
    for (int row = 0; row < 3; ++row) {
        const QList<QTableWidgetItem *> expected = messageRowItems(messages.at(row));
        for (int column = 0; column < 4; ++column) {
            QTableWidgetItem *item = w.messageTable->item(row, column);
            QVERIFY(item);
            QCOMPARE(item->text(), expected.at(column)->text());
            QCOMPARE(item->data(Qt::TextAlignmentRole),
                     expected.at(column)->data(Qt::TextAlignmentRole));
        }
        qDeleteAll(expected);
    }
    QCOMPARE(w.rowTexts(0), QStringList({"2027-01-15 08:00:00", "\u2192 OUT", "Bob", "hi"}));
    QCOMPARE(w.rowTexts(2), QStringList({"2023-11-14 22:13:20", "\u2194 ?", "<?>", "joined"}));

    // First and last in list order, although the first message is the later one.
    QCOMPARE(w.summaryLabel->text(),
             QStringLiteral("<span style='color:#aaa;'><b>3</b> messages &nbsp;|&nbsp; <b>15.01 "
                            "08:00</b> &nbsp;\u2192&nbsp; <b>14.11 22:13</b> &nbsp;|&nbsp; File: "
                            "%1 bytes</span>")
                 .arg(log.size()));

    QCOMPARE(w.messageTable->currentRow(), 0);
    const QModelIndexList selected = w.messageTable->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), 1);
    QCOMPARE(selected.first().row(), 0);
    QCOMPARE(w.detailView->toPlainText(),
             QStringLiteral("\u250c\u2500 [2027-01-15 08:00:00]  \u2192  MSG  Bob\n\u2502  hi\n"
                            "\u2502  flags=0x0000  |  #1\n\u2514") +
                 QString(39, QChar(0x2500)) + QLatin1Char('\n'));

    const QString output = dir.filePath(QStringLiteral("chat_parsed.txt"));
    const QString exported = QString::fromUtf8(readFile(output));
    QCOMPARE(exported, expectedExport(input, log));
    QVERIFY(
        exported.startsWith(QStringLiteral("=== ORVA Message Log: %1 ===\n\n\u250c").arg(input)));
    QCOMPARE(exported.count(QLatin1Char('\n')), 2 + 5 * 3);
    QVERIFY(exported.endsWith(QString(39, QChar(0x2500)) + QStringLiteral("\n\n")));
    QCOMPARE(w.status(), savedStatus(3, output));
}

void TestLogReaderWindow::rowSelection()
{
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("chat.log"));
    QVERIFY(writeFile(input, firstLog()));
    const QList<LogMessage> messages = parseMessageLog(firstLog()).messages;

    Window w;
    QVERIFY(w.ok);
    w.open(input);
    QCOMPARE(w.messageTable->rowCount(), 3);

    for (int row : {2, 0, 1}) {
        w.messageTable->selectRow(row);
        QCOMPARE(w.detailView->toPlainText(), formatMessageBlock(messages.at(row), row + 1));
    }
    QVERIFY(w.detailView->toPlainText().contains(QStringLiteral("#2")));

    // A click on any cell selects its whole row and shows its block.
    const QRect cell = w.messageTable->visualRect(w.messageTable->model()->index(2, 3));
    QTest::mouseClick(w.messageTable->viewport(), Qt::LeftButton, {}, cell.center());
    QCOMPARE(w.messageTable->selectionModel()->selectedRows().size(), 1);
    QCOMPARE(w.messageTable->selectionModel()->selectedRows().first().row(), 2);
    QVERIFY(w.detailView->toPlainText().contains(QStringLiteral("#3")));
    // Double-clicking opens no editor.
    QTest::mouseDClick(w.messageTable->viewport(), Qt::LeftButton, {}, cell.center());
    QVERIFY(w.messageTable->findChild<QLineEdit *>() == nullptr);

    w.messageTable->setRowCount(0);
    QVERIFY(w.detailView->toPlainText().isEmpty());
}

void TestLogReaderWindow::secondOpeningReplacesLog()
{
    QTemporaryDir dir;
    const QString first = dir.filePath(QStringLiteral("first.log"));
    const QString second = dir.filePath(QStringLiteral("second.log"));
    QVERIFY(writeFile(first, firstLog()));
    QVERIFY(writeFile(second, secondLog()));

    Window w;
    QVERIFY(w.ok);
    w.open(first);
    QCOMPARE(w.messageTable->rowCount(), 3);
    w.messageTable->selectRow(2);

    // The second log goes to the same export file name as the first.
    QVERIFY(QFile::rename(dir.filePath(QStringLiteral("first_parsed.txt")),
                          dir.filePath(QStringLiteral("second_parsed.txt"))));
    w.open(second);
    QCOMPARE(w.messageTable->rowCount(), 2);
    QCOMPARE(w.rowTexts(0),
             QStringList({"2024-03-09 16:00:00", "\u2190 IN", "Carol", "second log"}));
    QCOMPARE(w.rowTexts(1), QStringList({"2024-07-03 09:46:40", "\u2192 OUT", "Dave", "bye"}));
    QCOMPARE(w.summaryLabel->text(),
             QStringLiteral("<span style='color:#aaa;'><b>2</b> messages &nbsp;|&nbsp; <b>09.03 "
                            "16:00</b> &nbsp;\u2192&nbsp; <b>03.07 09:46</b> &nbsp;|&nbsp; File: "
                            "%1 bytes</span>")
                 .arg(secondLog().size()));
    QCOMPARE(w.messageTable->currentRow(), 0);
    QVERIFY(w.detailView->toPlainText().contains(QStringLiteral("Carol")));
    QVERIFY(w.detailView->toPlainText().contains(QStringLiteral("#1")));
    const QString output = dir.filePath(QStringLiteral("second_parsed.txt"));
    QCOMPARE(QString::fromUtf8(readFile(output)), expectedExport(second, secondLog()));
    QCOMPARE(w.window.windowTitle(), QStringLiteral("ORVA Message Log Reader \u2014 ") + second);
}

void TestLogReaderWindow::failedOpening_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("error"); // %1 = input path

    const QString couldNotOpen = QStringLiteral("Could not open '%1'");
    QTest::newRow("15 bytes") << "short"
                              << "short.log"
                              << "File too small to be a valid ORVA message log (min 16 bytes)";
    QTest::newRow("empty file") << "empty"
                                << "empty.log"
                                << "File too small to be a valid ORVA message log (min 16 bytes)";
    QTest::newRow("nonexistent") << "missing"
                                 << "missing.log" << couldNotOpen;
    QTest::newRow("directory") << "directory"
                               << "folder.log" << couldNotOpen;
    QTest::newRow("fifo") << "fifo"
                          << "pipe.log" << couldNotOpen;
    QTest::newRow("/dev/zero") << "devzero"
                               << "" << couldNotOpen;
    QTest::newRow("sparse 3 GiB") << "sparse"
                                  << "huge.log"
                                  << "Could not open '%1': file too large (3221225472 bytes)";
    QTest::newRow("vanishes after the dialog") << "vanishes"
                                               << "gone.log" << couldNotOpen;
    QTest::newRow("markup in the name") << "missing"
                                        << "<b>Mallory<b><i>&amp;.log" << couldNotOpen;
}

void TestLogReaderWindow::failedOpening()
{
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QFETCH(QString, error);

    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.log"));
    QVERIFY(writeFile(good, firstLog()));
    const QString input = kind == "devzero" ? QStringLiteral("/dev/zero") : dir.filePath(name);

    Answer answer = Answer::Accept;
    std::function<void()> beforeAccept;
    if (kind == "short") {
        QVERIFY(writeFile(input, firstLog().left(15)));
    } else if (kind == "empty") {
        QVERIFY(writeFile(input, QByteArray()));
    } else if (kind == "missing") {
        answer = Answer::AcceptAnyName;
    } else if (kind == "directory") {
        QVERIFY(QDir(dir.path()).mkdir(name));
        answer = Answer::AcceptAnyName;
    } else if (kind == "fifo") {
        QCOMPARE(::mkfifo(QFile::encodeName(input).constData(), 0600), 0);
    } else if (kind == "sparse") {
        QFile file(input);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(3LL << 30));
    } else if (kind == "vanishes") {
        QVERIFY(writeFile(input, secondLog()));
        answer = Answer::AcceptAnyName;
        beforeAccept = [input] { QVERIFY(QFile::remove(input)); };
    }
    const QString errorText = error.contains(QLatin1String("%1")) ? error.arg(input) : error;

    Window w;
    QVERIFY(w.ok);
    w.open(good);
    const QStringList before = w.shownLog();
    const QByteArray exportBefore = readFile(dir.filePath(QStringLiteral("good_parsed.txt")));
    QVERIFY(!exportBefore.isEmpty());
    const QStringList filesBefore = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);

    const BoxSeen box = w.openExpectingBox(input, answer, beforeAccept);
    QVERIFY(w.dialogSeen);
    QVERIFY(box.seen);
    QCOMPARE(box.title, QStringLiteral("Parse Error"));
    QCOMPARE(box.text, errorText);
    QCOMPARE(box.format, Qt::PlainText);
    QCOMPARE(box.labelText, errorText);
    QCOMPARE(box.labelFormat, Qt::PlainText);
    QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QCOMPARE(box.buttonCount, 1);
    QCOMPARE(box.icon, QMessageBox::Critical);
    QVERIFY(box.modal);
    QCOMPARE(box.parent, &w.window);
    // The box comes first; the status bar shows the error only after it is closed.
    QCOMPARE(box.statusWhileOpen, QStringLiteral("Parsing %1...").arg(input));
    QCOMPARE(box.windowTitleWhileOpen, QStringLiteral("ORVA Message Log Reader \u2014 ") + input);

    QCOMPARE(w.status(), QStringLiteral("Error: ") + errorText);
    QCOMPARE(w.window.windowTitle(), QStringLiteral("ORVA Message Log Reader \u2014 ") + input);
    QCOMPARE(w.shownLog(), before);
    QCOMPARE(readFile(dir.filePath(QStringLiteral("good_parsed.txt"))), exportBefore);
    QStringList filesAfter = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden);
    if (kind == "vanishes")
        filesAfter << name;
    filesAfter.sort();
    QStringList expectedFiles = filesBefore;
    expectedFiles.sort();
    QCOMPARE(filesAfter, expectedFiles);
}

void TestLogReaderWindow::logWithoutMessages()
{
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.log"));
    const QString empty = dir.filePath(QStringLiteral("empty.log"));
    QVERIFY(writeFile(good, firstLog()));
    // A bare header whose text would run past the end: the walk drops it, without an error.
    QVERIFY(writeFile(empty, record(1700000000, 8, 0, 0, "", "", 1)));

    Window w;
    QVERIFY(w.ok);
    w.open(good);
    const QString summary = w.summaryLabel->text();
    QVERIFY(summary.contains(QStringLiteral("<b>3</b> messages")));

    w.open(empty);
    QCOMPARE(w.summaryLabel->text(), summary);
    QCOMPARE(w.messageTable->rowCount(), 0);
    QVERIFY(w.detailView->toPlainText().isEmpty());
    const QString output = dir.filePath(QStringLiteral("empty_parsed.txt"));
    QCOMPARE(readFile(output), exportHeader(empty).toUtf8());
    QCOMPARE(w.status(), savedStatus(0, output));

    // In a fresh window the summary stays "No file loaded".
    Window fresh;
    QVERIFY(fresh.ok);
    fresh.open(empty);
    QCOMPARE(fresh.summaryLabel->text(), noFileLoaded);
    QCOMPARE(fresh.status(), savedStatus(0, output));
}

void TestLogReaderWindow::outputNames_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::newRow("chat.log") << "chat.log"
                              << "chat_parsed.txt";
    QTest::newRow("chat.2024.bin") << "chat.2024.bin"
                                   << "chat.2024_parsed.txt";
    QTest::newRow("no dot") << "chat"
                            << "chat_parsed.txt";
    QTest::newRow("only a leading dot") << ".chat"
                                        << "_parsed.txt";
    QTest::newRow("name ending in _parsed.txt") << "a_parsed.txt"
                                                << "a_parsed_parsed.txt";
}

void TestLogReaderWindow::outputNames()
{
    QFETCH(QString, input);
    QFETCH(QString, output);

    QTemporaryDir dir;
    const QString inputPath = dir.filePath(input);
    QVERIFY(writeFile(inputPath, secondLog()));

    Window w;
    QVERIFY(w.ok);
    w.open(inputPath);
    const QString outputPath = dir.filePath(output);
    QCOMPARE(w.status(), savedStatus(2, outputPath));
    QCOMPARE(QString::fromUtf8(readFile(outputPath)), expectedExport(inputPath, secondLog()));
    QCOMPARE(readFile(inputPath), secondLog());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
}

void TestLogReaderWindow::cancelChangesNothing()
{
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.log"));
    QVERIFY(writeFile(good, firstLog()));

    Window w;
    QVERIFY(w.ok);
    w.open(good);
    w.messageTable->selectRow(1);
    const QStringList before = w.shownLog();
    const QString title = w.window.windowTitle();
    const QString status = w.status();

    OnModal<QFileDialog> cancel([](QFileDialog *dialog) { dialog->reject(); });
    w.openButton->click();
    QVERIFY(cancel.fired());
    QCOMPARE(w.shownLog(), before);
    QCOMPARE(w.window.windowTitle(), title);
    QCOMPARE(w.status(), status);

    // Also from the start state.
    Window fresh;
    QVERIFY(fresh.ok);
    OnModal<QFileDialog> cancelAgain([](QFileDialog *dialog) { dialog->reject(); });
    fresh.openButton->click();
    QVERIFY(cancelAgain.fired());
    QCOMPARE(fresh.window.windowTitle(), QStringLiteral("ORVA Message Log Reader"));
    QVERIFY(fresh.status().isEmpty());
    QVERIFY(fresh.statusLabel->isVisible());
    QCOMPARE(fresh.summaryLabel->text(), noFileLoaded);
}

void TestLogReaderWindow::exportTarget_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("outcome"); // saved, failed or input

    QTest::newRow("existing export replaced") << "stale"
                                              << "saved";
    QTest::newRow("directory at the export path") << "directory"
                                                  << "failed";
    QTest::newRow("export is a symlink to the input") << "symlink"
                                                      << "input";
    QTest::newRow("input is a symlink to the export name") << "reverse"
                                                           << "input";
    QTest::newRow("export is a hard link to the input") << "hardlink"
                                                        << "saved";
}

void TestLogReaderWindow::exportTarget()
{
    QFETCH(QString, setup);
    QFETCH(QString, outcome);

    QTemporaryDir dir;
    QString input = dir.filePath(QStringLiteral("chat.log"));
    const QString output = dir.filePath(QStringLiteral("chat_parsed.txt"));
    const QByteArray stale = "old export, longer than the new one will be? no, but different\n";
    if (setup == "reverse") {
        // chat.log is a link to the real log, which is stored as chat_parsed.txt.
        QVERIFY(writeFile(output, firstLog()));
        QVERIFY(QFile::link(output, input));
    } else {
        QVERIFY(writeFile(input, firstLog()));
    }
    if (setup == "stale")
        QVERIFY(writeFile(output, stale));
    else if (setup == "directory")
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("chat_parsed.txt")));
    else if (setup == "symlink")
        QVERIFY(QFile::link(input, output));
    else if (setup == "hardlink")
        QCOMPARE(
            ::link(QFile::encodeName(input).constData(), QFile::encodeName(output).constData()), 0);

    Window w;
    QVERIFY(w.ok);
    w.open(input);

    // The log is shown whatever happens to the export.
    QCOMPARE(w.messageTable->rowCount(), 3);
    QVERIFY(w.summaryLabel->text().contains(QStringLiteral("<b>3</b> messages")));
    QVERIFY(w.detailView->toPlainText().contains(QStringLiteral("#1")));
    QCOMPARE(readFile(input), firstLog());

    if (outcome == "saved") {
        QCOMPARE(w.status(), savedStatus(3, output));
        QCOMPARE(QString::fromUtf8(readFile(output)), expectedExport(input, firstLog()));
        QVERIFY(!QFileInfo(output).isSymLink());
    } else if (outcome == "failed") {
        QCOMPARE(w.status(),
                 QStringLiteral("Parsed 3 message(s). Could not save to %1").arg(output));
        QVERIFY(QFileInfo(output).isDir());
    } else {
        QCOMPARE(w.status(),
                 QStringLiteral("Parsed 3 message(s). Could not save to %1 (it is the input file)")
                     .arg(output));
        QCOMPARE(readFile(output), firstLog());
    }
    // No temporary file is left behind.
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList({"chat.log", "chat_parsed.txt"}));
}

void TestLogReaderWindow::hugeSenders()
{
    // 500 records, each with a 900,000-byte sender and a short text: about 450 MB.
    const int count = 501; // and a last, ordinary one
    const int senderSize = 900000;
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("huge.log"));
    {
        QFile file(input);
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray sender(senderSize, 'a');
        for (int i = 0; i < count - 1; ++i) {
            const QByteArray text = QByteArray::number(i);
            QVERIFY(file.write(record(1700000000 + i, 8, i % 2, 0, sender, text)) ==
                    16 + senderSize + text.size());
        }
        QVERIFY(file.write(record(1700001000, 8, 0, 0, "Zed", "short")) > 0);
    }

    Window w;
    QVERIFY(w.ok);
    QElapsedTimer clock;
    clock.start();
    w.open(input);
    const qint64 openMs = clock.elapsed();
    QCOMPARE(w.messageTable->rowCount(), count);
    QCOMPARE(w.messageTable->item(0, 2)->text().size(), senderSize);
    QCOMPARE(w.messageTable->item(count - 2, 3)->text(), QStringLiteral("499"));
    QCOMPARE(w.detailView->lineWrapMode(), QTextEdit::NoWrap);
    QVERIFY(w.detailView->toPlainText().contains(QString(senderSize, QLatin1Char('a'))));
    const QString output = dir.filePath(QStringLiteral("huge_parsed.txt"));
    QCOMPARE(w.status(), savedStatus(count, output));

    // The window must still answer: paint it, move the selection, paint again.
    clock.restart();
    QCoreApplication::processEvents();
    const QImage first = w.window.grab().toImage();
    const qint64 paintMs = clock.elapsed();
    clock.restart();
    w.messageTable->selectRow(count - 2);
    QCoreApplication::processEvents();
    const QImage second = w.window.grab().toImage();
    const qint64 selectMs = clock.elapsed();
    QVERIFY(!first.isNull() && !second.isNull());
    QVERIFY(w.detailView->toPlainText().contains(QStringLiteral("#500")));
    // The Sender column is sized from a bounded prefix, not a megabyte of text.
    QVERIFY(w.messageTable->horizontalHeader()->sectionSize(2) < 50000);

    // An ordinary block after a huge one wraps again.
    w.messageTable->selectRow(count - 1);
    QCOMPARE(w.detailView->lineWrapMode(), QTextEdit::WidgetWidth);
    QVERIFY(w.detailView->toPlainText().contains(QStringLiteral("Zed")));
    qInfo("500 x 900 KB senders: open %lld ms, first paint %lld ms, select and paint %lld ms",
          openMs, paintMs, selectMs);

    QFile::remove(output);
    QFile::remove(input);
}

void TestLogReaderWindow::cellDisplayText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    const QString ellipsis(QChar(0x2026));
    const QString kilo(1024, QLatin1Char('s'));
    QTest::newRow("short") << "Alice"
                           << "Alice";
    QTest::newRow("1024 characters") << kilo << kilo;
    QTest::newRow("1025 characters") << kilo + "t" << kilo + ellipsis;
    QTest::newRow("900,000 characters") << QString(900000, QLatin1Char('s')) << kilo + ellipsis;
    // A surrogate pair is never cut in half.
    const QString pair = QString::fromUtf8("\xF0\x9F\x99\x82");
    QTest::newRow("pair across the cut")
        << kilo.left(1023) + pair + "t" << kilo.left(1023) + ellipsis;
}

void TestLogReaderWindow::cellDisplayText()
{
    QFETCH(QString, text);
    QFETCH(QString, shown);
    Window w;
    QVERIFY(w.ok);
    auto *delegate = qobject_cast<QStyledItemDelegate *>(w.messageTable->itemDelegate());
    QVERIFY(delegate);
    QCOMPARE(delegate->displayText(text, QLocale()), shown);
}

void TestLogReaderWindow::paneWrapping_data()
{
    QTest::addColumn<int>("senderLength");
    QTest::addColumn<int>("textLength");
    QTest::addColumn<bool>("wraps");
    // The head line is 34 characters followed by the sender.
    QTest::newRow("ordinary") << 5 << 20 << true;
    QTest::newRow("longest possible text") << 5 << 65535 << true;
    QTest::newRow("head line of 65538") << 65504 << 2 << true;
    QTest::newRow("head line of 65539") << 65505 << 2 << false;
}

void TestLogReaderWindow::paneWrapping()
{
    QFETCH(int, senderLength);
    QFETCH(int, textLength);
    QFETCH(bool, wraps);

    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("wrap.log"));
    QVERIFY(writeFile(input, record(1700000000, 8, 1, 0, QByteArray(senderLength, 'n'),
                                    QByteArray(textLength, 'x'))));
    Window w;
    QVERIFY(w.ok);
    w.open(input);
    QCOMPARE(w.messageTable->rowCount(), 1);
    const QString text = w.detailView->toPlainText();
    QCOMPARE(text.indexOf(QLatin1Char('\n')), 34 + senderLength);
    QVERIFY(text.contains(QString(textLength, QLatin1Char('x'))));
    QCOMPARE(w.detailView->lineWrapMode(), wraps ? QTextEdit::WidgetWidth : QTextEdit::NoWrap);
}

void TestLogReaderWindow::readLogFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("error"); // %1 = path, %2 = size
    QTest::addColumn<QByteArray>("content");

    const QString couldNotOpen = QStringLiteral("Could not open '%1'");
    const QString tooLarge = QStringLiteral("Could not open '%1': file too large (%2 bytes)");
    QTest::newRow("regular file") << "file" << QString() << firstLog();
    QTest::newRow("empty file") << "file" << QString() << QByteArray();
    QTest::newRow("symlink to a file") << "link" << QString() << secondLog();
    QTest::newRow("nonexistent") << "missing" << couldNotOpen << QByteArray();
    QTest::newRow("directory") << "directory" << couldNotOpen << QByteArray();
    QTest::newRow("fifo") << "fifo" << couldNotOpen << QByteArray();
    QTest::newRow("symlink to a fifo") << "fifolink" << couldNotOpen << QByteArray();
    QTest::newRow("/dev/zero") << "devzero" << couldNotOpen << QByteArray();
    QTest::newRow("one byte over the limit") << "overlimit" << tooLarge << QByteArray();
    QTest::newRow("3 GiB") << "sparse" << tooLarge << QByteArray();
}

void TestLogReaderWindow::readLogFile()
{
    QFETCH(QString, kind);
    QFETCH(QString, error);
    QFETCH(QByteArray, content);

    QTemporaryDir dir;
    QString path = dir.filePath(QStringLiteral("x.log"));
    qint64 size = 0;
    if (kind == "file") {
        QVERIFY(writeFile(path, content));
    } else if (kind == "link") {
        QVERIFY(writeFile(dir.filePath(QStringLiteral("target")), content));
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("target")), path));
    } else if (kind == "directory") {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("x.log")));
    } else if (kind == "fifo" || kind == "fifolink") {
        const QString fifo = dir.filePath(QStringLiteral("fifo"));
        QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        if (kind == "fifo")
            path = fifo;
        else
            QVERIFY(QFile::link(fifo, path));
    } else if (kind == "devzero") {
        path = QStringLiteral("/dev/zero");
    } else if (kind == "overlimit" || kind == "sparse") {
        size = kind == "sparse" ? (3LL << 30) : qint64(std::numeric_limits<int>::max()) - 4095;
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(size));
    }

    QByteArray read("previous content");
    const QString result = ::readLogFile(path, read);
    QString expected;
    if (!error.isEmpty())
        expected =
            error.contains(QLatin1String("%2")) ? error.arg(path).arg(size) : error.arg(path);
    QCOMPARE(result, expected);
    QCOMPARE(read, content);
}

void TestLogReaderWindow::screenshot()
{
    const QByteArray shotDir = qgetenv("SCREENSHOT_DIR");
    if (shotDir.isEmpty())
        QSKIP("set SCREENSHOT_DIR to save a picture of the window");

    struct Line {
        int minutes;
        quint16 type;
        quint16 direction;
        quint16 flags;
        const char *sender;
        const char *text;
    };
    const Line lines[] = {
        {0, 8, 0, 0x0000, "Alice Moreau", "Hi! Are you around this afternoon?"},
        {1, 8, 1, 0x0000, "me", "Yes, from three o'clock. What's up?"},
        {2, 9, 0, 0x0001, "Alice Moreau", "I'd like to go over the slides for Thursday."},
        {4, 17, 1, 0x0010, "me", "Sure. I'll send you the latest draft first."},
        {5, 11, 0, 0x0004, "Alice Moreau", "Alice Moreau is now online"},
        {9, 13, 1, 0x0002, "me", "draft_v3.pdf (2.4 MB)"},
        {12, 8, 0, 0x0000, "Alice Moreau",
         "Thanks, got it. The second chart is the one I'm not happy with: the axis labels "
         "overlap and the colours are hard to tell apart."},
        {15, 17, 1, 0x0010, "me", "Agreed, I'll split it into two."},
        {21, 8, 2, 0x0100, "Bob (laptop)", "Sorry, wrong chat \xF0\x9F\x99\x82"},
        {26, 9, 0, 0x0001, "Alice Moreau", "No worries Bob."},
        {33, 11, 1, 0x0004, "me", "Call ended (14:52)"},
        {40, 8, 0, 0x0000, "Alice Moreau", "Talk tomorrow then. Bye!"},
        {41, 8, 1, 0x0000, "me", "Bye \xF0\x9F\x91\x8B"},
    };
    QByteArray log;
    for (const Line &line : lines)
        log += record(1714555800 + 60 * line.minutes, line.type, line.direction, line.flags,
                      line.sender, line.text);

    // A fixed path, so that the title in the picture stays the same from run to run.
    QDir logDir(QDir::tempPath() + QStringLiteral("/orva-logs"));
    QVERIFY(logDir.mkpath(QStringLiteral(".")));
    const QString input = logDir.filePath(QStringLiteral("alice_2024-05.log"));
    QVERIFY(writeFile(input, log));

    Window w;
    QVERIFY(w.ok);
    w.open(input);
    QCOMPARE(w.messageTable->rowCount(), int(std::size(lines)));
    w.messageTable->selectRow(6);
    QCoreApplication::processEvents();

    const QString picture =
        QDir(QFile::decodeName(shotDir)).filePath(QStringLiteral("log_reader.png"));
    QVERIFY(w.window.grab().save(picture));
    QVERIFY(logDir.removeRecursively());
}

QTEST_MAIN(TestLogReaderWindow)
#include "tst_logreaderwindow.moc"
