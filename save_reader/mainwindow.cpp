#include "mainwindow.h"

#include "savefile.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSaveFile>
#include <QStatusBar>
#include <QTextEdit>
#include <QVBoxLayout>

namespace
{

enum class SaveOutcome { Saved, IsInput, Failed };

// True when `outputPath` names the file at `inputPath`, also through a symbolic link or a
// different spelling of the same path. An output that does not exist yet is not the input.
bool isSameFile(const QString &outputPath, const QString &inputPath)
{
    const QFileInfo output(outputPath);
    const QFileInfo input(inputPath);
    if (output.absoluteFilePath() == input.absoluteFilePath())
        return true;
    const QString outputCanonical = output.canonicalFilePath();
    return !outputCanonical.isEmpty() && outputCanonical == input.canonicalFilePath();
}

// Writes the report as UTF-8 through a temporary file that replaces the output only once it has
// been written whole, so an existing output survives any failure unchanged. The input itself is
// never written.
SaveOutcome saveReport(const QString &report, const QString &outputPath, const QString &inputPath)
{
    if (isSameFile(outputPath, inputPath))
        return SaveOutcome::IsInput;

    QSaveFile file(outputPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return SaveOutcome::Failed;
    const QByteArray bytes = report.toUtf8();
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return SaveOutcome::Failed;
    }
    return file.commit() ? SaveOutcome::Saved : SaveOutcome::Failed;
}

} // namespace

MainWindow::MainWindow(QWidget *parent) : QMainWindow(parent)
{
    setWindowTitle(QStringLiteral("Vantreel"));
    resize(900, 700);

    auto *central = new QWidget;
    auto *column = new QVBoxLayout(central);
    auto *buttonRow = new QHBoxLayout;

    auto *openButton = new QPushButton(QStringLiteral("Open Tox File..."));
    openButton->setMinimumHeight(36);
    openButton->setStyleSheet(QStringLiteral("QPushButton {  background-color: #2d6a9f;  "
                                             "color: white;  border: none;  border-radius: 6px;  "
                                             "padding: 8px 20px;  font-size: 14px;  font-weight: "
                                             "bold;}QPushButton:hover {  background-color: "
                                             "#1d5a8f;}QPushButton:pressed {  background-color: "
                                             "#0d4a7f;}"));
    buttonRow->addWidget(openButton);
    buttonRow->addStretch(0);
    column->addLayout(buttonRow);

    reportView = new QTextEdit;
    reportView->setReadOnly(true);
    reportView->setFont(QFont(QStringLiteral("Courier New"), 10));
    reportView->setStyleSheet(QStringLiteral("QTextEdit {  background-color: #1e1e1e;  color: "
                                             "#d4d4d4;  border: 1px solid #3c3c3c;  "
                                             "border-radius: 4px;  padding: 8px;}"));
    column->addWidget(reportView);

    setCentralWidget(central);

    statusLabel = new QLabel(QStringLiteral("Ready. Click 'Open Tox File...' to begin."));
    statusBar()->addWidget(statusLabel);

    connect(openButton, &QPushButton::clicked, this, &MainWindow::onOpenFile);
}

MainWindow::~MainWindow() = default;

QString MainWindow::applicationStyleSheet()
{
    return QStringLiteral("QMainWindow { background-color: #2d2d2d; }QStatusBar { "
                          "background-color: #252526; color: #cccccc; }QLabel { color: #cccccc; }");
}

void MainWindow::onOpenFile()
{
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Select Tox Save File"), QString(),
                                     QStringLiteral("Tox Save Files (*.tox);;All Files (*)"));
    if (path.isEmpty())
        return;

    statusBar()->showMessage(QStringLiteral("Parsing %1...").arg(path), 0);
    QCoreApplication::processEvents();

    const ParseResult result = parseSaveFile(path);
    if (!result.success && !result.error.isEmpty()) {
        // Built by hand rather than with QMessageBox::critical so that a file name holding
        // markup is shown as the characters it is made of.
        QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), result.error,
                        QMessageBox::Ok, this);
        box.setTextFormat(Qt::PlainText);
        box.exec();
        statusBar()->showMessage(QStringLiteral("Error: %1").arg(result.error), 0);
        return;
    }

    reportView->setPlainText(result.report);

    const QFileInfo input(path);
    const QString outputPath =
        input.absolutePath() + QLatin1Char('/') + input.completeBaseName() + QStringLiteral(".txt");
    switch (saveReport(result.report, outputPath, path)) {
    case SaveOutcome::Saved:
        statusBar()->showMessage(QStringLiteral("Parsed and saved to %1").arg(outputPath), 0);
        break;
    case SaveOutcome::IsInput:
        statusBar()->showMessage(
            QStringLiteral("Parsed but could not save to %1 (it is the input file)")
                .arg(outputPath),
            0);
        break;
    case SaveOutcome::Failed:
        statusBar()->showMessage(QStringLiteral("Parsed but could not save to %1").arg(outputPath),
                                 0);
        break;
    }
}
