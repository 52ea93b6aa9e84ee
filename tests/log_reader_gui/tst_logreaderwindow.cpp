// Drives the log_reader window headless: the open button, the real file dialog and message box,
// the table, the detail pane, the summary, the status bar and the export file beside the input.
#include "darktheme.h"
#include "fileio.h"
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

#include <algorithm>
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

// Makes an input of the given kind at `path`: a regular file ("file", "vanishes") or a symbolic
// link to one ("link") holding `content`, nothing ("missing"), a directory, a FIFO or a link to
// one ("fifolink"), /dev/zero ("devzero", which replaces the path), or a sparse file one byte
// over the largest readable size ("overlimit") or of 3 GiB ("sparse").
bool makeInput(const QString &kind, QString &path, const QByteArray &content)
{
    const QString target = path + QStringLiteral(".target");
    if (kind == "file" || kind == "vanishes")
        return writeFile(path, content);
    if (kind == "link")
        return writeFile(target, content) && QFile::link(target, path);
    if (kind == "missing")
        return true;
    if (kind == "directory")
        return QDir().mkdir(path);
    if (kind == "fifo")
        return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
    if (kind == "fifolink")
        return ::mkfifo(QFile::encodeName(target).constData(), 0600) == 0 &&
               QFile::link(target, path);
    if (kind == "devzero") {
        path = QStringLiteral("/dev/zero");
        return true;
    }
    QFile file(path);
    const qint64 size =
        kind == "sparse" ? (3LL << 30) : qint64(std::numeric_limits<int>::max()) - 4095;
    return file.open(QIODevice::WriteOnly) && file.resize(size);
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
        dialogSeen = QStringList();
        OnModal<QFileDialog> answerDialog([&](QFileDialog *dialog) {
            dialogSeen = QStringList{dialog->windowTitle(), QString::number(dialog->fileMode())} +
                         dialog->nameFilters();
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
    }

    // Like open(), expecting the error box: what the box and the window showed while it was
    // open. The box is closed with its Ok button.
    QStringList openExpectingBox(const QString &path, Answer answer,
                                 const std::function<void()> &beforeAccept)
    {
        QStringList seen{QStringLiteral("no box")};
        OnModal<QMessageBox> closeBox([&](QMessageBox *box) {
            auto *label = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_label"));
            seen = QStringList{
                box->windowTitle(),
                box->text(),
                label ? label->text() : QStringLiteral("?"),
                QString::asprintf("formats %d %d, buttons %d of %d, icon %d, modal %d, parent %d",
                                  box->textFormat(), label ? label->textFormat() : -1,
                                  int(box->standardButtons()), int(box->buttons().size()),
                                  box->icon(), box->isModal(), box->parentWidget() == &window),
                status(),
                window.windowTitle()};
            box->button(QMessageBox::Ok)->click();
        });
        open(path, answer, beforeAccept);
        return seen;
    }

    // Everything that shows the loaded log.
    QStringList shownLog() const
    {
        QStringList shown{summaryLabel->text(), detailView->toPlainText(),
                          QString::number(messageTable->rowCount()),
                          QString::number(messageTable->currentRow())};
        for (int row = 0; row < messageTable->rowCount(); ++row)
            for (int column = 0; column < messageTable->columnCount(); ++column) {
                QTableWidgetItem *item = messageTable->item(row, column);
                shown << (item ? item->text() : QStringLiteral("<no item>"));
            }
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
    QStringList dialogSeen; // caption, file mode and name filters of the last file dialog
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

// An error text with the input path in place of %1, if it has one.
QString withPath(const QString &text, const QString &path)
{
    return text.contains(QLatin1String("%1")) ? text.arg(path) : text;
}

QString titleFor(const QString &inputPath)
{
    return QStringLiteral("ORVA Message Log Reader \u2014 ") + inputPath;
}

QString summaryText(int count, const QString &first, const QString &last, int bytes)
{
    return QStringLiteral("<span style='color:#aaa;'><b>%1</b> messages &nbsp;|&nbsp; <b>%2</b> "
                          "&nbsp;\u2192&nbsp; <b>%3</b> &nbsp;|&nbsp; File: %4 bytes</span>")
        .arg(QString::number(count), first, last, QString::number(bytes));
}

const QString firstSummary = summaryText(3, "15.01 08:00", "14.11 22:13", firstLog().size());

QString expectedExport(const QString &inputPath, const QByteArray &log)
{
    const QList<LogMessage> messages = parseMessageLog(log).messages;
    QString text = QStringLiteral("=== ORVA Message Log: %1 ===\n\n").arg(inputPath);
    for (int i = 0; i < messages.size(); ++i)
        text += formatMessageBlock(messages.at(i), i + 1) + QLatin1Char('\n');
    return text;
}

QString savedStatus(int count, const QString &outputPath)
{
    return QStringLiteral("Parsed %1 message(s). Saved to %2").arg(count).arg(outputPath);
}

QStringList sortedEntries(const QString &dirPath)
{
    QStringList entries =
        QDir(dirPath).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    entries.sort();
    return entries;
}

} // namespace

class TestLogReaderWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void startState();
    void openLog_data();
    void openLog();
    void rowSelection();
    void unreadableInput_data();
    void unreadableInput();
    void cancelChangesNothing_data();
    void cancelChangesNothing();
    void hostileText();
    void tooManyMessages();
    void screenshot();
};

void TestLogReaderWindow::initTestCase()
{
    previousMessageHandler = qInstallMessageHandler(dropPlatformNoise);
    applyDarkTheme(*qApp);
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
                 "12px;}QTableWidget::item { padding: 4px 8px; background-color: #1e1e1e; "
                 "}QTableWidget::item:alternate { "
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

const QStringList openDialog{QStringLiteral("Select ORVA Message Log"),
                             QString::number(QFileDialog::ExistingFile),
                             QStringLiteral("All Files (*)"), QStringLiteral("Text Files (*.txt)"),
                             QStringLiteral("Tox Files (*.tox)")};

void TestLogReaderWindow::openLog_data()
{
    QTest::addColumn<QString>("input");
    QTest::addColumn<QString>("output");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("outcome"); // of the export: saved, failed or input
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("pane");
    QTest::addColumn<QStringList>("cells"); // row by row

    // First and last in list order, although the first message is the later one.
    const QString firstPane =
        QStringLiteral("\u250c\u2500 [2027-01-15 08:00:00]  \u2192  MSG  Bob\n\u2502  hi\n"
                       "\u2502  flags=0x0000  |  #1\n\u2514") +
        QString(39, QChar(0x2500)) + QLatin1Char('\n');
    const QStringList firstCells{
        "2027-01-15 08:00:00", "\u2192 OUT", "Bob",   "hi",
        "2025-06-15 15:06:40", "\u2190 IN",  "Alice", "re: hi, and a longer reply",
        "2023-11-14 22:13:20", "\u2194 ?",   "<?>",   "joined"};
    const auto row = [&](const char *name, const char *input, const char *output, const char *setup,
                         const char *outcome = "saved", const QByteArray &log = firstLog(),
                         const QString &summary = QString(), const QString &pane = QString(),
                         const QStringList &cells = {}) {
        const bool first = log == firstLog();
        QTest::newRow(name) << input << output << setup << outcome << log
                            << (first ? firstSummary : summary) << (first ? firstPane : pane)
                            << (first ? firstCells : cells);
    };
    // Output names.
    row("chat.log", "chat.log", "chat_parsed.txt", "fresh");
    row("chat.2024.bin", "chat.2024.bin", "chat.2024_parsed.txt", "fresh");
    row("no dot", "chat", "chat_parsed.txt", "fresh");
    row("only a leading dot", ".chat", "_parsed.txt", "fresh");
    row("name ending in _parsed.txt", "a_parsed.txt", "a_parsed_parsed.txt", "fresh");
    // What is already at the export path. The export never replaces the input.
    row("existing export replaced", "chat.log", "chat_parsed.txt", "stale");
    row("directory at the export path", "chat.log", "chat_parsed.txt", "directory", "failed");
    row("export is a symlink to the input", "chat.log", "chat_parsed.txt", "symlink", "input");
    row("input is a symlink to the export name", "chat.log", "chat_parsed.txt", "reverse", "input");
    row("export is a hard link to the input", "chat.log", "chat_parsed.txt", "hardlink", "input");
    // After first.log, with its last row selected.
    row("second log replaces the first", "second.log", "second_parsed.txt", "after a log", "saved",
        secondLog(), summaryText(2, "09.03 16:00", "03.07 09:46", secondLog().size()),
        formatMessageBlock(parseMessageLog(secondLog()).messages.value(0), 1),
        {"2024-03-09 16:00:00", "\u2190 IN", "Carol", "second log", "2024-07-03 09:46:40",
         "\u2192 OUT", "Dave", "bye"});
    // A bare header whose text would run past the end: the walk drops it, without an error.
    // The rows and the pane are emptied, the summary stays.
    const QByteArray noMessages = record(1700000000, 8, 0, 0, "", "", 1);
    row("no messages after a log", "empty.log", "empty_parsed.txt", "after a log", "saved",
        noMessages, firstSummary);
    row("no messages in a fresh window", "empty.log", "empty_parsed.txt", "fresh", "saved",
        noMessages, noFileLoaded);
}

void TestLogReaderWindow::openLog()
{
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QString, setup);
    QFETCH(QString, outcome);
    QFETCH(QByteArray, log);
    QFETCH(QString, summary);
    QFETCH(QString, pane);
    QFETCH(QStringList, cells);

    QTemporaryDir dir;
    QStringList expectedEntries{input, output};
    input = dir.filePath(input);
    output = dir.filePath(output);
    if (setup == "reverse") {
        // The input is a link to the real log, which is stored under the export name.
        QVERIFY(writeFile(output, log));
        QVERIFY(QFile::link(output, input));
    } else {
        QVERIFY(writeFile(input, log));
    }
    if (setup == "stale")
        QVERIFY(writeFile(output, "old export, longer than the new one will be? no, but "
                                  "different\n"));
    else if (setup == "directory")
        QVERIFY(QDir().mkdir(output));
    else if (setup == "symlink")
        QVERIFY(QFile::link(input, output));
    else if (setup == "hardlink")
        QCOMPARE(
            ::link(QFile::encodeName(input).constData(), QFile::encodeName(output).constData()), 0);

    Window w;
    QVERIFY(w.ok);
    if (setup == "after a log") {
        const QString first = dir.filePath(QStringLiteral("first.log"));
        QVERIFY(writeFile(first, firstLog()));
        w.open(first);
        QCOMPARE(w.messageTable->rowCount(), 3);
        w.messageTable->selectRow(2);
        // The new log goes to an existing export file, which it replaces.
        QVERIFY(QFile::rename(dir.filePath(QStringLiteral("first_parsed.txt")), output));
        expectedEntries << QStringLiteral("first.log");
    }
    w.open(input);
    QCOMPARE(w.dialogSeen, openDialog);
    QCOMPARE(w.window.windowTitle(), titleFor(input));

    // The log is shown whatever happens to the export: row 0 is current and alone selected,
    // and block 1 is in the pane.
    const int rows = cells.size() / 4;
    QCOMPARE(w.shownLog(), QStringList({summary, pane, QString::number(rows),
                                        QString::number(rows > 0 ? 0 : -1)}) +
                               cells);
    const QModelIndexList selected = w.messageTable->selectionModel()->selectedRows();
    QCOMPARE(selected.size(), rows > 0 ? 1 : 0);
    QVERIFY(rows == 0 || selected.first().row() == 0);

    // The cells are those of the renderings, message by message in file order.
    const QList<LogMessage> messages = parseMessageLog(log).messages;
    QCOMPARE(messages.size(), rows);
    for (int row = 0; row < rows; ++row) {
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
    QCOMPARE(readFile(input), log);

    const QString exported = QString::fromUtf8(readFile(output));
    if (outcome == "saved") {
        // The header line, an empty line, then every block followed by an empty line.
        QCOMPARE(w.status(), savedStatus(rows, output));
        QCOMPARE(exported, expectedExport(input, log));
        QVERIFY(exported.startsWith(QStringLiteral("=== ORVA Message Log: %1 ===\n\n").arg(input) +
                                    (rows > 0 ? QStringLiteral("\u250c") : QString())));
        QCOMPARE(exported.count(QLatin1Char('\n')), 2 + 5 * rows);
        QVERIFY(rows == 0 ||
                exported.endsWith(QString(39, QChar(0x2500)) + QStringLiteral("\n\n")));
        QVERIFY(!QFileInfo(output).isSymLink());
    } else if (outcome == "failed") {
        QCOMPARE(w.status(),
                 QStringLiteral("Parsed 3 message(s). Could not save to %1").arg(output));
        QVERIFY(QFileInfo(output).isDir());
    } else {
        QCOMPARE(w.status(),
                 QStringLiteral("Parsed 3 message(s). Could not save to %1 (it is the input file)")
                     .arg(output));
        QCOMPARE(readFile(output), log);
    }
    // No temporary file is left behind.
    expectedEntries.sort();
    QCOMPARE(sortedEntries(dir.path()), expectedEntries);
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

void TestLogReaderWindow::unreadableInput_data()
{
    QTest::addColumn<QString>("kind"); // see makeInput()
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("readError"); // of readLogFile; %1 = input path
    QTest::addColumn<QString>("boxError");  // of an opening in the window; empty: it opens

    const QString couldNotOpen = QStringLiteral("Could not open '%1'");
    const QString tooSmall =
        QStringLiteral("File too small to be a valid ORVA message log (min 16 bytes)");
    const auto row = [](const char *name, const char *kind, const char *file,
                        const QByteArray &content, const QString &readError,
                        const QString &boxError) {
        QTest::newRow(name) << kind << file << content << readError << boxError;
    };
    row("regular file", "file", "x.log", firstLog(), "", "");
    row("empty file", "file", "empty.log", "", "", tooSmall);
    row("15 bytes", "file", "short.log", firstLog().left(15), "", tooSmall);
    row("symlink to a file", "link", "x.log", secondLog(), "", "");
    row("nonexistent", "missing", "missing.log", "", couldNotOpen, couldNotOpen);
    row("markup in the name", "missing", "<b>Mallory<b><i>&amp;.log", "", couldNotOpen,
        couldNotOpen);
    row("directory", "directory", "folder.log", "", couldNotOpen, couldNotOpen);
    row("fifo", "fifo", "pipe.log", "", couldNotOpen, couldNotOpen);
    row("symlink to a fifo", "fifolink", "pipe.log", "", couldNotOpen, couldNotOpen);
    row("/dev/zero", "devzero", "", "", couldNotOpen, couldNotOpen);
    const QString overLimit =
        QStringLiteral("Could not open '%1': file too large (2147479552 bytes)");
    row("one byte over the limit", "overlimit", "big.log", "", overLimit, overLimit);
    const QString threeGiB =
        QStringLiteral("Could not open '%1': file too large (3221225472 bytes)");
    row("sparse 3 GiB", "sparse", "huge.log", "", threeGiB, threeGiB);
    // Removed between the dialog and the read; read again afterwards, it is missing.
    row("vanishes after the dialog", "vanishes", "gone.log", secondLog(), couldNotOpen,
        couldNotOpen);
}

void TestLogReaderWindow::unreadableInput()
{
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QString, readError);
    QFETCH(QString, boxError);

    QTemporaryDir dir;
    QString input = dir.filePath(name);
    QVERIFY(makeInput(kind, input, content));

    if (!boxError.isEmpty()) {
        // A failed opening keeps the previous log, its export and every other file.
        const QString good = dir.filePath(QStringLiteral("good.log"));
        const QString goodExport = dir.filePath(QStringLiteral("good_parsed.txt"));
        QVERIFY(writeFile(good, firstLog()));
        Window w;
        QVERIFY(w.ok);
        w.open(good);
        const QStringList before = w.shownLog();
        const QByteArray exportBefore = readFile(goodExport);
        QVERIFY(!exportBefore.isEmpty());
        QStringList filesBefore = sortedEntries(dir.path());
        if (kind == "vanishes")
            filesBefore.removeOne(name);

        const bool typed = kind == "missing" || kind == "directory" || kind == "vanishes";
        const QString errorText = withPath(boxError, input);
        const QStringList box =
            w.openExpectingBox(input, typed ? Answer::AcceptAnyName : Answer::Accept,
                               [&] { QVERIFY(kind != "vanishes" || QFile::remove(input)); });
        QCOMPARE(w.dialogSeen, openDialog);
        // The box shows the error as plain text, and comes before the status bar shows it.
        const QString boxLook = QString::asprintf(
            "formats %d %d, buttons %d of 1, icon %d, modal 1, parent 1", Qt::PlainText,
            Qt::PlainText, int(QMessageBox::Ok), QMessageBox::Critical);
        QCOMPARE(box, QStringList({"Parse Error", errorText, errorText, boxLook,
                                   QStringLiteral("Parsing %1...").arg(input), titleFor(input)}));
        QCOMPARE(w.status(), QStringLiteral("Error: ") + errorText);
        QCOMPARE(w.window.windowTitle(), titleFor(input));
        QCOMPARE(w.shownLog(), before);
        QCOMPARE(readFile(goodExport), exportBefore);
        QCOMPARE(sortedEntries(dir.path()), filesBefore);
    }

    // The reader alone: only a regular file (also through a link) is read, whole.
    const InputFile read = readInputFile(input);
    QCOMPARE(read.error, withPath(readError, input));
    QCOMPARE(read.data, readError.isEmpty() ? content : QByteArray());
}

void TestLogReaderWindow::cancelChangesNothing_data()
{
    QTest::addColumn<bool>("loaded");
    QTest::newRow("in the start state") << false;
    QTest::newRow("with a log on screen") << true;
}

void TestLogReaderWindow::cancelChangesNothing()
{
    QFETCH(bool, loaded);
    QTemporaryDir dir;
    const QString good = dir.filePath(QStringLiteral("good.log"));
    QVERIFY(writeFile(good, firstLog()));

    Window w;
    QVERIFY(w.ok);
    if (loaded) {
        w.open(good);
        w.messageTable->selectRow(1);
    }
    const QStringList before = w.shownLog();
    const QString title = w.window.windowTitle();
    const QString status = w.status();
    const bool labelShown = w.statusLabel->isVisible();
    QCOMPARE(labelShown, !loaded);

    OnModal<QFileDialog> cancel([](QFileDialog *dialog) { dialog->reject(); });
    w.openButton->click();
    QVERIFY(cancel.fired());
    QCOMPARE(w.shownLog(), before);
    QCOMPARE(w.window.windowTitle(), title);
    QCOMPARE(w.status(), status);
    QCOMPARE(w.statusLabel->isVisible(), labelShown);
}

void TestLogReaderWindow::hostileText()
{
    // Text whose layout would hold the window for seconds: 65,500 characters of alternating
    // direction, a letter under 2,000 combining marks, the longest text. Then a thousand ordinary
    // messages with an emoji in each sender, all measured to size the column as before.
    const QString mixed = QString::fromUtf8("a\u0628").repeated(32750);
    const QByteArray marks = "a" + QByteArray("\xcc\x81").repeated(1999);
    QByteArray log = record(1700000000, 8, 0, 0, mixed.toUtf8(), "hi") +
                     record(1700000001, 8, 1, 0, marks, "ok") +
                     record(1700000001, 8, 1, 0, "Tom", QByteArray(65535, 't'));
    for (int i = 0; i < 1000; ++i)
        log += record(1700000002, 9, 0, 0, "Zed 🌸", "short");
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("hostile.log"));
    QVERIFY(writeFile(input, log));
    Window w;
    QVERIFY(w.ok);
    w.open(input);
    const QList<LogMessage> messages = parseMessageLog(log).messages;
    QCOMPARE(w.messageTable->rowCount(), 1003);
    QCOMPARE(w.messageTable->horizontalHeader()->resizeContentsPrecision(), 1000);

    // The cells show the start within their limits and an ellipsis, the pane cuts each field
    // to its limits under a line that says so; items, messages and export keep everything.
    const QString ellipsis(QChar(0x2026));
    const QString acute = QString(QChar(0x0301));
    const QStringList senderCells{mixed.left(65) + ellipsis, 'a' + acute.repeated(31) + ellipsis,
                                  QStringLiteral("Tom"), QString::fromUtf8("Zed 🌸")};
    const QString cut = QStringLiteral(
        "[Cut for display. %1 characters shown. The export holds the whole message.]\n");
    QList<LogMessage> shown = messages;
    shown[0].sender = mixed.left(4096) + ellipsis;
    shown[1].sender = senderCells.at(1);
    shown[2].text = QString(4096, 't') + ellipsis;
    const QStringList panes{cut.arg("Sender: 4096 of 65500") + formatMessageBlock(shown[0], 1),
                            cut.arg("Sender: 32 of 2000") + formatMessageBlock(shown[1], 2),
                            cut.arg("Text: 4096 of 65535") + formatMessageBlock(shown[2], 3),
                            formatMessageBlock(messages[3], 4)};
    auto *delegate = qobject_cast<QStyledItemDelegate *>(w.messageTable->itemDelegate());
    QVERIFY(delegate);
    for (int row = 0; row < 4; ++row) {
        w.messageTable->selectRow(row);
        QCOMPARE(w.detailView->toPlainText(), panes.at(row));
        const QString sender = w.messageTable->item(row, 2)->text();
        QCOMPARE(sender, messages.at(row).sender);
        QCOMPARE(delegate->displayText(sender, QLocale()), senderCells.at(row));
    }
    QCOMPARE(messages.at(2).text.size(), 65535);
    QCOMPARE(QString::fromUtf8(readFile(dir.filePath(QStringLiteral("hostile_parsed.txt")))),
             expectedExport(input, log));

    // Senders full of colour emoji: rows are measured only while their emoji stay in the budget.
    QVERIFY(writeFile(
        input, record(1700000000, 8, 0, 0, QByteArray("👍").repeated(40), "hi").repeated(30)));
    w.open(input);
    QCOMPARE(w.messageTable->horizontalHeader()->resizeContentsPrecision(), 25);
}

void TestLogReaderWindow::tooManyMessages()
{
    // One record more than an opening keeps, each of 17 bytes: a header with an empty text and a
    // one-byte sender, which the scan (one byte into the body) passes over to the next header.
    // About 34 MB; the time goes up by one second every 1000 records.
    const int records = maxMessageCount + 1;
    const int recordSize = 17;
    const quint32 firstTime = 1700000000;
    const auto senderOf = [](int i) { return char('a' + i % 26); };
    QTemporaryDir dir;
    const QString input = dir.filePath(QStringLiteral("many.log"));
    const QString output = dir.filePath(QStringLiteral("many_parsed.txt"));
    {
        QByteArray log(records * recordSize, '\0');
        auto *p = reinterpret_cast<uchar *>(log.data());
        for (int i = 0; i < records; ++i, p += recordSize) {
            qToLittleEndian<quint32>(firstTime + quint32(i / 1000), p);
            qToLittleEndian<quint16>(8, p + 8);
            p[16] = uchar(senderOf(i));
        }
        QVERIFY(writeFile(input, log));
    }
    const auto messageOf = [&](int i) {
        LogMessage message;
        message.timestamp = QDateTime::fromSecsSinceEpoch(firstTime + i / 1000, Qt::LocalTime, 0);
        message.type = 8;
        message.sender = QString(QLatin1Char(senderOf(i)));
        return message;
    };
    const int last = maxMessageCount - 1;
    const LogMessage lastMessage = messageOf(last);

    auto w = std::make_unique<Window>();
    QVERIFY(w->ok);
    QElapsedTimer clock;
    clock.start();
    w->open(input);
    const qint64 openMs = clock.elapsed();
    clock.restart();
    QCoreApplication::processEvents();
    QVERIFY(!w->window.grab().toImage().isNull());
    const qint64 paintMs = clock.elapsed();

    // Shown as usual, with the first maxMessageCount messages.
    QTableWidget *table = w->messageTable;
    QCOMPARE(table->rowCount(), maxMessageCount);
    QCOMPARE(table->item(0, 2)->text(), QStringLiteral("a"));
    QCOMPARE(table->item(last, 0)->text(), QStringLiteral("2023-11-14 22:46:39"));
    QCOMPARE(table->item(last, 2)->text(), lastMessage.sender);
    QCOMPARE(table->currentRow(), 0);
    QCOMPARE(w->detailView->toPlainText(), formatMessageBlock(messageOf(0), 1));
    QCOMPARE(w->summaryLabel->text(),
             summaryText(maxMessageCount, "14.11 22:13", "14.11 22:46", records * recordSize));
    const QString count = QString::number(maxMessageCount);
    QCOMPARE(w->status(),
             savedStatus(maxMessageCount, output) +
                 QStringLiteral(" Only the first %1 messages are shown; the log holds more.")
                     .arg(count));
    table->selectRow(last);
    QCOMPARE(w->detailView->toPlainText(), formatMessageBlock(lastMessage, maxMessageCount));

    // The export: the header, every block and its empty line, then the note. It is read in
    // pieces to count its lines; only its two ends are compared.
    QFile exported(output);
    QVERIFY(exported.open(QIODevice::ReadOnly));
    const QByteArray head =
        QStringLiteral("=== ORVA Message Log: %1 ===\n\n\u250c\u2500 [2023-11-14 22:13:20]  "
                       "\u2190  MSG  a\n")
            .arg(input)
            .toUtf8();
    QCOMPARE(exported.read(head.size()), head);
    const QByteArray tail =
        (QLatin1Char('\n') + formatMessageBlock(lastMessage, maxMessageCount) +
         QStringLiteral("\n!!! Only the first %1 messages are listed; the log holds more. !!!\n")
             .arg(count))
            .toUtf8();
    QVERIFY(exported.seek(exported.size() - tail.size()));
    QCOMPARE(exported.readAll(), tail);
    QVERIFY(exported.seek(0));
    qint64 lines = 0;
    while (!exported.atEnd()) {
        const QByteArray piece = exported.read(1 << 20);
        lines += std::count(piece.cbegin(), piece.cend(), '\n');
    }
    QCOMPARE(lines, 2 + 5 * qint64(maxMessageCount) + 1);
    exported.close();

    qInfo("%d minimal records: open %lld ms, first paint %lld ms", records, openMs, paintMs);
    w.reset(); // the table's 8 million items and the messages
    QVERIFY(QFile::remove(output));
    QVERIFY(QFile::remove(input));
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
