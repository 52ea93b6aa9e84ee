// The look both windows share beyond their own style sheets: Qt's Fusion style with a dark
// palette, so that the dialogs, message boxes, scroll bars and tooltips that the sheets do not
// reach are dark too, and every text on them is readable.
#pragma once

class QApplication;

// Call in main right after the application object exists, before its style sheet is set.
void applyDarkTheme(QApplication &app);
