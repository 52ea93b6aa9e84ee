// Drives the log_reader window headless through its open button, the real file dialog and the
// error box: what the table, the summary, the detail pane, the status bar and the folder show
// after every kind of opening, and how the rows and the dialogs look.
#include "darktheme.h"
#include "dialogs.h"
#include "mainwindow.h"
#include "testdata.h"

#include <QtTest>
#include <QtWidgets>

namespace
{

const QByteArray kSample = readFile(QStringLiteral(SAMPLES_DIR "/chat.log"));

// Three messages, the first later than the last, none like a message of the sample.
const QByteArray kEarlier = logRecord(1800000000, 9, 1, 0x1a, "Mallory", "first") +
                            logRecord(1750000000, 17, 0, 0, "Trent", "middle") +
                            logRecord(1700000000, 11, 2, 5, "", "last");

// First and last in list order, not the earliest and the latest.
const QString kEarlierSummary = QStringLiteral(
    "<span style='color:#aaa;'><b>3</b> messages &nbsp;|&nbsp; <b>15.01 08:00</b> &nbsp;→&nbsp; "
    "<b>14.11 22:13</b> &nbsp;|&nbsp; File: 75 bytes</span>");
const QString kSampleSummary = QStringLiteral(
    "<span style='color:#aaa;'><b>16</b> messages &nbsp;|&nbsp; <b>14.03 09:12</b> &nbsp;→&nbsp; "
    "<b>14.03 10:04</b> &nbsp;|&nbsp; File: 799 bytes</span>");

// The sample's export with the path /evidence/chat.log, and its cells as the table shows them.
const QString kExport = QString::fromUtf8(readFile(testData(QStringLiteral("chat_parsed.txt"))));
const QString kCells = QString::fromUtf8(readFile(testData(QStringLiteral("chat_table.txt"))));

// The sample's export cut at its empty lines: the header, then the block of message n at n.
const QStringList kBlocks = kExport.split(QStringLiteral("\n\n"));

// Every entry of a folder but `except`: its name, a link's target, its size and time.
QStringList snapshot(const QString &path, const QString &except = QString())
{
    QStringList entries;
    const auto all = QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden;
    for (const QFileInfo &info : QDir(path).entryInfoList(all, QDir::Name))
        if (info.fileName() != except)
            entries << QStringLiteral("%1 %2 %3 %4")
                           .arg(info.fileName(), info.symLinkTarget(), QString::number(info.size()),
                                info.lastModified().toString(Qt::ISODateWithMs));
    return entries;
}

// The cells of a table row by row, a tab between two cells.
QString cells(const QTableWidget *table)
{
    QString text;
    for (int i = 0; i < 4 * table->rowCount(); ++i)
        text += table->model()->index(i / 4, i % 4).data().toString() + (i % 4 < 3 ? '\t' : '\n');
    return text;
}

} // namespace

class TestLogReaderWindow : public QObject
{
    Q_OBJECT

public:
    static void initMain() { prepareScaling(); } // as main does, before the application

private slots:
    void initTestCase();
    void init();
    void opening_data();
    void opening();
    void startState();
    void columns_data();
    void columns();
    void sampleOnScreen();
    void hostileText();
    void textBudget();
    void screenshot();

private:
    // Opens `path` through the real dialog, or cancels it for an empty path; `onBox` looks at the
    // error box expected next, and closes it.
    bool open(const QString &path, const std::function<void(QMessageBox *)> &onBox = {});
    QString status() const { return window->statusBar()->currentMessage(); }
    QString pane() const { return detail()->toPlainText(); }
    QTableWidget *table() const { return window->findChild<QTableWidget *>(); }
    QTextEdit *detail() const { return window->findChild<QTextEdit *>(); }
    QPushButton *button() const { return window->findChild<QPushButton *>(); }
    QLabel *summary() const { return window->centralWidget()->findChild<QLabel *>(); }
    // Everything that shows the loaded log.
    QString shown() const { return cells(table()) + summary()->text() + pane(); }

    std::unique_ptr<MainWindow> window;
    std::unique_ptr<QTemporaryDir> dir;
};

void TestLogReaderWindow::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true); // the file dialog's history stays out of ~/.config
    applyDarkTheme(*qApp);
    qApp->setStyleSheet(MainWindow::applicationStyleSheet());
}

