#pragma once
// What the fuzz targets share: scratch folders removed however the process ends (libFuzzer
// leaves by exit or abort, never through destructors), and the check that aborts with a
// message when an invariant breaks, so a finding is a crash with a reproducer.

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

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

[[noreturn]] inline void broken(const char *target, const char *what)
{
    removeScratchFolders();
    std::fprintf(stderr, "\n*** %s invariant broken: %s\n", target, what);
    std::fflush(stderr);
    std::abort();
}

} // namespace fuzzcheck

// Each target defines kTarget, the name its messages carry.
#define EXPECT(condition, what)                                                                    \
    do {                                                                                           \
        if (!(condition))                                                                          \
            fuzzcheck::broken(kTarget, what);                                                      \
    } while (0)
