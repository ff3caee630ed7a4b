// Start-up probing of the sixteen port numbers (FillPortList): once over a port folder holding
// a few pseudo-terminals, one of them held by another opener, and once over the system's own
// serial devices. Prints the time of one fill, the median and worst of several.
// Run: /work/build-serial/bench/bench_ports (any build dir's bench/bench_ports).

#include "serial/commsmodule.h"
#include "serial/serialcontrol.h"
#include "tests/support/scriptedseam.h"
#include "tools/pty.h"

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>
#include <vector>

namespace {

constexpr int kRounds = 21;
constexpr int kColdRounds = 5;
// Longer than the port namespace keeps one listing of the system's devices.
constexpr auto kListingExpired = std::chrono::milliseconds(600);

struct Figures {
    double medianMs;
    double worstMs;
    int listed;
};

Figures timeFill(int rounds = kRounds, bool cold = false)
{
    std::vector<double> times;
    int listed = 0;
    for (int round = 0; round < rounds; ++round) {
        if (cold)
            std::this_thread::sleep_for(kListingExpired);
        ScriptedSeam user;  // "Unable to find an unused serial port" is not shown for real
        QComboBox list;
        QElapsedTimer clock;
        clock.start();
        FillPortList(&list);
        times.push_back(clock.nsecsElapsed() / 1e6);
        listed = list.count();
    }
    std::sort(times.begin(), times.end());
    return {times[times.size() / 2], times.back(), listed};
}

void print(const char *what, const Figures &figures)
{
    std::printf("%-52s median %7.3f ms  worst %7.3f ms  (%d listed)\n", what, figures.medianMs,
                figures.worstMs, figures.listed);
}

}  // namespace

int main(int argc, char **argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    {
        PortFolder folder;
        std::vector<std::unique_ptr<PseudoTerminal>> ptys;
        for (int n : {1, 3, 5, 8, 13}) {
            ptys.push_back(std::make_unique<PseudoTerminal>());
            folder.publish(n, ptys.back()->slavePath());
        }
        folder.makeCurrent();
        print("port folder, 5 ptys, none held:", timeFill());

        auto holder = std::make_unique<SerialControl>();
        InitCommsControl(*holder);
        holder->setCommPort(1);
        holder->setPortOpen(true);
        print("port folder, 5 ptys, COM1 held:", timeFill());

        PortFolder empty;
        empty.makeCurrent();
        print("port folder, empty:", timeFill());
    }

    qunsetenv("REPLIX_PORT_DIR");
    print("system serial devices, listing reused:", timeFill());
    print("system serial devices, listing afresh (start-up):", timeFill(kColdRounds, true));
    return 0;
}