// Each test gets a fresh window and folder; the last ones go with the test object.
void TestLogReaderWindow::init()
{
    dir = std::make_unique<QTemporaryDir>();
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
}

bool TestLogReaderWindow::open(const QString &path, const std::function<void(QMessageBox *)> &onBox)
{
    ModalDriver driver;
    driver.on<QFileDialog>([&](QFileDialog *dialog) {
        const QStringList seen = QStringList(dialog->windowTitle()) + dialog->nameFilters();
        const QImage label = dialog->findChild<QLabel *>()->grab().toImage();
        const bool look = dialog->parentWidget() == window.get() && textContrast(label) >= 4.5;
        const bool own = dialog->testOption(QFileDialog::DontUseNativeDialog); // records nothing
        // The dialog's own Open would enter a folder: one is handed back as a platform dialog may.
        path.isEmpty() ? dialog->reject() : chooseFile(dialog, path, !QFileInfo(path).isDir());
        // Checked once the dialog is closed: a failed check ends the step and would leave it open.
        QCOMPARE(seen, QStringList({"Select ORVA Message Log", "All Files (*)",
                                    "Text Files (*.txt)", "Tox Files (*.tox)"}));
        QVERIFY(look);
        QVERIFY(own);
    });
    if (onBox)
        driver.on<QMessageBox>(onBox);
    return driver.click(button());
}

void TestLogReaderWindow::opening_data()
{
    QTest::addColumn<QString>("message");    // the status, %1 the output; for a failure its error
    QTest::addColumn<QString>("setup");      // shell commands run in the folder after the input
    QTest::addColumn<QString>("input");      // file name in the folder, or an absolute path
    QTest::addColumn<QString>("output");     // the output's name in the folder; none: a failure
    QTest::addColumn<QByteArray>("content"); // written to the input first unless empty

    const auto row = [](const char *name, const QString &message, const char *setup = "",
                        const char *input = "chat.log", const char *output = "chat_parsed.txt",
                        const QByteArray &content = kSample) {
        QTest::newRow(name) << message << setup << input << output << content;
    };
    const QString saved = QStringLiteral("Parsed 16 message(s). Saved to %1");
    const QString notSaved = QStringLiteral("Parsed 16 message(s). Could not save to %1");
    const QString isInput = notSaved + QStringLiteral(" (it is the input file)");
    const QString isLink = notSaved + QStringLiteral(" (it is a symbolic link)");
    row("chat.log", saved);
    row("name with two dots", saved, "", "chat.2024.bin", "chat.2024_parsed.txt");
    row("name without a dot", saved, "", "chat");
    row("name starting with its only dot", saved, "", ".chat", "_parsed.txt");
    row("longer output replaced", saved, "seq 30000 > chat_parsed.txt");
    row("folder at the output name", notSaved, "mkdir chat_parsed.txt");
    row("output a link to the input", isInput, "ln -s chat.log chat_parsed.txt");
    row("output a hard link of the input", isInput, "ln chat.log chat_parsed.txt");
    row("input a link to the output name", isInput,
        "mv chat.log chat_parsed.txt && ln -s chat_parsed.txt chat.log");
    row("output a link elsewhere", isLink, "echo old > other && ln -s other chat_parsed.txt");
    row("output a dangling link", isLink, "ln -s nowhere chat_parsed.txt");
    // A bare header whose text would run past the end: no message, and no error.
    row("no messages: rows emptied, summary kept", "Parsed 0 message(s). Saved to %1", "",
        "empty.log", "empty_parsed.txt", logRecord(1700000000, 8, 0, 0, "", "", 1));

    // Failures: the error text, %1 the input, in the box and after "Error: " in the status.
    const QString cannotOpen = QStringLiteral("Could not open '%1'");
    const QString tooLarge = QStringLiteral("Could not open '%1': file too large (%2 bytes)");
    row("15 bytes", "File too small to be a valid ORVA message log (min 16 bytes)", "", "short.log",
        "", kSample.left(15));
    row("a Tox save", "This is a Tox save file, not an ORVA message log (open it with save_reader)",
        "", "alice.tox", "", toxSave({nospamKeysSection()}));
    row("fifo", cannotOpen, "mkfifo pipe.log", "pipe.log", "", "");
    row("folder", cannotOpen, "mkdir folder.log", "folder.log", "", "");
    row("device", cannotOpen, "", "/dev/zero", "", "");
    row("one byte too large", tooLarge.arg("%1", "2147479552"), "truncate -s 2147479552 big.log",
        "big.log", "", "");
    row("3 GiB", tooLarge.arg("%1", "3221225472"), "truncate -s 3G huge.log", "huge.log", "", "");
    row("markup in a name that vanishes while parsing", cannotOpen, "vanish", "<b>gone<i>.log", "");
}

