// The file commands of replix-cli on a 64 KiB image (2048 records of 32 bytes): info and check
// of one file, diff of two that differ in one byte, in files per second (a diff counts one).
// Measured through the same functions the program calls, without its start-up.
// Run by hand:  bench_cli [runs]   (default 5; the median run is printed)

#include "cli/filecommands.h"
#include "tools/radiomemory.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>

namespace {

constexpr int kImageBytes = 64 * 1024;
constexpr int kRecordBytes = 32;
constexpr int kCallsPerRun = 50;

bool save(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

double filesPerSecond(const std::function<CommandResult()> &command, int expectedStatus, int runs)
{
    QList<double> rates;
    for (int r = 0; r < runs; ++r) {
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < kCallsPerRun; ++i) {
            if (command().status != expectedStatus) {
                std::fprintf(stderr, "bench_cli: unexpected status\n");
                std::exit(1);
            }
        }
        rates << kCallsPerRun * 1e9 / double(clock.nsecsElapsed());
    }
    std::sort(rates.begin(), rates.end());
    return rates[rates.size() / 2];
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    QTemporaryDir dir;
    RadioImage image{
        QByteArray("\x5A\x17\x00\x02", 4), "VR-5A17 Ver 1.02",
        RadioMemory::splitIntoRecords(RadioMemory::patternedImage(kImageBytes), kRecordBytes, 0)};
    const QString a = dir.filePath("a.icf"), b = dir.filePath("b.icf");
    if (!dir.isValid() || !save(a, RadioMemory::icfText(image)))
        return 1;
    image.records[1000].bytes[7] = char(image.records[1000].bytes[7] ^ 1);
    if (!save(b, RadioMemory::icfText(image)))
        return 1;

    std::printf("64 KiB image, %d records of %d bytes; median of %d runs of %d calls\n",
                kImageBytes / kRecordBytes, kRecordBytes, runs, kCallsPerRun);
    std::printf("info:  %7.1f files/s\n",
                filesPerSecond([&] { return infoCommand({a}); }, 0, runs));
    std::printf("check: %7.1f files/s\n",
                filesPerSecond([&] { return checkCommand({a}); }, 0, runs));
    std::printf("diff:  %7.1f pairs/s\n",
                filesPerSecond([&] { return diffCommand(a, b); }, 1, runs));
    return 0;
}
