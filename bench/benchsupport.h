#pragma once

// What every benchmark driver shares: an operator that prints, and a way to let the event loop
// run until a condition holds. Benchmarks may wait in nested loops; the product never does.

#include "app/station.h"
#include "discovery/programmersearch.h"
#include "model/operatorinterface.h"

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <cstdio>
#include <functional>

namespace vell::bench {

/// Prints operator messages to stderr and counts them.
class PrintingOperator : public model::Operator
{
public:
    void message(const QString &prompt, const QString &title,
                 std::function<void()> acknowledged) override
    {
        std::fprintf(stderr, "[%s] %s\n", qPrintable(title), qPrintable(prompt));
        ++count;
        if (acknowledged)
            acknowledged();
    }
    int count = 0;
};

/// Runs the event loop until done() holds or timeoutMs pass, checking every pollMs.
inline bool runUntil(const std::function<bool()> &done, int timeoutMs, int pollMs = 5)
{
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start(pollMs);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

/// Runs the event loop until done() holds or timeoutMs pass, checking when the station shows a
/// change (a pane, busy) as a window would, and once a second besides. A fine poll would wake
/// the loop a few hundred times a second and count the bench's own checking as the app's work.
inline bool runUntilStationChanged(app::Station &station, const std::function<bool()> &done,
                                   int timeoutMs)
{
    QEventLoop loop;
    auto check = [&] {
        if (done())
            loop.quit();
    };
    QObject::connect(&station, &app::Station::paneChanged, &loop, check);
    QObject::connect(&station, &app::Station::busyChanged, &loop, check);
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, check);
    poll.start(1000);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

/// Runs the station's search until it ended; true when it found count programmers.
inline bool findProgrammers(app::Station &station, int count)
{
    station.startSearch();
    runUntil([&] { return station.search().state() == discovery::ProgrammerSearch::State::Ended; },
             20000);
    station.showFoundProgrammers();
    return station.programmers().presentCount() == count;
}

/// Every one of the first count programmers shows status.
inline bool allShow(const app::Station &station, int count, model::Status status)
{
    for (int n = 1; n <= count; ++n) {
        if (station.state(model::ProgrammerNumber(n)).status != status)
            return false;
    }
    return true;
}

} // namespace vell::bench
