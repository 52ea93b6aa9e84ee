// The table row of a message in the log window.
#pragma once

#include "messagelog.h"

#include <QList>

class QTableWidgetItem;

// The four new table items (Time, Dir, Sender, Message) of one message; the caller owns them
// until it hands them to a table.
QList<QTableWidgetItem *> messageRowItems(const LogMessage &message);
