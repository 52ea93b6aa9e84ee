#include "mainwindow.h"

#include "fileio.h"
#include "savefile.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QTextEdit>
#include <QVBoxLayout>

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
    // Qt's own dialog: a desktop's dialog (GTK, KDE) records the opened file in its recent files.
    const QString path =
        QFileDialog::getOpenFileName(this, QStringLiteral("Select Tox Save File"), QString(),
                                     QStringLiteral("Tox Save Files (*.tox);;All Files (*)"),
                                     nullptr, QFileDialog::DontUseNativeDialog);
    if (path.isEmpty())
        return;

    statusBar()->showMessage(QStringLiteral("Parsing %1...").arg(path), 0);
    QCoreApplication::processEvents();

    // The input is read here rather than by parseSaveFile, so that the output can be checked
    // against the very file that was read.
    const InputFile input = readInputFile(path);
    ParseResult result;
    if (input.error.isEmpty())
        result = parseSaveData(input.data, path);
    else
        result.error = input.error;
    if (!result.success) {
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

    const QString outputPath = outputPathFor(path, QStringLiteral(".txt"));
    const WriteStatus written = writeOutputFile(outputPath, input.identity, result.report.toUtf8());
    statusBar()->showMessage(saveWriteStatus(written, outputPath), 0);
}
