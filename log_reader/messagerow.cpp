// The table cells of a message.
#include "messagerow.h"

#include <QTableWidgetItem>

QList<QTableWidgetItem *> messageRowItems(const LogMessage &message)
{
    constexpr int previewLength = 80;
    auto *time = new QTableWidgetItem(messageTimeText(message.timestamp));
    auto *direction = new QTableWidgetItem(directionLabel(message.direction));
    direction->setData(Qt::TextAlignmentRole, int(Qt::AlignHCenter | Qt::AlignVCenter));
    auto *sender = new QTableWidgetItem(message.sender);
    // A cut text gets a string of its exact size: the table keeps one for most messages.
    QString preview;
    if (message.text.size() > previewLength) {
        preview.reserve(previewLength + 3);
        preview.append(message.text.constData(), previewLength);
        preview += QLatin1String("...");
    } else {
        preview = message.text;
    }
    auto *text = new QTableWidgetItem(preview);
    return {time, direction, sender, text};
}
