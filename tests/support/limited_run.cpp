#include "support/limited_run.h"

#include <algorithm>
#include <thread>

namespace qlmr::test {

bool addressSpaceLimitsWork()
{
#if defined(__SANITIZE_ADDRESS__)
    return false;
#else
    return true;
#endif
}

std::uint64_t modestMemoryLimit()
{
    const std::uint64_t threads = std::max(1u, std::thread::hardware_concurrency());
    return (std::uint64_t(1) << 30) + threads * (std::uint64_t(16) << 20);
}

ProgramRun runLimited(const std::string& program, const std::vector<std::string>& args, const RunLimits& limits,
                      RunOptions options)
{
    // $1 is the memory limit in KiB ("unlimited" for none), $2 the seconds
    // (0 for none), $3 the file size limit in 512-byte blocks, as the shell
    // counts them ("none" leaves the inherited limit); the program and its
    // arguments follow.
    const std::string script = "memory=$1; seconds=$2; files=$3; shift 3; ulimit -v \"$memory\" || exit 125; "
                               "if [ \"$files\" != none ]; then ulimit -f \"$files\" || exit 125; fi; "
                               "if [ \"$seconds\" -gt 0 ]; then exec timeout -s KILL \"$seconds\" \"$@\"; fi; "
                               "exec \"$@\"";
    std::vector<std::string> words = {"-c", script, "limited-run"};
    const bool limitMemory = limits.memoryBytes != 0 && addressSpaceLimitsWork();
    words.push_back(limitMemory ? std::to_string(limits.memoryBytes / 1024) : "unlimited");
    words.push_back(std::to_string(limits.seconds));
    words.push_back(limits.fileBytes != 0 ? std::to_string(limits.fileBytes / 512) : "none");
    words.push_back(program);
    words.insert(words.end(), args.begin(), args.end());
    if (limitMemory)
        options.environment["MALLOC_ARENA_MAX"] = "1";
    return runProgram("/bin/sh", words, options);
}

} // namespace qlmr::test
