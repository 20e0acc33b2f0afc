#include "platform_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace qlmr {

namespace {

// posix_spawn file actions with RAII.
class SpawnActions {
public:
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
    SpawnActions(const SpawnActions&) = delete;
    SpawnActions& operator=(const SpawnActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions; }

private:
    posix_spawn_file_actions_t actions;
};

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd; }
    void reset() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

private:
    int fd = -1;
};

// Spawn attributes that give the child the default action of the signals
// the launcher ignores for itself: SIGPIPE (its console) and SIGXFSZ (its
// report files). An ignored signal would otherwise pass to the child; it
// starts as from a shell instead, and a sibling program that does not check
// its writes still ends at the file size limit rather than leave a cut-short
// picture behind as if it had succeeded.
class DefaultSignals {
public:
    DefaultSignals() {
        posix_spawnattr_init(&attributes);
        sigset_t defaults;
        sigemptyset(&defaults);
        sigaddset(&defaults, SIGPIPE);
        sigaddset(&defaults, SIGXFSZ);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    }
    ~DefaultSignals() { posix_spawnattr_destroy(&attributes); }
    DefaultSignals(const DefaultSignals&) = delete;
    DefaultSignals& operator=(const DefaultSignals&) = delete;
    const posix_spawnattr_t* get() const { return &attributes; }

private:
    posix_spawnattr_t attributes;
};

std::vector<char*> argumentPointers(std::vector<std::string>& words) {
    std::vector<char*> pointers;
    pointers.reserve(words.size() + 1);
    for (std::string& word : words)
        pointers.push_back(word.data());
    pointers.push_back(nullptr);
    return pointers;
}

// A launcher started with SIGCHLD ignored (a disposition that survives
// exec) has its children reaped by the kernel: waitpid then finds no child
// and every run would read as failed. For the time of one run the signal
// gets its default action, which the child also starts with; the caller's
// disposition is put back afterwards.
class DefaultChildSignal {
public:
    DefaultChildSignal() {
        struct sigaction current {};
        if (sigaction(SIGCHLD, nullptr, &current) != 0)
            return;
        if (current.sa_handler != SIG_IGN && (current.sa_flags & SA_NOCLDWAIT) == 0)
            return;
        struct sigaction standard {};
        standard.sa_handler = SIG_DFL;
        sigemptyset(&standard.sa_mask);
        if (sigaction(SIGCHLD, &standard, nullptr) == 0) {
            saved = current;
            changed = true;
        }
    }
    ~DefaultChildSignal() {
        if (changed)
            sigaction(SIGCHLD, &saved, nullptr);
    }
    DefaultChildSignal(const DefaultChildSignal&) = delete;
    DefaultChildSignal& operator=(const DefaultChildSignal&) = delete;

private:
    struct sigaction saved {};
    bool changed = false;
};

int exitCodeOf(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

} // namespace

ProcessResult runProcess(const std::filesystem::path& exe, const std::vector<std::string>& arguments,
                         const std::filesystem::path& workingDirectory) {
    using Clock = std::chrono::steady_clock;
    ProcessResult result;
    const Clock::time_point start = Clock::now();
    const DefaultChildSignal childSignal;

    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0)
        return result;
    FileDescriptor readEnd(ends[0]);
    FileDescriptor writeEnd(ends[1]);

    // The child sees its own file name as the first word, like any program
    // started from a command line, and then each argument as one word.
    std::vector<std::string> words;
    words.reserve(arguments.size() + 1);
    words.push_back(exe.filename().string());
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv = argumentPointers(words);

    SpawnActions actions;
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(actions.get(), writeEnd.get(), STDERR_FILENO);
    // Only the pipe reaches the child: the launcher's log and any other
    // descriptor stay behind.
    posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
    posix_spawn_file_actions_addchdir_np(actions.get(), workingDirectory.c_str());

    // A relative program path names a file seen from the launcher's own
    // current folder. Left relative, it would be looked up only after the
    // child has moved into its working directory, and would start another
    // program or none.
    std::error_code pathError;
    const std::filesystem::path program = exe.is_absolute() ? exe : std::filesystem::absolute(exe, pathError);

    const DefaultSignals attributes;
    pid_t child = 0;
    const int spawnError =
        posix_spawn(&child, program.c_str(), actions.get(), attributes.get(), argv.data(), environ);
    // Closed whatever the outcome, so the pipe ends when the child (and
    // whatever inherited the descriptor from it) has exited.
    writeEnd.reset();

    if (spawnError == 0) {
        char buffer[4096];
        while (true) {
            const ssize_t got = read(readEnd.get(), buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            result.output.append(buffer, static_cast<std::size_t>(got));
        }
        int status = 0;
        pid_t waited;
        do {
            waited = waitpid(child, &status, 0);
        } while (waited < 0 && errno == EINTR);
        result.exitCode = waited == child ? exitCodeOf(status) : 1;
        if (waited == child && WIFSIGNALED(status))
            result.signal = WTERMSIG(status);
    } else {
        result.output = "could not start " + exe.string();
        std::error_code error;
        result.missingProgram = !std::filesystem::exists(program, error) && !error;
    }

    readEnd.reset();
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

bool openWithDesktop(const std::filesystem::path& file) {
    SpawnActions actions;
    posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(actions.get(), STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> words = {"xdg-open", file.string()};
    std::vector<char*> argv = argumentPointers(words);
    const DefaultSignals attributes;
    pid_t child = 0;
    // Not waited for: the browser may stay in the foreground of xdg-open,
    // and the launcher ends right after this call anyway.
    return posix_spawnp(&child, "xdg-open", actions.get(), attributes.get(), argv.data(), environ) == 0;
}

} // namespace qlmr
