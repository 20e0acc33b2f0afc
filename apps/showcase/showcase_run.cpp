#include "showcase_run.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "chapters.h"
#include "console_report.h"
#include "launcher_options.h"
#include "machine_probe.h"
#include "platform_machine.h"
#include "platform_process.h"
#include "report_files.h"
#include "report_folder.h"
#include "run_log.h"

#include "common/file_size_limit.h"
#include "common/standard_streams.h"

namespace qlmr {

namespace fs = std::filesystem;

namespace {

constexpr int kChapterCount = 4;

void printProgress(int number, const std::string& title) {
    std::printf("  %d/%d  %-44s", number, kChapterCount, title.c_str());
    std::fflush(stdout);
}

void printOutcome(const Chapter& chapter) {
    std::printf("%s (%.0f s)\n", chapter.ok ? "done" : "skipped, see log", chapter.seconds);
    std::fflush(stdout);
}

// One line on standard error, for what kept the launcher from its report.
void printFailure(const std::string& text) {
    std::fprintf(stderr, "QLMR Showcase: %s\n", text.c_str());
    std::fflush(stderr);
}

using ChapterBody = std::function<void(const ChapterEnvironment&, const fs::path&, Chapter&)>;

// The frame every chapter shares: progress line, its own directory, timing,
// the outcome line, and an empty work directory for the next one.
void runChapter(int number, const std::string& progressTitle, const ChapterEnvironment& environment,
                Chapter& chapter, const ChapterBody& body) {
    printProgress(number, progressTitle);
    const auto start = std::chrono::steady_clock::now();
    const fs::path directory = environment.workDirectory / chapter.key;
    std::error_code ignored;
    fs::create_directories(directory, ignored);
    body(environment, directory, chapter);
    // The children's files are read once their chapter has its pictures;
    // kept until the end they could fill a nearly full disk before the
    // later chapters and the report files get their turn.
    fs::remove_all(environment.workDirectory, ignored);
    fs::create_directories(environment.workDirectory, ignored);
    chapter.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printOutcome(chapter);
    // The children did their part; the launcher could not keep it. Without
    // this line a full disk would read as a chapter that failed by itself.
    if (!chapter.unwrittenFiles.empty())
        printFailure("could not write " + std::to_string(chapter.unwrittenFiles.size()) + " of the pictures of \"" +
                     progressTitle + "\" into " + environment.reportDirectory.string() + " (the first is " +
                     chapter.unwrittenFiles.front() + "); is the disk full?");
}

std::string currentDate() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[64] = {};
    std::strftime(text, sizeof text, "%d %B %Y, %H:%M", &local);
    return text;
}

} // namespace

