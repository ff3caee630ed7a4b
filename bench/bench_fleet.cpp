// Many radios at once, and the command line's start-up.
//
//   build/bench/bench_fleet [replix-cli] [runs]
//
// Fleet: N virtual radios (1, 2, 4, 8), each its own process on its own pseudo-terminal at
// 38400 bit/s, all written at once by one replix-cli process (write --port 1-N); the time of
// the whole run, its ratio to one radio alone, the peak resident size of the replix-cli
// process, and whether every radio got the file byte for byte.
// Start-up: replix-cli check of a 4 KiB file, the median wall time and the peak resident size
// over the runs (default 30). Give another replix-cli to compare builds.

#include "tools/radiomemory.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <vector>

#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

constexpr int kBitsPerSecond = 38400;
constexpr int kImageBytes = 4096;       // written to each radio: 128 records of 32 bytes
constexpr int kCheckImageBytes = 1792;  // an ICF file of about 4 KiB

double nowSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

pid_t spawn(const QStringList &args, const char *errorFile = "/dev/null")
{
    std::vector<QByteArray> bytes;
    for (const QString &a : args)
        bytes.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    argv.reserve(bytes.size() + 1);
    for (QByteArray &b : bytes)
        argv.push_back(b.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, errorFile, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

struct Finished {
    int status = -1;
    double seconds = 0;
    long maxRssKiB = 0;
};

Finished runToEnd(const QStringList &args, const char *errorFile = "/dev/null")
{
    const double start = nowSeconds();
    const pid_t pid = spawn(args, errorFile);
    Finished f;
    if (pid < 0)
        return f;
    int status = 0;
    rusage usage{};
    if (::wait4(pid, &status, 0, &usage) != pid)
        return f;
    f.seconds = nowSeconds() - start;
    f.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    f.maxRssKiB = usage.ru_maxrss;
    return f;
}

bool save(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

}  // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QString bin = QCoreApplication::applicationDirPath();
    const QString cli = argc > 1 ? QString::fromLocal8Bit(argv[1]) : bin + "/../cli/replix-cli";
    const int runs = argc > 2 ? std::max(1, atoi(argv[2])) : 30;
    const QString radioProgram = bin + "/../tools/replix-virtual-radio";
    QTemporaryDir dir;
    const RadioImage image{
        QByteArray("\x5A\x17\x00\x02", 4), "VR-5A17 Ver 1.02",
        RadioMemory::splitIntoRecords(RadioMemory::patternedImage(kImageBytes), 32, 0)};
    const QByteArray icf = RadioMemory::icfText(image);
    const QString file = dir.filePath("image.icf");
    const RadioImage small{
        image.modelCode, image.comment,
        RadioMemory::splitIntoRecords(RadioMemory::patternedImage(kCheckImageBytes), 32, 0)};
    const QByteArray smallIcf = RadioMemory::icfText(small);
    const QString smallFile = dir.filePath("small.icf");
    if (!dir.isValid() || !save(file, icf) || !save(smallFile, smallIcf))
        return 1;

    std::vector<double> times;
    long rss = 0;
    for (int i = 0; i < runs; ++i) {
        const Finished f = runToEnd({cli, "check", smallFile});
        if (f.status != 0) {
            std::fprintf(stderr, "bench_fleet: check failed (%d)\n", f.status);
            return 1;
        }
        times.push_back(f.seconds);
        rss = std::max(rss, f.maxRssKiB);
    }
    std::printf("start-up, check of a %d-byte file: median %.1f ms, peak resident %.1f MiB (%d "
                "runs)\n",
                int(smallIcf.size()), median(times) * 1000, double(rss) / 1024.0, runs);

    const QString portDir = dir.filePath("ports");
    qputenv("REPLIX_PORT_DIR", QFile::encodeName(portDir));
    double alone = 0;
    for (const int n : {1, 2, 4, 8}) {
        std::vector<pid_t> radios;
        for (int p = 1; p <= n; ++p) {
            const QString written = dir.filePath(QStringLiteral("written-%1.icf").arg(p));
            QFile::remove(written);
            radios.push_back(
                spawn({radioProgram, "--port-dir", portDir, "--port", QString::number(p), "--speed",
                       QString::number(kBitsPerSecond), "--save-written", written}));
        }
        for (int wait = 0; wait < 200; ++wait) {
            if (QDir(portDir).entryList(QDir::System | QDir::Files).size() >= n)
                break;
            QThread::msleep(20);
        }
        QThread::msleep(100);
        const QByteArray errors = QFile::encodeName(dir.filePath("errors.txt"));
        const Finished f = runToEnd({cli, "write", "--port", QStringLiteral("1-%1").arg(n),
                                     "--quiet", "--speed", QString::number(kBitsPerSecond), file},
                                    errors.constData());
        if (f.status != 0)
            std::fputs(contents(QString::fromLocal8Bit(errors)).constData(), stdout);
        QThread::msleep(100);  // the radios save what they got
        int exact = 0;
        for (int p = 1; p <= n; ++p)
            exact += contents(dir.filePath(QStringLiteral("written-%1.icf").arg(p))) == icf;
        for (const pid_t pid : radios) {
            ::kill(pid, SIGTERM);
            ::waitpid(pid, nullptr, 0);
        }
        for (int p = 1; p <= n; ++p)
            QFile::remove(QStringLiteral("%1/COM%2").arg(portDir).arg(p));
        if (n == 1)
            alone = f.seconds;
        std::printf("fleet of %d at %d bit/s: %.2f s, %.3f x one alone, peak resident %.1f MiB, "
                    "status %d, %d of %d byte-exact\n",
                    n, kBitsPerSecond, f.seconds, alone > 0 ? f.seconds / alone : 0,
                    double(f.maxRssKiB) / 1024.0, f.status, exact, n);
    }
    return 0;
}
