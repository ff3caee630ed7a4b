#pragma once
// What the fuzz targets share: scratch folders removed however the process ends (libFuzzer
// leaves by exit or abort, never through destructors), the check that aborts with a message
// when an invariant breaks (so a finding is a crash with a reproducer), and a stream cutter.

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <cstdio>
#include <filesystem>
#include <optional>

#include <fcntl.h>
#include <unistd.h>

namespace fuzzcheck {
inline std::vector<std::string> scratchFolders;
inline void removeScratchFolders()
{
    std::error_code ignored;
    for (const std::string &folder : scratchFolders)
        std::filesystem::remove_all(folder, ignored);
}
[[noreturn]] inline void broken(const char *target, const char *what)
{
    removeScratchFolders();
    std::fprintf(stderr, "\n*** %s invariant broken: %s\n", target, what);  // unbuffered
    std::abort();
}

// A scratch folder, in memory where there is a memory file system, removed at exit (and before
// an abort through broken()).
inline QString scratch()
{
    const bool shm = QFileInfo(QStringLiteral("/dev/shm")).isWritable();
    QTemporaryDir dir((shm ? QStringLiteral("/dev/shm") : QDir::tempPath())
                      + QStringLiteral("/replix-fuzz-XXXXXX"));
    if (!dir.isValid())
        broken("harness", "no temporary folder");
    dir.setAutoRemove(false);
    if (scratchFolders.empty())
        std::atexit(removeScratchFolders);
    scratchFolders.push_back(dir.path().toStdString());
    return dir.path();
}
// Scratch files through plain system calls: a target may run them thousands of times a second.
inline bool putFile(const QString &path, QByteArrayView bytes)
{
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const bool written = fd >= 0 && ::write(fd, bytes.data(), size_t(bytes.size())) == bytes.size();
    return ::close(fd) == 0 && written;
}
inline std::optional<QByteArray> getFile(const QString &path)  // none: missing or unreadable
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    QByteArray bytes;
    char chunk[16384];
    ssize_t got = fd < 0 ? -1 : 0;
    while (fd >= 0 && (got = ::read(fd, chunk, sizeof chunk)) > 0)
        bytes.append(chunk, got);
    return ::close(fd) == 0 && got == 0 ? std::optional(bytes) : std::nullopt;
}
inline bool isUpperHex(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}
template <typename Pred>
bool all(QByteArrayView text, Pred pred)
{
    return std::all_of(text.begin(), text.end(), pred);
}

// Cuts a stream: seed 0 gives it whole, others a fixed pseudo-random series of sizes 1..limit.
struct Cutter {
    std::uint32_t state, limit;
    Cutter(std::uint8_t seed, std::uint32_t max)
        : state(seed * 2654435761u | 1u), limit(seed ? max : 0)
    {}
    QByteArrayView next(QByteArrayView &rest)
    {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        const QByteArrayView chunk =
            rest.first(limit ? std::min<qsizetype>(rest.size(), 1 + state % limit) : rest.size());
        rest = rest.sliced(chunk.size());
        return chunk;
    }
};
}  // namespace fuzzcheck

// Each target defines kTarget, the name its messages carry.
#define EXPECT(condition, what) ((condition) ? void() : fuzzcheck::broken(kTarget, what))