// One opening through the real window, after another log is already on screen: the log is shown
// (or the earlier one stays), the export is written or not, the status says which, an error
// comes first in a readable plain-text box, and nothing else in the folder changes.
void TestLogReaderWindow::opening()
{
    QFETCH(QString, message);
    QFETCH(QString, setup);
    QFETCH(QString, input);
    QFETCH(QString, output);
    QFETCH(QByteArray, content);
    QVERIFY(writeFile(dir->filePath("earlier"), kEarlier) && open(dir->filePath("earlier")));
    const QString earlier = shown();

    const QString path = QDir::isAbsolutePath(input) ? input : dir->filePath(input);
    const QString out = dir->filePath(output);
    QVERIFY(content.isEmpty() || writeFile(path, content));
    if (setup == "vanish") // removed by the first events the window lets run after "Parsing"
        connect(window->statusBar(), &QStatusBar::messageChanged, this,
                [this, path] { QTimer::singleShot(0, this, [path] { QFile::remove(path); }); });
    else if (!setup.isEmpty())
        QCOMPARE(QProcess::execute("sh", {"-ec", "cd " + dir->path() + " && " + setup}), 0);
    const bool fails = output.isEmpty();
    const bool saved = message.contains(QStringLiteral("Saved to"));
    // Nothing in the folder changes but a saved output and an input that vanishes: a refused
    // output name (a link, a folder) and the input stay as they were, and no temporary file stays.
    const QString changes = saved ? output : setup == "vanish" ? input : QString();
    const QStringList files = snapshot(dir->path(), changes);

    // The wait cursor from the reading on, at every status message and over the box: the shape
    // of the override cursor, -1 for none.
    const auto cursor = [] {
        const QCursor *shape = QApplication::overrideCursor();
        return shape ? int(shape->shape()) : -1;
    };
    QList<int> cursors;
    QObject watch;
    connect(window->statusBar(), &QStatusBar::messageChanged, &watch, [&](const QString &text) {
        if (!text.isEmpty()) // not the clearing by the dialog's status tips
            cursors << cursor();
    });
    const QString expected =
        fails ? "Error: " + QString(message).replace("%1", path) : message.arg(out);
    const QString title = QStringLiteral("ORVA Message Log Reader \u2014 ") + path;
    QStringList seen; // the status and the title while the box is up, then the box's texts
    const std::function<void(QMessageBox *)> onBox = [&](QMessageBox *box) {
        seen << status() << window->windowTitle() << box->windowTitle() << box->text();
        cursors << cursor();
        const QImage text = box->findChild<QLabel *>("qt_msgbox_label")->grab().toImage();
        const bool look = box->textFormat() == Qt::PlainText &&
                          box->icon() == QMessageBox::Critical &&
                          box->standardButtons() == QMessageBox::Ok &&
                          box->parentWidget() == window.get() && textContrast(text) >= 4.5;
        box->accept(); // before the check, as in open()
        QVERIFY(look);
    };
    QVERIFY(open(path, fails ? onBox : nullptr));
    QCOMPARE(window->windowTitle(), title);
    QCOMPARE(status(), expected);
    QCOMPARE(cursors << cursor(), fails ? QList<int>({Qt::WaitCursor, -1, -1, -1})
                                        : QList<int>({Qt::WaitCursor, Qt::WaitCursor, -1}));
    const bool sample = content == kSample;
    if (fails) {
        QCOMPARE(seen, QStringList({QStringLiteral("Parsing %1...").arg(path), title, "Parse Error",
                                    expected.mid(7)}));
        QCOMPARE(shown(), earlier);
    } else {
        // Every message in a row, row 0 alone selected and its block in the pane.
        QCOMPARE(cells(table()), sample ? kCells : QString());
        QCOMPARE(summary()->text(), sample ? kSampleSummary : kEarlierSummary);
        QCOMPARE(pane(), sample ? kBlocks.at(1) + '\n' : QString());
        QCOMPARE(table()->selectionModel()->selectedRows().size(), int(sample));
    }
    if (saved)
        QCOMPARE(QString::fromUtf8(readFile(out)),
                 sample ? QString(kExport).replace("/evidence/chat.log", path)
                        : "=== ORVA Message Log: " + path + " ===\n\n");
    QCOMPARE(snapshot(dir->path(), changes), files);
}

