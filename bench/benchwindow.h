// What the window benchmarks share: opening a file in the real log_reader window through its real
// file dialog, and the process's peak memory.
#pragma once

#include "mainwindow.h"

#include <functional>

// Presses open through the slot, answers the real file dialog with `path`, runs `afterSlot` once
// the slot has returned (the events that show the result), and returns the nanoseconds from the
// dialog's acceptance until then; -1 when no dialog came up.
qint64 openThroughDialog(MainWindow &window, const QString &path,
                         const std::function<void()> &afterSlot);

// The peak resident memory of this process so far, in KiB.
long maxRssKiB();
