// Cost of one conversation-log append, into an empty box and into a full one (65536
// characters, where every append first cuts the front). Run: build/bench/bench_log
// (QT_QPA_PLATFORM=offscreen works; the box is shown, as with the pane open).

#include "link/commstxt.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <algorithm>
#include <cstdio>
#include <vector>

namespace {
// One logged record of a read: a 32-byte record as hex text in a frame, spaced.
QString recordLine()
{
    QString line = QStringLiteral("FE FE EF EE E4 ");
    for (int i = 0; i < 72; ++i)
        line += QStringLiteral("3%1 ").arg(i % 10);
    return line + QStringLiteral("FD \r\n");
}

struct Stats {
    double medianUs;
    double meanUs;
};

Stats summarise(std::vector<qint64> ns)
{
    std::sort(ns.begin(), ns.end());
    double sum = 0;
    for (qint64 v : ns)
        sum += double(v);
    return {double(ns[ns.size() / 2]) / 1000.0, sum / double(ns.size()) / 1000.0};
}
}  // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QPlainTextEdit box;
    box.resize(300, 240);
    box.show();
    const QString line = recordLine();
    constexpr int kRuns = 2000;

    std::vector<qint64> empty;
    for (int i = 0; i < kRuns; ++i) {
        box.clear();
        QElapsedTimer t;
        t.start();
        DisplayText(&box, line);
        empty.push_back(t.nsecsElapsed());
    }

    box.clear();
    while (logLength(&box) <= kLogLimit)
        DisplayText(&box, line);
    std::vector<qint64> full;
    for (int i = 0; i < kRuns; ++i) {
        QElapsedTimer t;
        t.start();
        DisplayText(&box, line);
        full.push_back(t.nsecsElapsed());
    }
    const Stats e = summarise(empty);
    const Stats f = summarise(full);
    std::printf("append of a %lld-character line, %d runs each\n", qlonglong(line.size()), kRuns);
    std::printf("empty box: median %.1f us, mean %.1f us\n", e.medianUs, e.meanUs);
    std::printf("full box (%d chars, cut each time): median %.1f us, mean %.1f us\n", kLogLimit,
                f.medianUs, f.meanUs);
    std::printf("log length after: %d\n", logLength(&box));
    return 0;
}
