#include "mainwindow.h"

#include <QApplication>
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("ORVA Message Log Reader"));
    QCoreApplication::setOrganizationName(QStringLiteral("Brackwell"));
    app.setStyleSheet(MainWindow::applicationStyleSheet());
    MainWindow window;
    window.show();
    return app.exec();
}
