#pragma once
// What the fuzz targets share: scratch folders removed however the process ends (libFuzzer
// leaves by exit or abort, never through destructors), and the check that aborts with a
// message when an invariant breaks, so a finding is a crash with a reproducer.

#include <QByteArrayView>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>
#include <stdlib.h>

namespace fuzzcheck {

inline std::vector<std::string> &scratchFolders()
{
    static std::vector<std::string> folders;
    return folders;
}

inline void removeScratchFolders()
{
    std::error_code ignored;
    for (const std::string &folder : scratchFolders())
        std::filesystem::remove_all(folder, ignored);
}

// Removes the folder at exit (and before an abort through broken()).
inline void keepTidy(const std::string &folder)
{
    if (scratchFolders().empty())
        std::atexit(removeScratchFolders);
    scratchFolders().push_back(folder);
}

// Without a runtime folder Qt makes one in the temporary folder and leaves it there.
inline void keepRuntimeFolder()
{
    if (const char *set = std::getenv("XDG_RUNTIME_DIR"); set && *set)
        return;
    std::string runtime = (std::filesystem::temp_directory_path() / "replix-fuzz-XXXXXX").string();
    if (!::mkdtemp(runtime.data()))
        std::abort();
    keepTidy(runtime);
    ::setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
}

[[noreturn]] inline void broken(const char *target, const char *what)
{
    removeScratchFolders();
    std::fprintf(stderr, "\n*** %s invariant broken: %s\n", target, what);
    std::fflush(stderr);
    std::abort();
}

// Cuts a stream into chunks: seed 0 gives it whole, others a fixed pseudo-random series of
// sizes from 1 to limit.
class Cutter {
public:
    Cutter(std::uint8_t seed, std::uint32_t limit)
        : m_state(seed * 2654435761u | 1u), m_limit(seed ? limit : 0) {}
    QByteArrayView next(QByteArrayView &rest)
    {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        const qsizetype n =
            m_limit ? std::min<qsizetype>(rest.size(), 1 + m_state % m_limit) : rest.size();
        const QByteArrayView chunk = rest.first(n);
        rest = rest.sliced(n);
        return chunk;
    }

private:
    std::uint32_t m_state, m_limit;
};

} // namespace fuzzcheck

// Each target defines kTarget, the name its messages carry.
#define EXPECT(condition, what)                                                                    \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzcheck::broken(kTarget, what);                                                      \
    } while (0)
