// The local times of parsed messages against QDateTime in Qt::LocalTime (the C library's after
// 2037 on Qt 5), in the zone that TZ names: CTest runs this program once per zone.
#include "messagelog.h"
#include "testdata.h"

#include <QRandomGenerator>
#include <QtTest>

#include <algorithm>
#include <ctime>

using Times = QList<qint64>;

namespace
{

constexpr qint64 firstLater = 1680000000; // the times a record after the first may carry
constexpr qint64 lastLater = 1900000000;

// What the cells, the blocks, the summary and the JSON show of a time: the time text, the
// summary's text, the seconds since the epoch and the offset in minutes.
template <typename Time> QString shown(const Time &local, const QString &timeText)
{
    const qint64 secs = local.toSecsSinceEpoch();
    const qint64 wall = QDateTime(local.date(), local.time(), Qt::UTC).toSecsSinceEpoch();
    return timeText + QStringLiteral(" | %1 | %2 %3")
                          .arg(local.toString(QStringLiteral("dd.MM HH:mm")))
                          .arg(secs)
                          .arg((wall - secs) / 60);
}

QString expected(qint64 secs)
{
    QDateTime local = QDateTime::fromSecsSinceEpoch(secs, Qt::LocalTime, 0);
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    // After 2037 Qt 5 takes the rules of an earlier year; the C library and Qt 6 do not.
    const time_t seconds = time_t(secs);
    tm c{};
    if (secs > 2145916799 && localtime_r(&seconds, &c))
        local = QDateTime::fromSecsSinceEpoch(secs, Qt::OffsetFromUTC, int(c.tm_gmtoff));
#endif
    return shown(local, local.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")));
}

} // namespace

class TestLocalTime : public QObject
{
    Q_OBJECT

private slots:
    void localTimes_data();
    void localTimes();
};

void TestLocalTime::localTimes_data()
{
    QTest::addColumn<Times>("times");
    QTest::addColumn<bool>("eachFirst"); // each time as the first record of a log of its own
    Times hours;
    Times aroundChanges; // every second of each hour in which the offset changes, and back
    for (qint64 t = firstLater; t + 3600 <= lastLater; t += 3600) {
        hours << t;
        if (expected(t).section(' ', -1) != expected(t + 3600).section(' ', -1)) {
            for (qint64 second = t; second <= t + 3600; ++second)
                aroundChanges << second << t - 21601 + second % 3;
        }
    }
    Times descending = hours;
    std::reverse(descending.begin(), descending.end());
    Times shuffled = hours;
    std::shuffle(shuffled.begin(), shuffled.end(), *QRandomGenerator::global());
    Times sparse; // a little less or more than six hours apart
    for (qint64 t = firstLater; t <= lastLater; t += 21599 + t % 3)
        sparse << t;
    // The first record carries any time: 1970 to 1986 month by month (historic offsets), the end
    // of the signed 32-bit seconds, and the last unsigned one.
    Times first{2145916799, 2145916800, 2147483647, 2147483648, 2163036048, 4102444800, 4294967295};
    for (qint64 t = 0; t < 500000000; t += 2629746)
        first << t << t + 1;
    QTest::newRow("every hour, ascending") << hours << false;
    QTest::newRow("every hour, descending") << descending << false;
    QTest::newRow("every hour, in random order") << shuffled << false;
    QTest::newRow("each second of each change of offset") << aroundChanges << false;
    QTest::newRow("about six hours apart") << sparse << false;
    QTest::newRow("first records") << first << true;
}

void TestLocalTime::localTimes()
{
    QFETCH(Times, times);
    QFETCH(bool, eachFirst);
    QList<QByteArray> logs{{}};
    QStringList wanted;
    for (const qint64 t : times) {
        logs.last() += logRecord(quint32(t), 8, 0, 0, "a", "b");
        wanted << expected(t);
        if (eachFirst) {
            logs.last() += logRecord(quint32(firstLater), 8, 0, 0, "a", "b");
            logs << QByteArray();
            wanted << expected(firstLater);
        }
    }
    QStringList got;
    for (const QByteArray &log : logs) {
        for (const LogMessage &message : parseMessageLog(log).messages)
            got << shown(message.timestamp, messageTimeText(message.timestamp));
    }
    QCOMPARE(got, wanted);
}

QTEST_GUILESS_MAIN(TestLocalTime)
#include "tst_localtime.moc"
