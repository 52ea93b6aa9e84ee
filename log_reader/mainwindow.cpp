#include "mainwindow.h"

#include "fileio.h"
#include "messagerow.h"
#include "parsedlog.h"

#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QCoreApplication>
#include <QFileDialog>
#include <QFont>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTableWidgetItem>
#include <QTextEdit>
#include <QVBoxLayout>
#include <QWidget>

#include <utility>

namespace
{

// Draws and measures the table's cells from cellText: the start of a text whose layout would take
// long (a sender can be a megabyte long, or thousands of combining marks on one letter), followed
// by an ellipsis. Qt lays out the text of a cell to size a column to its contents, on up to a
// thousand rows, and again to draw it. Every other text is drawn and measured as it is. The items
// themselves keep their whole text.
class CellTextDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QString displayText(const QVariant &value, const QLocale &locale) const override
    {
        return cellText(QStyledItemDelegate::displayText(value, locale));
    }
};

// How many rows the table lays out to size its columns to their contents: Qt's default of a
// thousand, fewer when their senders hold so many colour emoji that this would take long (Qt
// decodes each one's bitmap again every time). The rows shown are always measured.
int rowsToMeasure(const QList<LogMessage> &messages)
{
    constexpr int defaultRows = 1000;
    constexpr int pictographBudget = 1024;
    int pictographs = 0;
    for (int row = 0; row < qMin(messages.size(), defaultRows); ++row) {
        pictographs += shownStart(messages.at(row).sender, cellLimits).pictographs;
        if (pictographs > pictographBudget)
            return row;
    }
    return defaultRows;
}

// The wait cursor over the application while an opening reads, decodes, shows and exports a log,
// so that a long opening does not look like a hang. Restored when the opening ends, or earlier
// by restore(), before a message box that waits for the user.
class WaitCursor
{
public:
    WaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~WaitCursor() { restore(); }
    WaitCursor(const WaitCursor &) = delete;
    WaitCursor &operator=(const WaitCursor &) = delete;

    void restore()
    {
        if (active)
            QApplication::restoreOverrideCursor();
        active = false;
    }

private:
    bool active = true;
};

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("ORVA Message Log Reader"));
    resize(1000, 750);

    auto *central = new QWidget(this);
    auto *mainLayout = new QVBoxLayout(central);
    mainLayout->setContentsMargins(12, 12, 12, 12);
    mainLayout->setSpacing(8);

    auto *topRow = new QHBoxLayout();
    topRow->setSpacing(10);

    openButton = new QPushButton(QStringLiteral("\U0001F4C2 Open ORVA Log..."));
    openButton->setMinimumHeight(38);
    openButton->setStyleSheet(QStringLiteral("QPushButton {  background-color: #2d6a9f;  color: "
                                             "white;  border: none;  border-radius: 6px;  "
                                             "padding: 8px 22px;  font-size: 14px;  font-weight: "
                                             "bold;}QPushButton:hover {  background-color: "
                                             "#1d5a8f;}QPushButton:pressed {  background-color: "
                                             "#0d4a7f;}"));

    summaryLabel = new QLabel(QStringLiteral("<span style='color:#999;'>No file loaded</span>"));

    topRow->addWidget(openButton);
    topRow->addWidget(summaryLabel, 1);
    mainLayout->addLayout(topRow);

    auto *splitter = new QSplitter(Qt::Vertical);

    messageTable = new QTableWidget(0, 4);
    messageTable->setHorizontalHeaderLabels({QStringLiteral("Time"), QStringLiteral("Dir"),
                                             QStringLiteral("Sender"), QStringLiteral("Message")});
    QHeaderView *header = messageTable->horizontalHeader();
    header->setStretchLastSection(true);
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    messageTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    messageTable->setSelectionMode(QAbstractItemView::SingleSelection);
    messageTable->setAlternatingRowColors(true);
    messageTable->verticalHeader()->setVisible(false);
    messageTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    messageTable->setItemDelegate(new CellTextDelegate(messageTable));
    messageTable->setStyleSheet(QStringLiteral(
        "QTableWidget {  background-color: #1e1e1e;  color: #d4d4d4;  border: 1px solid #3c3c3c;  "
        "border-radius: 4px;  gridline-color: #333333;  font-size: 12px;}QTableWidget::item { "
        "padding: 4px 8px; background-color: #1e1e1e; }QTableWidget::item:alternate { "
        "background-color: #2a2a2a; "
        "}QHeaderView::section {  background-color: #2d2d2d;  color: #cccccc;  padding: 6px;  "
        "border: 1px solid #3c3c3c;  font-weight: bold;}QTableWidget::item:selected {  "
        "background-color: #264f78;}"));

    detailView = new QTextEdit();
    detailView->setReadOnly(true);
    detailView->setFont(QFont(QStringLiteral("Courier New"), 10));
    detailView->setStyleSheet(
        QStringLiteral("QTextEdit {  background-color: #1e1e1e;  color: #d4d4d4;  border: 1px "
                       "solid #3c3c3c;  border-radius: 4px;  padding: 8px;}QTextEdit:focus {  "
                       "border-color: #2d6a9f;}"));

    splitter->addWidget(messageTable);
    splitter->addWidget(detailView);
    splitter->setStretchFactor(0, 3);
    splitter->setStretchFactor(1, 2);
    mainLayout->addWidget(splitter, 1);

    setCentralWidget(central);

    statusLabel = new QLabel(QStringLiteral("Ready. Open an ORVA message log file to begin."));
    statusBar()->addWidget(statusLabel);

    connect(openButton, &QPushButton::clicked, this, &MainWindow::onOpenFile);
    connect(messageTable, &QTableWidget::currentCellChanged, this, &MainWindow::onRowChanged);
}

