#!/usr/bin/env bash
# Renders both windows with a file loaded and saves them as docs/*.png. The GUI test programs
# draw the real windows headless and save a picture when SCREENSHOT_DIR is set.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh >/dev/null
build=${BUILD_DIR:-build}
mkdir -p docs
export QT_QPA_PLATFORM=offscreen TZ=UTC SCREENSHOT_DIR="$PWD/docs"
"$build/tests/save_reader/tst_savereaderwindow" screenshot
"$build/tests/log_reader/tst_logreaderwindow" screenshot
ls -l docs/*.png
