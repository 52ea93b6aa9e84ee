// The table cells of a message.
#include "messagerow.h"

#include <QTableWidgetItem>

namespace
{

// The Message cell: the first 80 UTF-16 code units of the text, followed by "..." when the text
// is longer. The item keeps the message's own string (shared, never copied) and makes the shown
// text when a view asks for it, which it does only for the rows it lays out: a table of a million
// rows would otherwise hold a second copy of the start of every long text, and a list of values
// per item. Once anything is set as its text, the item is a plain item.
class MessageTextItem : public QTableWidgetItem
{
public:
    explicit MessageTextItem(const QString &text) : text(text) {}

    QVariant data(int role) const override
    {
        if ((role == Qt::DisplayRole || role == Qt::EditRole) && !textSet())
            return shownText();
        return QTableWidgetItem::data(role);
    }

    void setData(int role, const QVariant &value) override
    {
        if (role == Qt::DisplayRole || role == Qt::EditRole)
            text = setMarker();
        QTableWidgetItem::setData(role, value);
    }

    QTableWidgetItem *clone() const override { return new MessageTextItem(*this); }

private:
    QString shownText() const
    {
        constexpr int previewLength = 80;
        if (text.size() <= previewLength)
            return text;
        QString preview;
        preview.reserve(previewLength + 3);
        preview.append(text.constData(), previewLength);
        preview += QLatin1String("...");
        return preview;
    }

    // What `text` holds once a text is set: a string whose storage no message's text shares. A
    // flag beside `text` would make each of a million items 16 bytes larger.
    static const QString &setMarker()
    {
        static const QString marker = QStringLiteral("set");
        return marker;
    }
    bool textSet() const { return text.constData() == setMarker().constData(); }

    QString text;
};

} // namespace

QList<QTableWidgetItem *> messageRowItems(const LogMessage &message)
{
    auto *time = new QTableWidgetItem(messageTimeText(message.timestamp));
    auto *direction = new QTableWidgetItem(directionLabel(message.direction));
    direction->setData(Qt::TextAlignmentRole, int(Qt::AlignHCenter | Qt::AlignVCenter));
    auto *sender = new QTableWidgetItem(message.sender);
    auto *text = new MessageTextItem(message.text);
    return {time, direction, sender, text};
}
