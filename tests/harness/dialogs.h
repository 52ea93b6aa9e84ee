// Drives the modal dialogs a window opens (the file dialog, a message box) from a test. Every
// dialog the test did not expect is closed and reported, so a wrong path through a slot fails the
// test instead of hanging it.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <vector>

class QFileDialog;
class QImage;
class QWidget;

class ModalDriver : public QObject
{
public:
    ModalDriver();

    // The next modal widget is expected to be a T; `step` runs on it.
    template <typename T> void on(std::function<void(T *)> step)
    {
        steps.push_back([step](QWidget *widget) {
            auto *typed = qobject_cast<T *>(widget);
            if (typed)
                step(typed);
            return typed != nullptr;
        });
    }

    // Clicks `button` and waits for it to return; false (after failing the running test) when a
    // step did not run or an unexpected dialog came up.
    bool click(QWidget *button);

    QStringList unexpected;

private:
    void poll();
    static void close(QWidget *widget);

    QTimer timer;
    std::vector<std::function<bool(QWidget *)>> steps;
    QPointer<QWidget> handled;
    QElapsedTimer shownSince;
};

// Types `path` into the file dialog and accepts it as its Open button does. Unchecked, the dialog
// is closed as accepted without its own checks, as a platform dialog may hand back a folder.
void chooseFile(QFileDialog *dialog, const QString &path, bool checked = true);

// The contrast ratio (1 to 21) between the most common colour of `image` (its background) and
// the colour that differs most from it (its text).
double textContrast(const QImage &image);
