// The local times of parsed messages against QDateTime in Qt::LocalTime, in the zone that TZ
// names: CTest runs this program once per zone. Every text that shows a time is made of the
// local date and time, the seconds since the epoch and the offset between them.
#include "messagelog.h"
#include "testdata.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>

using Times = QList<qint64>;

namespace
{

// The times a record after the first may carry.
constexpr qint64 firstLater = 1680000000;
constexpr qint64 lastLater = 1900000000;

QString line(qint64 secs, const QString &text, const QString &summary, const QDate &date,
             const QTime &time, qint64 epoch)
{
    const qint64 wall = QDateTime(date, time, Qt::UTC).toSecsSinceEpoch();
    return QStringLiteral("%1: %2 | %3 | %4 %5")
        .arg(secs)
        .arg(text, summary)
        .arg(epoch)
        .arg((wall - epoch) / 60);
}

// What QDateTime in local time shows of `secs`.
QString expected(qint64 secs)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(secs, Qt::LocalTime, 0);
    return line(secs, local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                local.toString(QStringLiteral("dd.MM HH:mm")), local.date(), local.time(),
                local.toSecsSinceEpoch());
}

QString shown(const LocalTimestamp &timestamp)
{
    return line(timestamp.toSecsSinceEpoch(), messageTimeText(timestamp),
                timestamp.toString(QStringLiteral("dd.MM HH:mm")), timestamp.date(),
                timestamp.time(), timestamp.toSecsSinceEpoch());
}

qint64 offsetAt(qint64 secs)
{
    const QDateTime local = QDateTime::fromSecsSinceEpoch(secs, Qt::LocalTime, 0);
    return QDateTime(local.date(), local.time(), Qt::UTC).toSecsSinceEpoch() - secs;
}

// The first second of every offset of the zone within the times of later records.
Times changesOfOffset()
{
    Times changes;
    for (qint64 hour = firstLater; hour + 3600 <= lastLater; hour += 3600) {
        if (offsetAt(hour) == offsetAt(hour + 3600))
            continue;
        qint64 before = hour;
        qint64 after = hour + 3600;
        while (after - before > 1) {
            const qint64 middle = (before + after) / 2;
            (offsetAt(middle) == offsetAt(before) ? before : after) = middle;
        }
        changes << after;
    }
    return changes;
}

Times every(qint64 step)
{
    Times times;
    for (qint64 t = firstLater; t <= lastLater; t += step)
        times << t;
    return times;
}

} // namespace

class TestLocalTime : public QObject
{
    Q_OBJECT

private slots:
    void laterRecords_data();
    void laterRecords();
    void firstRecord_data();
    void firstRecord();
};

void TestLocalTime::laterRecords_data()
{
    QTest::addColumn<Times>("times");
    const Times hours = every(3600);
    const Times changes = changesOfOffset();
    Times descending = every(3 * 3600);
    std::reverse(descending.begin(), descending.end());
    Times shuffled = every(3 * 3600 + 1);
    std::shuffle(shuffled.begin(), shuffled.end(), *QRandomGenerator::global());
    Times aroundChanges;
    for (const qint64 change : changes) {
        for (qint64 t = change - 3; t <= change + 3; ++t)
            aroundChanges << t;
    }
    Times acrossChanges; // back and forth over each change, by up to eight hours
    for (const qint64 change : changes) {
        for (const qint64 step : {1, 59, 1799, 3600, 21599, 21600, 21601, 28800})
            acrossChanges << change - step << change + step - 1 << change;
    }
    Times sparse; // a little less or more than six hours apart
    for (qint64 t = firstLater; t <= lastLater; t += 21599 + t % 3)
        sparse << t;
    QTest::newRow("every hour, ascending") << hours;
    QTest::newRow("every three hours, descending") << descending;
    QTest::newRow("every three hours, in random order") << shuffled;
    QTest::newRow("three seconds each side of each change") << aroundChanges;
    QTest::newRow("back and forth over each change") << acrossChanges;
    QTest::newRow("about six hours apart") << sparse;
}

void TestLocalTime::laterRecords()
{
    QFETCH(Times, times);
    QByteArray log;
    QStringList wanted;
    for (const qint64 t : times) {
        log += logRecord(quint32(t), 8, 0, 0, "a", "b");
        wanted << expected(t);
    }
    const QList<LogMessage> messages = parseMessageLog(log).messages;
    QStringList got;
    for (const LogMessage &message : messages)
        got << shown(message.timestamp);
    QCOMPARE(got, wanted);
}

void TestLocalTime::firstRecord_data()
{
    // The first record carries any time: the 1970s and 1980s month by month (historic offsets),
    // the end of the signed 32-bit seconds and the last unsigned one.
    QTest::addColumn<Times>("times");
    Times historic;
    for (qint64 t = 0; t < 500000000; t += 2629746)
        historic << t << t + 1;
    QTest::newRow("1970 to 1985") << historic;
    QTest::newRow("2037 to 2106") << Times{
        2145916799, 2145916800, 2147483647, 2147483648, 2147483648 + 15552000,
        4102444800, 4294967295};
}

void TestLocalTime::firstRecord()
{
    QFETCH(Times, times);
    for (const qint64 t : times) {
        const QList<LogMessage> messages =
            parseMessageLog(logRecord(quint32(t), 8, 0, 0, "a", "b") +
                            logRecord(firstLater, 8, 0, 0, "a", "b"))
                .messages;
        QCOMPARE(messages.size(), 2);
        QCOMPARE(shown(messages.first().timestamp), expected(t));
        QCOMPARE(shown(messages.last().timestamp), expected(firstLater));
    }
}

QTEST_GUILESS_MAIN(TestLocalTime)
#include "tst_localtime.moc"
