// The one window of save_reader: an open button above a read-only report pane, and a status bar.
#pragma once

#include <QMainWindow>

class QLabel;
class QTextEdit;

class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

    // The application-wide style sheet that main installs before the window is built.
    static QString applicationStyleSheet();

private slots:
    void onOpenFile();

private:
    QTextEdit *reportView = nullptr;
    QLabel *statusLabel = nullptr;
};
