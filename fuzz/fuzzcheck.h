#pragma once
// What the fuzz targets share: scratch folders removed however the process ends (libFuzzer
// leaves by exit or abort, never through destructors), the check that aborts with a message
// when an invariant breaks (so a finding is a crash with a reproducer), and a stream cutter.

#include <QByteArray>
#include <QFile>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fuzzcheck {

inline std::vector<std::string> scratchFolders;

inline void removeScratchFolders()
{
    std::error_code ignored;
    for (const std::string &folder : scratchFolders)
        std::filesystem::remove_all(folder, ignored);
}

// Removes the folder at exit (and before an abort through broken()).
inline void keepTidy(const std::string &folder)
{
    if (scratchFolders.empty())
        std::atexit(removeScratchFolders);
    scratchFolders.push_back(folder);
}

// Without a runtime folder Qt makes one in the temporary folder and leaves it there.
inline void keepRuntimeFolder()
{
    std::string runtime = (std::filesystem::temp_directory_path() / "replix-fuzz-XXXXXX").string();
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR") || !::mkdtemp(runtime.data()))
        return;
    keepTidy(runtime);
    qputenv("XDG_RUNTIME_DIR", QByteArray::fromStdString(runtime));
}

inline bool putFile(const QString &path, QByteArrayView bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate)
           && f.write(bytes.data(), bytes.size()) == bytes.size();
}

[[noreturn]] inline void broken(const char *target, const char *what)
{
    removeScratchFolders();
    std::fprintf(stderr, "\n*** %s invariant broken: %s\n", target, what);
    std::fflush(stderr);
    std::abort();
}

// Cuts a stream: seed 0 gives it whole, others a fixed pseudo-random series of sizes 1..limit.
struct Cutter {
    std::uint32_t state, limit;
    Cutter(std::uint8_t seed, std::uint32_t max)
        : state(seed * 2654435761u | 1u), limit(seed ? max : 0) {}
    QByteArrayView next(QByteArrayView &rest)
    {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const qsizetype n =
            limit ? std::min<qsizetype>(rest.size(), 1 + state % limit) : rest.size();
        const QByteArrayView chunk = rest.first(n);
        rest = rest.sliced(n);
        return chunk;
    }
};

} // namespace fuzzcheck

// Each target defines kTarget, the name its messages carry.
#define EXPECT(condition, what)                                                                    \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzcheck::broken(kTarget, what);                                                      \
    } while (0)
