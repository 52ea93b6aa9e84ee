// Checks that the timestamps parseMessageLog builds are exactly the values
// QDateTime::fromSecsSinceEpoch(time, Qt::LocalTime, 0) gives, in zones with daylight saving,
// half-hour and two-hour shifts, a negative shift, abolished daylight saving and Ramadan breaks:
// same representation, same text, same instant, equal. Times run up, down, at random and in
// one-second steps across every change of offset in the years a log may hold.
//   check_localtime           checks every zone below, each in a process of its own
//   check_localtime ZONE      checks one zone ("" for the system's own)
#include "messagelog.h"

#include <QCoreApplication>
#include <QProcess>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <utility>
#include <vector>

namespace
{

constexpr quint32 firstTime = 1680000000u;
constexpr quint32 lastTime = 1900000000u;

QByteArray record(quint32 time)
{
    uchar header[16] = {};
    qToLittleEndian<quint32>(time, header);
    qToLittleEndian<quint16>(8, header + 8);
    qToLittleEndian<quint16>(1, header + 10);
    return QByteArray(reinterpret_cast<const char *>(header), 16) + "st";
}

// Parses one log of these times and compares every timestamp with Qt's own conversion.
int compare(const std::vector<quint32> &times, const char *what)
{
    QByteArray log;
    log.reserve(int(times.size()) * 18);
    for (quint32 time : times)
        log += record(time);
    const QList<LogMessage> messages = parseMessageLog(log).messages;
    if (messages.size() != int(times.size())) {
        std::printf("  %s: %d messages instead of %zu\n", what, messages.size(), times.size());
        return 1;
    }
    const QString format = QStringLiteral("yyyy-MM-dd HH:mm:ss t");
    int failures = 0;
    for (int i = 0; i < messages.size(); ++i) {
        const QDateTime &got = messages.at(i).timestamp;
        const QDateTime want = QDateTime::fromSecsSinceEpoch(times[size_t(i)], Qt::LocalTime, 0);
        quint64 gotBits = 0;
        quint64 wantBits = 0;
        std::memcpy(&gotBits, static_cast<const void *>(&got), sizeof gotBits);
        std::memcpy(&wantBits, static_cast<const void *>(&want), sizeof wantBits);
        if (gotBits != wantBits || got != want || got.timeSpec() != Qt::LocalTime ||
            got.toSecsSinceEpoch() != want.toSecsSinceEpoch() ||
            got.offsetFromUtc() != want.offsetFromUtc() ||
            got.toString(format) != want.toString(format)) {
            if (failures++ < 5)
                std::printf("  %s: time %u gives %s, Qt gives %s\n", what, times[size_t(i)],
                            qPrintable(got.toString(format)), qPrintable(want.toString(format)));
        }
    }
    return failures;
}

int checkZone()
{
    // Every change of offset in the window, found to the second.
    std::vector<qint64> changes;
    const auto offsetAt = [](qint64 t) {
        const QDateTime value = QDateTime::fromSecsSinceEpoch(t, Qt::LocalTime, 0);
        return std::make_pair(value.offsetFromUtc(), value.isDaylightTime());
    };
    for (qint64 t = firstTime; t + 3600 <= lastTime; t += 3600) {
        if (offsetAt(t) == offsetAt(t + 3600))
            continue;
        qint64 lo = t;
        qint64 hi = t + 3600;
        while (hi - lo > 1) {
            const qint64 mid = (lo + hi) / 2;
            (offsetAt(mid) == offsetAt(lo) ? lo : hi) = mid;
        }
        changes.push_back(hi);
    }

    int failures = 0;
    std::mt19937 random(42);
    std::vector<quint32> times;

    // One-second steps up, then down, across each change; then steps of a few minutes.
    for (qint64 change : changes) {
        for (int step : {1, 7, 61, 997}) {
            times.clear();
            const qint64 span = step == 1 ? 3600 : 3 * 3600;
            for (qint64 t = change - span; t <= change + span; t += step)
                times.push_back(quint32(t));
            failures += compare(times, "up across a change");
            std::reverse(times.begin(), times.end());
            failures += compare(times, "down across a change");
        }
    }
    // Random walks with steps of up to a day either way, and times anywhere in the window.
    for (int walk = 0; walk < 20; ++walk) {
        times.clear();
        qint64 t = firstTime + qint64(random() % (lastTime - firstTime));
        for (int i = 0; i < 20000; ++i) {
            t += qint64(random() % 172801) - 86400;
            t = qBound<qint64>(firstTime, t, lastTime);
            times.push_back(quint32(t));
        }
        failures += compare(times, "random walk");
    }
    times.clear();
    for (int i = 0; i < 100000; ++i)
        times.push_back(firstTime + quint32(random() % (lastTime - firstTime + 1)));
    failures += compare(times, "anywhere in the window");
    // The first record may carry any time at all.
    for (quint32 first : {0u, 1u, 86399u, 1000000000u, 2147483647u, 2147483648u, 4294967295u}) {
        times = {first, firstTime, lastTime};
        failures += compare(times, "first record");
    }
    std::printf("%-22s %3zu changes of offset, %s\n",
                qEnvironmentVariableIsSet("TZ") ? qPrintable(qEnvironmentVariable("TZ"))
                                                : "(system zone)",
                changes.size(), failures == 0 ? "identical" : "DIFFERENT");
    return failures == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc == 2) {
        if (argv[1][0] == '\0')
            qunsetenv("TZ");
        else
            qputenv("TZ", argv[1]);
        tzset();
        return checkZone();
    }
    const char *zones[] = {"",
                           "UTC",
                           "Europe/Berlin",
                           "America/New_York",
                           "Australia/Lord_Howe",
                           "America/Sao_Paulo",
                           "Africa/Casablanca",
                           "Asia/Gaza",
                           "Pacific/Chatham",
                           "America/St_Johns",
                           "Asia/Kolkata",
                           "Europe/Dublin",
                           "Antarctica/Troll",
                           "EST5EDT,M3.2.0,M11.1.0"};
    int failed = 0;
    for (const char *zone : zones) {
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QCoreApplication::applicationFilePath(), {QString::fromLatin1(zone)});
        if (!child.waitForFinished(-1) || child.exitStatus() != QProcess::NormalExit ||
            child.exitCode() != 0)
            ++failed;
    }
    return failed == 0 ? 0 : 1;
}
