#!/usr/bin/env bash
# Renders both windows with a file loaded and saves them as docs/*.png. The GUI test programs
# draw the real windows headless and save a picture when SCREENSHOT_DIR is set.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
build=${BUILD_DIR:-build}
mkdir -p docs
# A screen of 96 DPI, as the window tests draw (the offscreen screen of Qt 5 claims 100).
export QT_QPA_PLATFORM=offscreen QT_FONT_DPI=96 TZ=UTC SCREENSHOT_DIR="$PWD/docs"
"$build/tests/save_reader/tst_savereaderwindow" screenshot
"$build/tests/log_reader/tst_logreaderwindow" screenshot
ls -l docs/*.png
