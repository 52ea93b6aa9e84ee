// save_reader: shows a Tox save file as a text report and saves the report beside it.
#include "darktheme.h"
#include "fileio.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    restrictWritesToOutputs();
    prepareScaling();
    QApplication app(argc, argv);
    applyDarkTheme(app);
    QCoreApplication::setApplicationName(QStringLiteral("Vantreel"));
    app.setStyleSheet(MainWindow::applicationStyleSheet());

    MainWindow window;
    window.show();
    return app.exec();
}