// The window as it opens: its texts, its layout, the table's columns and the pane's font.
void TestLogReaderWindow::startState()
{
    QHeaderView *header = table()->horizontalHeader();
    QStringList texts{window->windowTitle(), button()->text(),
                      window->statusBar()->findChild<QLabel *>()->text(), summary()->text()};
    for (int column = 0; column < table()->columnCount(); ++column)
        texts << table()->horizontalHeaderItem(column)->text();
    QCOMPARE(texts, QStringList({"ORVA Message Log Reader", "📂 Open ORVA Log...",
                                 "Ready. Open an ORVA message log file to begin.",
                                 "<span style='color:#999;'>No file loaded</span>", "Time", "Dir",
                                 "Sender", "Message"}));
    QVERIFY(detail()->isReadOnly() && table()->height() > detail()->height());
    QCOMPARE(detail()->font().toString(), QFont(QStringLiteral("Courier New"), 10).toString());
    // Drawn at the screen's scale, a fraction kept as it is: 1.5 on a screen of 144 DPI.
    if (const int dpi = qEnvironmentVariableIntValue("QT_FONT_DPI"))
        QCOMPARE(window->devicePixelRatioF(), dpi / 96.0);
    // The window's size, its margins and spacings, the button's height at its natural width, the
    // summary's rich text, the table and pane taking all the height below the top row, no row
    // numbers, Time, Dir and Sender as wide as their contents and Message taking the rest.
    const QRect top = button()->geometry(), below = table()->parentWidget()->geometry();
    const QSize inside = window->centralWidget()->size();
    QCOMPARE(QList<int>({window->width(), window->height(), top.x(), top.y(), top.height() >= 38,
                         top.width() - button()->sizeHint().width(), summary()->x() - top.right(),
                         summary()->textFormat(), below.y() - top.bottom(),
                         inside.width() - below.right(), inside.height() - below.bottom(),
                         table()->verticalHeader()->isVisible(), header->sectionResizeMode(0),
                         header->sectionResizeMode(1), header->sectionResizeMode(2),
                         header->stretchLastSection(), table()->font().pixelSize(),
                         detail()->contentsRect().x()}),
             QList<int>({1000, 750, 12, 12, 1, 0, 11, Qt::AutoText, 9, 13, 13, 0,
                         QHeaderView::ResizeToContents, QHeaderView::ResizeToContents,
                         QHeaderView::ResizeToContents, 1, 12, 9}));
}

void TestLogReaderWindow::columns_data()
{
    QTest::addColumn<QByteArray>("earlier"); // the log opened before the sample
    QTest::newRow("the sample and a sender of 1,800 bytes")
        << kSample + logRecord(1700000000, 8, 0, 0, QByteArray(1800, 's'), "hi");
    QTest::newRow("senders of colour emoji, measured from fewer rows")
        << logRecord(1700000000, 9, 0, 0, QByteArray("\xF0\x9F\x91\x8D").repeated(40), "hi")
               .repeated(30);
}

// The columns sized to their contents follow every opening: the sample opened after another log
// has the columns of the sample opened alone.
void TestLogReaderWindow::columns()
{
    QFETCH(QByteArray, earlier);
    const auto widths = [this] {
        QCoreApplication::processEvents(); // the header's sizing waits for the event loop
        QList<int> sizes;
        for (int column = 0; column < table()->columnCount(); ++column)
            sizes << table()->columnWidth(column);
        return sizes;
    };
    const QString sample = dir->filePath("chat.log"), other = dir->filePath("other.log");
    QVERIFY(writeFile(sample, kSample) && writeFile(other, earlier) && open(other));
    const QList<int> before = widths();
    QVERIFY(open(sample));
    const QList<int> after = widths();
    window = std::make_unique<MainWindow>();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()) && open(sample));
    QVERIFY(before != after);
    QCOMPARE(after, widths());
}