int runShowcase(int argc, char** argv) {
    occupyClosedStandardStreams();
    // The console only shows progress; the report is the product. A console
    // pipe that stops reading (| head -1) would otherwise end the launcher
    // with SIGPIPE before the report exists, leaving its work folder behind;
    // its lines now fail as into a closed output and the run goes on. The
    // children get the default action back (runProcess).
    std::signal(SIGPIPE, SIG_IGN);
    // A report file past the file size limit is a failed write, said on the
    // console, not the end of the launcher half way through the page. The
    // children get the default action back (runProcess).
    failWritesPastFileSizeLimit();
    const fs::path launcherDirectory = executableDirectory();

    std::error_code error;
    fs::path currentDirectory = fs::current_path(error);
    const ParsedLauncherOptions parsed =
        parseLauncherOptions(std::vector<std::string>(argv + std::min(argc, 1), argv + argc), currentDirectory);
    if (parsed.showUsage) {
        std::fputs(kLauncherUsage, stdout);
        // The line is the whole answer; one that did not arrive is a failure.
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
            printFailure("could not write the usage line to standard output");
            return 1;
        }
        return 0;
    }
    const LauncherOptions& options = parsed.options;

    const bool avx2 = hasAvx2();
    ChapterEnvironment environment;
    environment.engineDirectory = options.engineDirectory.empty() ? defaultEngineDirectory(launcherDirectory, avx2)
                                                                  : options.engineDirectory;
    environment.assetsDirectory =
        options.assetsDirectory.empty() ? launcherDirectory / "assets" : options.assetsDirectory;
    environment.reportDirectory =
        options.reportDirectory.empty() ? launcherDirectory / "report" : options.reportDirectory;
    environment.workDirectory = environment.reportDirectory / "work";

    // Only a folder the launcher made itself, or a new or empty one, is
    // cleared and written; anything else is left exactly as it was.
    const char* home = std::getenv("HOME");
    const ProtectedFolders protectedFolders = {
        {currentDirectory, "the current folder"},
        {home && *home ? fs::path(home) : fs::path(), "the home folder"},
        {launcherDirectory, "the launcher's own folder"},
        {environment.engineDirectory, "the engine programs' folder"},
        {environment.assetsDirectory, "the assets folder"},
    };
    const std::string refusal = reportFolderRefusal(environment.reportDirectory, protectedFolders);
    if (!refusal.empty()) {
        printFailure("cannot use \"" + environment.reportDirectory.string() + "\" for the report: " + refusal +
                     ". Nothing was deleted or written; choose a new or empty folder with --out.");
        return 1;
    }
    clearEarlierReport(environment.reportDirectory);
    std::string folderError;
    if (!createReportFolder(environment.reportDirectory, folderError)) {
        printFailure("cannot write the report into \"" + environment.reportDirectory.string() + "\": " +
                     folderError + "; choose another folder with --out.");
        return 1;
    }
    fs::create_directories(environment.workDirectory, error);
    RunLog log(environment.reportDirectory / "log.txt");
    environment.log = &log;

    std::printf("\n  Quillmere Showcase\n  Looking at this computer...\n\n");
    std::fflush(stdout);

    MachineDescription machine;
    machine["cpu"] = cpuBrand();
    machine["os"] = osVersion();
    machine["threads"] = std::to_string(hardwareThreadCount());
    machine["simd"] = avx2 ? "AVX2" : "SSE2";

    std::vector<DetectedGpu> devices;
    if (!options.cpuOnly) {
        const ProcessResult probe = runProcess(enginePath(environment, "qlmr-vkinfo"), {}, environment.workDirectory);
        log.append("vkinfo", probe);
        devices = readDeviceLines(splitLines(probe.output));
    }
    environment.gpu = chooseGpu(devices);
    machine["gpu"] = environment.gpu ? environment.gpu->name : "no compatible GPU (CPU only)";
    machine["driver"] = !environment.gpu                   ? "CPU only (no Vulkan driver)"
                        : environment.gpu->version.empty() ? "Vulkan (version not reported)"
                                                           : environment.gpu->version;

    std::vector<Chapter> chapters(kChapterCount);
    chapters[0].key = "terrain";
    chapters[1].key = "creature";
    chapters[2].key = "pixels";
    chapters[3].key = "world";
    runChapter(1, "Real terrain, without triangles", environment, chapters[0], runTerrainChapter);
    runChapter(2, "A creature written in 3 KB", environment, chapters[1], runCreatureChapter);
    runChapter(3, "Pixel art becomes relief", environment, chapters[2], runPixelsChapter);
    runChapter(4, "A small living world", environment, chapters[3], runWorldChapter);

    const std::string date = currentDate();
    const std::string results = resultsJson(date, machine, chapters);
    const fs::path page = environment.reportDirectory / "index.html";
    const bool pageWritten = writeReportHtml(environment.reportDirectory, chapters, machine, date, results);
    const bool resultsWritten = writeTextFile(environment.reportDirectory / "results.json", results);
    const bool logWritten = log.close();
    fs::remove_all(environment.workDirectory, error);

    // The success line and the browser only for a page that is really there.
    if (!pageWritten)
        printFailure("could not write the report page " + page.string() + "; there is no report to open.");
    if (!resultsWritten)
        printFailure("could not write " + (environment.reportDirectory / "results.json").string() + ".");
    if (!logWritten)
        printFailure("could not write " + (environment.reportDirectory / "log.txt").string() + ".");
    if (pageWritten) {
        std::printf("\n  Done. The report opens in your browser:\n  %s\n\n", page.string().c_str());
        std::fflush(stdout);
        // Without a desktop opener the promise above does not hold; say so.
        if (options.openReport && !openWithDesktop(page))
            printFailure("could not start xdg-open to show the report; open " + page.string() +
                         " in a browser yourself.");
    }
    if (!pageWritten || !resultsWritten || !logWritten)
        return 1;

    for (const Chapter& chapter : chapters)
        if (!chapter.ok)
            return 1;
    return 0;
}

} // namespace qlmr
