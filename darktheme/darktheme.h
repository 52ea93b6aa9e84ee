// The look both windows share beyond their own style sheets: Qt's Fusion style with a dark
// palette, so that the dialogs, message boxes, scroll bars and tooltips that the sheets do not
// reach are dark too, and every text on them is readable.
#pragma once

class QApplication;

// Call in main before the application object exists (a test: in its initMain). Qt 6 always draws
// windows at the screen's scale, a fractional one as it is (150 % stays 1.5) and with pixmaps at
// full resolution; Qt 5 is set to do the same, so that a window looks the same on both at the
// same scale.
void prepareScaling();

// Call in main right after the application object exists, before its style sheet is set.
void applyDarkTheme(QApplication &app);