// The sample on screen: every row's text starts at the same x, selected, alternate or not, the
// window shows its colours and every text on it is readable; a click on any cell selects its row
// alone and shows its block; nothing opens an editor; a cancelled dialog changes nothing; an
// emptied table empties the pane.
void TestLogReaderWindow::sampleOnScreen()
{
    QHeaderView *header = table()->horizontalHeader();
    QVERIFY(writeFile(dir->filePath("chat.log"), kSample) && open(dir->filePath("chat.log")));
    QTableWidget *t = table();
    const QImage shot = window->grab().toImage();
    const auto colour = [&](QWidget *widget, const QPoint &at) {
        return QColor(shot.pixel(widget->mapTo(window.get(), at) * shot.devicePixelRatio())).name();
    };
    QStringList rows; // of each of the first rows: the background, where the text starts, contrast
    for (int row = 0; row < 4; ++row) {
        const QImage cell = t->viewport()->grab(t->visualRect(t->model()->index(row, 0))).toImage();
        // Set where the cell is not its background colour: where the text is.
        const QImage text = cell.createMaskFromColor(cell.pixel(0, 0), Qt::MaskInColor);
        rows << QStringLiteral("%1 at %2%3")
                    .arg(QColor(cell.pixel(0, 0)).name())
                    .arg(QRegion(QBitmap::fromImage(text)).boundingRect().x())
                    .arg(textContrast(cell) >= 4.5 ? "" : " unreadable");
    }
    const QString x = " at " + rows.at(0).section(' ', 2, 2);
    QCOMPARE(rows, QStringList({"#264f78" + x, "#2a2a2a" + x, "#1e1e1e" + x, "#2a2a2a" + x}));
    QCOMPARE(
        QStringList({colour(window->centralWidget(), {2, 2}), colour(header, {2, 2}),
                     colour(button(), {button()->width() / 2, 3}),
                     colour(detail()->viewport(), {2, 2}), colour(window->statusBar(), {2, 2})}),
        QStringList({"#2d2d2d", "#2d2d2d", "#2d6a9f", "#1e1e1e", "#252526"}));
    // Every other text on it is readable too: 4.5:1 against its background.
    for (QWidget *part :
         QList<QWidget *>{header->viewport(), detail()->viewport(), window->statusBar(), button()})
        QVERIFY2(textContrast(part->grab().toImage()) >= 4.5, part->metaObject()->className());
    QCOMPARE(t->item(0, 1)->textAlignment(), int(Qt::AlignCenter));

    for (const int row : {15, 4, 0, 9}) {
        const QModelIndex cell = t->model()->index(row, 3);
        t->scrollTo(cell);
        // With Ctrl held, a table that allowed it would add the row to the selection.
        QTest::mouseClick(t->viewport(), Qt::LeftButton, Qt::ControlModifier,
                          t->visualRect(cell).center());
        QCOMPARE(t->selectionModel()->selectedRows(), QModelIndexList{t->model()->index(row, 0)});
        QCOMPARE(pane(), kBlocks.at(row + 1) + '\n');
    }
    QTest::mouseDClick(t->viewport(), Qt::LeftButton, {},
                       t->visualRect(t->model()->index(9, 2)).center());
    QTest::keyClick(t, Qt::Key_X);
    QVERIFY(!t->findChild<QLineEdit *>());
    QVERIFY(!window->statusBar()->findChild<QLabel *>()->isVisible()); // gave way to the status
    const QString before = shown() + window->windowTitle() + status();
    QVERIFY(open(QString()));
    QCOMPARE(shown() + window->windowTitle() + status(), before);
    t->setRowCount(0);
    QCOMPARE(pane(), QString());
}

