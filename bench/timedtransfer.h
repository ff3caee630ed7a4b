#pragma once
// The benchmarks' clock on a transfer: the window's button pressed, then a plain event loop
// (QTest's waits sleep between rounds and would slow the transfer) until the port has closed.

#include "app/frmreadwrite.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QPushButton>
#include <QTimer>

struct TimedTransfer {
    double seconds = 0;
    bool ended = false;  // false: given up after giveUpMs
};

inline TimedTransfer timeTransfer(frmReadWrite &w, bool writing, qint64 giveUpMs)
{
    QElapsedTimer clock;
    clock.start();
    (writing ? w.cmdWrite : w.cmdRead)->click();
    QEventLoop loop;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &loop, [&] {
        if (!w.MSComm1.PortOpen() || clock.elapsed() > giveUpMs)
            loop.quit();
    });
    watch.start(5);
    loop.exec();
    return {clock.nsecsElapsed() / 1e9, !w.MSComm1.PortOpen()};
}
