#include "darktheme.h"
#include "fileio.h"
#include "mainwindow.h"

#include <QApplication>
#include <QCoreApplication>

int main(int argc, char *argv[])
{
    // Every message time is converted to local time through the C library, which checks the zone
    // file /etc/localtime again on each call while TZ is unset: three file-system calls per
    // message. Naming that same file gives the same local times without them.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");

    restrictWritesToOutputs();
    prepareScaling();
    QApplication app(argc, argv);
    applyDarkTheme(app);
    QCoreApplication::setApplicationName(QStringLiteral("ORVA Message Log Reader"));
    QCoreApplication::setOrganizationName(QStringLiteral("Brackwell"));
    app.setStyleSheet(MainWindow::applicationStyleSheet());
    MainWindow window;
    window.show();
    return app.exec();
}