// Text whose layout would hold the window for seconds is shown cut, and says so; the items and
// the export keep it whole. Senders full of colour emoji size the column from fewer rows.
void TestLogReaderWindow::hostileText()
{
    const QString mixed = QString::fromUtf8("a\u0628").repeated(32750);
    const QString marks = QLatin1Char('a') + QString(QChar(0x0301)).repeated(1999);
    const QString longText(65535, QLatin1Char('t'));
    const QByteArray thumbs = QByteArray("\xF0\x9F\x91\x8D").repeated(40);
    const QString input = dir->filePath(QStringLiteral("hostile.log"));
    QVERIFY(writeFile(input, logRecord(1700000000, 8, 0, 0, mixed.toUtf8(), "hi") +
                                 logRecord(1700000000, 8, 1, 0, marks.toUtf8(), "ok") +
                                 logRecord(1700000000, 8, 1, 0, "Tom", longText.toLatin1()) +
                                 logRecord(1700000000, 9, 0, 0, thumbs, "hi").repeated(30)) &&
            open(input));
    // 25 rows of 40 emoji are within the budget of 1,024, the next one is not.
    QCOMPARE(table()->horizontalHeader()->resizeContentsPrecision(), 28);

    const QString more(QChar(0x2026));
    const QString cut =
        "[Cut for display. %1 characters shown. The export holds the whole message.]\n";
    // Row by row: the pane's first line, what the pane shows of the field, what the cell shows.
    const QList<QStringList> rows{
        {cut.arg("Sender: 4096 of 65500"), mixed.left(4096) + more + '\n', mixed.left(65) + more},
        {cut.arg("Sender: 32 of 2000"), marks.left(32) + more + '\n', marks.left(32) + more},
        {cut.arg("Text: 4096 of 65535"), "\u2502  " + longText.left(4096) + more + '\n', "Tom"}};
    auto *delegate = static_cast<QStyledItemDelegate *>(table()->itemDelegate());
    for (int row = 0; row < 3; ++row) {
        table()->selectRow(row);
        QVERIFY(pane().startsWith(rows[row][0]) && pane().contains(rows[row][1]));
        QCOMPARE(delegate->displayText(table()->item(row, 2)->text(), QLocale()), rows[row][2]);
    }
    QCOMPARE(table()->item(0, 2)->text(), mixed);
    const QString exported = QString::fromUtf8(readFile(dir->filePath("hostile_parsed.txt")));
    QVERIFY(exported.contains(mixed + '\n') && exported.contains(marks + '\n') &&
            exported.contains(longText + '\n'));
}

// More text than one opening keeps, far cheaper than the message limit's two million records:
// 151 records of a 1,000,000-byte body. The status says so whether the export is written or not,
// and so does the export's last line.
void TestLogReaderWindow::textBudget()
{
    const QString input = dir->filePath("big.log"), out = dir->filePath("big_parsed.txt");
    const QByteArray record = logRecord(1700000000, 8, 0, 0, QByteArray(999998, 's'), "hi");
    QVERIFY(writeFile(input, record.repeated(151)) && QDir().mkdir(out) && open(input));
    const QString limit = " Only the first 150 messages are shown; the log holds more.";
    QCOMPARE(status(), "Parsed 150 message(s). Could not save to " + out + limit);
    QVERIFY(QDir().rmdir(out) && open(input));
    QCOMPARE(status(), "Parsed 150 message(s). Saved to " + out + limit);
    QVERIFY(readFile(out).endsWith(
        "\n!!! Only the first 150 messages are listed; the log holds more. !!!\n"));
}

// Draws the window with the shipped sample loaded from a plain path, for the README.
void TestLogReaderWindow::screenshot()
{
    const QString target = qEnvironmentVariable("SCREENSHOT_DIR");
    if (target.isEmpty())
        QSKIP("SCREENSHOT_DIR is not set");
    const QString input = QStringLiteral("/tmp/tox-samples/chat.log");
    QVERIFY(QDir().mkpath(QStringLiteral("/tmp/tox-samples")) && writeFile(input, kSample) &&
            open(input));
    table()->selectRow(6);
    QVERIFY(window->grab().save(QDir(target).filePath(QStringLiteral("log_reader.png"))));
}

QTEST_MAIN(TestLogReaderWindow)
#include "tst_logreaderwindow.moc"
