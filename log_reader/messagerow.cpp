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
    QString preview = message.text.left(previewLength);
    if (message.text.size() > previewLength)
        preview += QStringLiteral("...");
    auto *text = new QTableWidgetItem(preview);
    return {time, direction, sender, text};
}
