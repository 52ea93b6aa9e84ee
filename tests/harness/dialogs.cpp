#include "dialogs.h"

#include <QApplication>
#include <QColor>
#include <QDialog>
#include <QFileDialog>
#include <QHash>
#include <QImage>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>

#include <cmath>

ModalDriver::ModalDriver()
{
    timer.setInterval(5);
    connect(&timer, &QTimer::timeout, this, &ModalDriver::poll);
    timer.start();
}

bool ModalDriver::click(QWidget *button)
{
    QTest::mouseClick(button, Qt::LeftButton);
    [&] {
        QVERIFY2(unexpected.isEmpty(), qPrintable(unexpected.join(QLatin1Char('\n'))));
        QVERIFY2(steps.empty(), "an expected dialog did not come up");
    }();
    return !QTest::currentTestFailed();
}

void ModalDriver::poll()
{
    QWidget *widget = QApplication::activeModalWidget();
    if (!widget || !widget->isVisible())
        return;
    // A dialog that a step left open for long is stuck: close it rather than wait for ever.
    if (widget == handled) {
        if (shownSince.hasExpired(10000)) {
            unexpected << QStringLiteral("a dialog stayed open: %1").arg(widget->windowTitle());
            close(widget);
        }
        return;
    }
    if (!steps.empty() && steps.front()(widget)) {
        steps.erase(steps.begin());
        // A check that failed inside the step left its dialog open: close it, or the test hangs.
        if (QTest::currentTestFailed() && widget->isVisible())
            close(widget);
        // A step that leaves its dialog open would otherwise run again on it.
        handled = widget->isVisible() ? widget : nullptr;
        shownSince.start();
        return;
    }
    handled = nullptr;
    unexpected << QStringLiteral("unexpected %1 \"%2\"")
                      .arg(QLatin1String(widget->metaObject()->className()), widget->windowTitle());
    if (auto *box = qobject_cast<QMessageBox *>(widget))
        unexpected << box->text();
    close(widget);
}

void ModalDriver::close(QWidget *widget)
{
    if (auto *dialog = qobject_cast<QDialog *>(widget))
        dialog->reject();
    else
        widget->close();
}

void chooseFile(QFileDialog *dialog, const QString &path, bool checked)
{
    dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"))->setText(path);
    if (checked)
        static_cast<QDialog *>(dialog)->accept(); // virtual: runs the file dialog's checks
    else
        dialog->QDialog::accept();
}

namespace
{

double luminance(QRgb rgb)
{
    const auto channel = [](int value) {
        const double c = value / 255.0;
        return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb)) +
           0.0722 * channel(qBlue(rgb));
}

double contrast(QRgb a, QRgb b)
{
    const double la = luminance(a);
    const double lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

} // namespace

double textContrast(const QImage &image)
{
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y) | 0xFF000000u];
    }
    QRgb background = 0;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it) {
        if (it.value() > counts.value(background))
            background = it.key();
    }
    double best = 1;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        best = std::max(best, contrast(background, it.key()));
    return best;
}
