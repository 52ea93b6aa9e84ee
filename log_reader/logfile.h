#pragma once
#include <QByteArray>
#include <QString>

// Reads the whole log file at `path` into `content`. Returns an empty string on success and the
// error text otherwise.
QString readLogFile(const QString &path, QByteArray &content);