MainWindow::~MainWindow() = default;

QString MainWindow::applicationStyleSheet()
{
    return QStringLiteral("QMainWindow { background-color: #2d2d2d; }QStatusBar { "
                          "background-color: #252526; color: #cccccc; }QLabel { color: #cccccc; "
                          "}QSplitter::handle { background-color: #3c3c3c; height: 2px; }");
}

void MainWindow::onRowChanged(int currentRow, int, int, int)
{
    if (currentRow < 0 || currentRow >= messages.size()) {
        detailView->clear();
        return;
    }
    // paneBlock leaves out what would take long to lay out: every block wraps at the pane's width.
    detailView->setPlainText(paneBlock(messages.at(currentRow), currentRow + 1));
}

void MainWindow::onOpenFile()
{
    // Qt's own dialog: a desktop's dialog (GTK, KDE) records the opened file in its recent files.
    const QString inputPath = QFileDialog::getOpenFileName(
        this, QStringLiteral("Select ORVA Message Log"), QString(),
        QStringLiteral("All Files (*);;Text Files (*.txt);;Tox Files (*.tox)"), nullptr,
        QFileDialog::DontUseNativeDialog);
    if (inputPath.isEmpty())
        return;

    setWindowTitle(QStringLiteral("ORVA Message Log Reader \u2014 %1").arg(inputPath));
    // Set before the status is painted: the events run next also show the cursor.
    WaitCursor waitCursor;
    statusBar()->showMessage(QStringLiteral("Parsing %1...").arg(inputPath), 0);
    QCoreApplication::processEvents();

    InputFile input = readInputFile(inputPath);
    LogParseResult outcome;
    if (input.error.isEmpty())
        outcome = parseMessageLog(input.data);
    else
        outcome.error = input.error;
    const int byteCount = input.data.size();
    input.data = QByteArray(); // the messages hold all that is shown from here on

    if (!outcome.error.isEmpty()) {
        waitCursor.restore();
        showOpenError(outcome.error);
        return;
    }
    showMessages(std::move(outcome.messages), byteCount);
    exportMessages(inputPath, input.identity, outcome.limitReached);
}

void MainWindow::showOpenError(const QString &error)
{
    // Plain text: a file name is shown as it is, never interpreted as markup.
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Parse Error"), error, QMessageBox::Ok,
                    this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    statusBar()->showMessage(QStringLiteral("Error: %1").arg(error), 0);
}

void MainWindow::showMessages(QList<LogMessage> decoded, int byteCount)
{
    messages = std::move(decoded);
    const int count = messages.size();
    messageTable->setRowCount(0);
    messageTable->setRowCount(count);
    {
        // Each setItem makes the model report the changed cell to the view, the two headers and
        // the table's own cellChanged/itemChanged signals, which nothing here listens to: one
        // notice after the fill stands for them all. When assistive technology is active, the
        // changes are reported cell by cell.
        QAbstractItemModel *model = messageTable->model();
        const QSignalBlocker blocker(QAccessible::isActive() ? nullptr : model);
        for (int row = 0; row < count; ++row) {
            const QList<QTableWidgetItem *> items = messageRowItems(messages.at(row));
            for (int column = 0; column < items.size(); ++column)
                messageTable->setItem(row, column, items.at(column));
        }
    }

    // The one notice of all the new cells: the columns sized to their contents follow them (the
    // header measures them from the rows shown and resizeContentsPrecision more), and so does
    // the view.
    messageTable->horizontalHeader()->setResizeContentsPrecision(rowsToMeasure(messages));
    if (count > 0) {
        QAbstractItemModel *model = messageTable->model();
        emit model->dataChanged(model->index(0, 0),
                                model->index(count - 1, model->columnCount() - 1));
    }

    if (count > 0) {
        const QString timeFormat = QStringLiteral("dd.MM HH:mm");
        summaryLabel->setText(
            QStringLiteral("<span style='color:#aaa;'><b>%1</b> messages &nbsp;|&nbsp; "
                           "<b>%2</b> &nbsp;\u2192&nbsp; <b>%3</b> &nbsp;|&nbsp; File: %4 "
                           "bytes</span>")
                .arg(QString::number(count), messages.first().timestamp.toString(timeFormat),
                     messages.last().timestamp.toString(timeFormat), QString::number(byteCount)));
    }
    messageTable->selectRow(0);
}

void MainWindow::exportMessages(const QString &inputPath, const FileIdentity &input,
                                bool limitReached)
{
    const QString outputPath = outputPathFor(inputPath, QStringLiteral("_parsed.txt"));
    const WriteStatus written = writeOutputFile(outputPath, input, [&](const ByteSink &sink) {
        return writeParsedLog(sink, inputPath, messages, limitReached);
    });
    // Every outcome also says when the log was cut short.
    statusBar()->showMessage(parsedLogStatus(written, messages.size(), outputPath, limitReached),
                             0);
}
