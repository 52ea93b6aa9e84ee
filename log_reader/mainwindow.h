// The single window of log_reader: an open button with a one-line summary, the message table
// above the detail pane, and the status bar.
#pragma once

#include "messagelog.h"

struct FileIdentity;

#include <QList>
#include <QMainWindow>
#include <QString>

class QLabel;
class QPushButton;
class QTableWidget;
class QTextEdit;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The application-wide style sheet that main() installs.
    static QString applicationStyleSheet();

private slots:
    void onOpenFile();
    void onRowChanged(int currentRow, int, int, int);

private:
    // The steps of an opening: the error box, the table and summary, the export beside the input.
    void showOpenError(const QString &error);
    void showMessages(QList<LogMessage> decoded, int byteCount);
    void exportMessages(const QString &inputPath, const FileIdentity &input, bool limitReached);

    QPushButton *openButton = nullptr;
    QLabel *summaryLabel = nullptr;
    QLabel *statusLabel = nullptr;
    QTableWidget *messageTable = nullptr;
    QTextEdit *detailView = nullptr;
    QList<LogMessage> messages;
};
