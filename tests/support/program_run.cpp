#include "support/program_run.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qlmr::test {
namespace {

// A pipe whose ends close when it goes out of scope. Both ends are
// close-on-exec so that no other child started meanwhile holds them open;
// the copies the child gets through dup2 stay open across its exec.
class Pipe {
public:
    Pipe()
    {
        if (::pipe2(ends, O_CLOEXEC) != 0)
            ends[0] = ends[1] = -1;
    }
    ~Pipe()
    {
        closeReadEnd();
        closeWriteEnd();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;

    bool valid() const { return ends[0] >= 0; }
    int readEnd() const { return ends[0]; }
    int writeEnd() const { return ends[1]; }
    void closeReadEnd() { closeEnd(0); }
    void closeWriteEnd() { closeEnd(1); }

private:
    void closeEnd(int which)
    {
        if (ends[which] >= 0)
            ::close(ends[which]);
        ends[which] = -1;
    }
    int ends[2] = {-1, -1};
};

// The test's environment with the requested changes applied.
std::vector<std::string> childEnvironment(const std::map<std::string, std::optional<std::string>>& changes)
{
    std::vector<std::string> entries;
    for (char** entry = environ; *entry; ++entry) {
        const std::string text = *entry;
        if (!changes.count(text.substr(0, text.find('='))))
            entries.push_back(text);
    }
    for (const auto& [name, value] : changes)
        if (value)
            entries.push_back(name + "=" + *value);
    return entries;
}

// Null-terminated pointers into `strings`, as exec wants them.
std::vector<char*> pointerList(std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (std::string& s : strings)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Reads both pipes until each reports end of file; reading them together
// keeps a child that fills one of them from blocking.
void drain(Pipe& out, std::string& outText, Pipe* err, std::string* errText)
{
    struct Source {
        Pipe* pipe;
        std::string* text;
    };
    std::vector<Source> open = {{&out, &outText}};
    if (err)
        open.push_back({err, errText});
    char chunk[4096];
    while (!open.empty()) {
        std::vector<pollfd> waits;
        for (const Source& s : open)
            waits.push_back({s.pipe->readEnd(), POLLIN, 0});
        if (::poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        for (std::size_t i = waits.size(); i-- > 0;) {
            if (waits[i].revents == 0)
                continue;
            const ssize_t n = ::read(waits[i].fd, chunk, sizeof chunk);
            if (n > 0)
                open[i].text->append(chunk, static_cast<std::size_t>(n));
            else if (n == 0 || errno != EINTR)
                open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
}

// RAII for the spawn file actions.
class FileActions {
public:
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions; }

private:
    posix_spawn_file_actions_t actions;
};

} // namespace

ProgramRun runProgram(const std::string& program, const std::vector<std::string>& args, const RunOptions& options)
{
    ProgramRun run;
    Pipe out;
    Pipe err;
    if (!out.valid() || (options.separateErrors && !err.valid()))
        return run;

    std::vector<std::string> argvStrings = {program};
    argvStrings.insert(argvStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = childEnvironment(options.environment);
    std::vector<char*> argv = pointerList(argvStrings);
    std::vector<char*> envp = pointerList(envStrings);

    FileActions actions;
    if (!options.workingDirectory.empty())
        posix_spawn_file_actions_addchdir_np(actions.get(), options.workingDirectory.c_str());
    if (options.closedOutput)
        posix_spawn_file_actions_addclose(actions.get(), 1);
    else if (options.outputFile.empty())
        posix_spawn_file_actions_adddup2(actions.get(), out.writeEnd(), 1);
    else
        posix_spawn_file_actions_addopen(actions.get(), 1, options.outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    if (options.closedErrors)
        posix_spawn_file_actions_addclose(actions.get(), 2);
    else
        posix_spawn_file_actions_adddup2(actions.get(), options.separateErrors ? err.writeEnd() : out.writeEnd(), 2);

    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), actions.get(), nullptr, argv.data(), envp.data());
    // Only the child may hold the write ends, or reading never ends.
    out.closeWriteEnd();
    err.closeWriteEnd();
    if (spawned != 0)
        return run;
    drain(out, run.output, options.separateErrors ? &err : nullptr, &run.errors);

    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return run;
    }
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

} // namespace qlmr::test
