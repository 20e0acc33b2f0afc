#include "chapters.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "chapter_readings.h"
#include "console_report.h"
#include "jpeg_picture.h"
#include "report_text.h"

namespace qlmr {

namespace fs = std::filesystem;

namespace {

// Runs one child, logs it, and returns its result and lines.
struct ChildRun {
    ProcessResult result;
    std::vector<std::string> lines;
};

ChildRun runChild(const ChapterEnvironment& environment, const std::string& program,
                  const std::vector<std::string>& arguments, const fs::path& directory, const std::string& logName) {
    ChildRun run;
    run.result = runProcess(enginePath(environment, program), arguments, directory);
    if (environment.log)
        environment.log->append(logName, run.result);
    run.lines = splitLines(run.result.output);
    return run;
}

// Adds the picture only when its conversion produced a JPEG; one that was
// made but could not be written is remembered for the console.
bool addPicture(const ChapterEnvironment& environment, const fs::path& png, const std::string& jpegName,
                int maxWidth, int quality, std::vector<std::string>& into, Chapter& chapter) {
    const PictureOutcome outcome = makeJpeg(png, environment.reportDirectory / jpegName, maxWidth, quality);
    if (outcome == PictureOutcome::NotWritten)
        chapter.unwrittenFiles.push_back(jpegName);
    if (outcome != PictureOutcome::Made)
        return false;
    into.push_back(jpegName);
    return true;
}

std::string numbered(const char* format, int value) {
    char name[64];
    std::snprintf(name, sizeof name, format, value);
    return name;
}

double fileSizeBytes(const fs::path& path) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(path, error);
    return error ? kNoValue : static_cast<double>(size);
}

// How the graphics-card terrain attempt ended.
enum class CardTerrain { Ok, NotInstalled, Failed };

CardTerrain tryGpuTerrain(const ChapterEnvironment& environment, const fs::path& directory, Chapter& chapter) {
    const DetectedGpu& gpu = *environment.gpu;
    const fs::path landscape = environment.assetsDirectory / "conformance.qlt";
    const ChildRun run = runChild(environment, "qlmr-terrain",
                                  {assetPathArgument(landscape, directory), "--out", ".", "--gpu",
                                   std::to_string(gpu.index)},
                                  directory, "terrain");
    if (run.result.missingProgram)
        return CardTerrain::NotInstalled;
    const std::vector<double> times = readTerrainFrameTimes(run.lines);

    int converted = 0;
    for (const char* prefix : {"valley", "overview"}) {
        std::error_code error;
        for (fs::directory_iterator it(directory, error), end; !error && it != end; it.increment(error)) {
            const fs::path name = it->path().filename();
            if (name.string().rfind(prefix, 0) != 0 || name.extension() != ".png")
                continue;
            if (addPicture(environment, it->path(), "terrain_" + std::to_string(converted) + ".jpg", 1280, 88,
                           chapter.images, chapter))
                ++converted;
        }
    }

    if (run.result.exitCode != 0 || chapter.images.empty() || times.empty())
        return CardTerrain::Failed;
    const double medianMs = medianOf(times);
    chapter.title = "Real terrain, without triangles";
    chapter.text = "A mountain landscape streamed from a compact file and drawn directly from its elevation data: "
                   "no mesh is built, the graphics card follows each ray of light into the surface itself.";
    chapter.stats = {
        {formatNumber(fileSizeBytes(landscape) / 1024.0, 0) + " KB",
         "the whole landscape on disk (513 x 513 elevation points)"},
        {formatNumber(medianMs, 1) + " ms", "per 1280 x 720 frame on " + gpu.name},
        {formatNumber(1000.0 / medianMs, 0), "frames per second at that speed"},
    };
    return CardTerrain::Ok;
}

// The processor fallback; note says why the graphics card was not used.
bool tryCpuTerrain(const ChapterEnvironment& environment, const fs::path& directory, const std::string& note,
                   Chapter& chapter) {
    const ChildRun run = runChild(environment, "qlmr-demo", {"--out", ".", "--width", "960", "--height", "540"},
                                  directory, "demo (CPU terrain)");
    const DemoReadings readings = readDemoLines(run.lines);
    for (const char* view : {"wide", "aerial", "close"})
        addPicture(environment, directory / (std::string(view) + ".png"), "terrain_" + std::string(view) + ".jpg",
                   1280, 88, chapter.images, chapter);

    // Pictures of a failed graphics-card attempt stay in the list and count.
    if (run.result.exitCode != 0 || chapter.images.empty() || readings.frameTimes.empty())
        return false;
    chapter.title = "Detailed terrain, without triangles";
    chapter.text = "A detailed landscape drawn straight from its height data: no mesh is built, each ray of light "
                   "is followed into the surface itself.";
    chapter.stats = {
        {formatNumber(medianOf(readings.frameTimes), 0) + " ms", "per 960 x 540 frame on the processor alone"},
        {formatNumber(readings.heightsMegabytes, 0) + " MB",
         "of height data, where a triangle mesh of the same detail needs ~600 MB"},
    };
    chapter.note = note;
    return true;
}

// The match of the graphics card's images with the reference: identical
// images have no finite PSNR and read as exact.
Stat psnrStat(double psnr) {
    if (std::isinf(psnr) && psnr > 0)
        return {"exact", "match between the graphics card and the exact reference: the images are identical"};
    return {formatNumber(psnr, 0) + " dB",
            "match between the graphics card and the exact reference (above 60 is identical to the eye)"};
}

} // namespace

fs::path enginePath(const ChapterEnvironment& environment, const std::string& name) {
    return environment.engineDirectory / name;
}

std::string assetPathArgument(const fs::path& asset, const fs::path& workDirectory) {
    std::error_code error;
    fs::path relative = fs::relative(asset, workDirectory, error);
    if (error || relative.empty())
        relative = asset.lexically_relative(workDirectory);
    if (relative.empty())
        relative = asset;
    std::string word = relative.string();
    if (!word.empty() && word.front() == '-')
        word.insert(0, "./");
    return word;
}

void runTerrainChapter(const ChapterEnvironment& environment, const fs::path& directory, Chapter& chapter) {
    const std::string fallbackTail = " so this chapter used the exact reference renderer on the processor. It "
                                     "defines what correct looks like; the real-time path runs on the graphics card.";
    std::string note = "No compatible graphics card was found," + fallbackTail;
    if (environment.gpu) {
        const CardTerrain card = tryGpuTerrain(environment, directory, chapter);
        chapter.ok = card == CardTerrain::Ok;
        if (card == CardTerrain::NotInstalled) {
            note = "The graphics-card terrain program (qlmr-terrain) is not installed," + fallbackTail;
        } else if (card == CardTerrain::Failed) {
            note = "The graphics-card terrain run on " + environment.gpu->name +
                   " did not succeed (details in report/log.txt)," + fallbackTail;
        }
    }
    if (!chapter.ok)
        chapter.ok = tryCpuTerrain(environment, directory, note, chapter);
    if (!chapter.ok)
        chapter.title = "Real terrain, without triangles";
}

void runCreatureChapter(const ChapterEnvironment& environment, const fs::path& directory, Chapter& chapter) {
    constexpr int kTurntableFrames = 36;
    const fs::path critter = environment.assetsDirectory / "critter.qlmr";
    const ChildRun run = runChild(environment, "qlmr-sdna",
                                  {"--load", assetPathArgument(critter, directory), "--out", ".", "--size", "640",
                                   "360", "--turntable", std::to_string(kTurntableFrames)},
                                  directory, "sdna");
    const SdnaReadings readings = readSdnaLines(run.lines);

    for (int i = 0; i < kTurntableFrames; ++i) {
        const std::string name = numbered("turn_%03d", i);
        addPicture(environment, directory / (name + ".png"), "creature_" + name + ".jpg", 960, 88, chapter.frames,
                   chapter);
    }
    addPicture(environment, directory / "posed.png", "creature_posed.jpg", 960, 88, chapter.images, chapter);
    addPicture(environment, directory / "back.png", "creature_back.jpg", 960, 88, chapter.images, chapter);
    chapter.ok = run.result.exitCode == 0 && chapter.frames.size() == kTurntableFrames;

    GpuComparison comparison;
    // Why the graphics-card figures are missing, when a card was chosen.
    std::string noCardFigures = "the graphics-card comparison did not run.";
    if (chapter.ok && environment.gpu) {
        const fs::path gpuDirectory = environment.workDirectory / "creature_gpu";
        std::error_code ignored;
        fs::create_directories(gpuDirectory, ignored);
        const ChildRun gpuRun = runChild(environment, "qlmr-gpu", {"--sdna", assetPathArgument(critter, gpuDirectory)},
                                         gpuDirectory, "gpu --sdna");
        comparison = readGpuComparison(gpuRun.lines, environment.gpu->name);
        noCardFigures = gpuRun.result.missingProgram
                            ? "the graphics-card comparison program (qlmr-gpu) is not installed."
                            : "the graphics-card comparison gave no figures for " + environment.gpu->name +
                                  " (details in report/log.txt).";
    }

    chapter.fps = 12;
    chapter.title = "A creature written in 3 KB";
    chapter.text = "This animal is not a model made of triangles. It is a short program of shapes that blend into "
                   "each other, with a skeleton the legs follow. The same tiny file describes its look, its outline "
                   "for collisions and its surface direction for light.";
    chapter.stats = {{formatNumber(readings.fileBytes / 1024.0, 1) + " KB",
                      "the whole creature on disk (" + formatNumber(readings.instructions, 0) + " instructions)"}};
    if (std::isnan(comparison.gpuMs)) {
        chapter.stats.push_back(
            {formatNumber(readings.cpuFrameMs, 0) + " ms", "per frame with the exact reference on the processor"});
        chapter.note = "Drawn by the exact reference renderer on the processor: " +
                       (environment.gpu ? noCardFigures : std::string("no compatible graphics card was found."));
    } else {
        chapter.stats.push_back(
            {formatNumber(comparison.gpuMs, 0) + " ms", "per 640 x 360 frame on " + environment.gpu->name});
        chapter.stats.push_back(psnrStat(comparison.psnr));
        chapter.note = "The animation was drawn by the exact reference renderer on the processor; the graphics-card "
                       "path is measured separately and matches it.";
    }
}

void runPixelsChapter(const ChapterEnvironment& environment, const fs::path& directory, Chapter& chapter) {
    const fs::path sprites = environment.assetsDirectory / "sprites";
    const ChildRun run = runChild(environment, "qlmr-pixelart",
                                  {"--sprite", assetPathArgument(sprites / "crystal.png", directory), "--sprite",
                                   assetPathArgument(sprites / "barrel.png", directory), "--runs", "20", "--out", "."},
                                  directory, "pixelart");
    const double synthesisMs = readSynthesisMs(run.lines);

    for (const char* name : {"pixel_wide_snapped", "pixel_close_snapped", "pixel_back_snapped"})
        addPicture(environment, directory / (std::string(name) + ".png"), std::string(name) + ".jpg", 1280, 88,
                   chapter.images, chapter);
    for (const char* name : {"crystal", "barrel"}) {
        const std::string copyName = "sprite_" + std::string(name) + ".png";
        // Only a sprite that is really beside the page is shown there; a
        // copy cut short (a full disk) is not left behind.
        const fs::path copy = environment.reportDirectory / copyName;
        std::error_code error;
        const fs::path source = sprites / (std::string(name) + ".png");
        if (fs::copy_file(source, copy, fs::copy_options::overwrite_existing, error)) {
            chapter.originals.push_back(copyName);
        } else {
            // A sprite that is there but could not be copied (the report
            // directory is full) is the launcher's failure, not the assets'.
            if (fs::is_regular_file(source, error))
                chapter.unwrittenFiles.push_back(copyName);
            if (fs::is_regular_file(fs::symlink_status(copy, error)))
                fs::remove(copy, error);
        }
    }
    chapter.ok = run.result.exitCode == 0 && chapter.images.size() == 3;

    chapter.title = "Pixel art becomes relief";
    chapter.text = "Ordinary flat game sprites turn into small sculpted reliefs that catch light and cast shadows, "
                   "while every pixel keeps its exact colour. Nobody modelled anything: the shape is worked out from "
                   "the picture.";
    chapter.stats = {
        {formatNumber(synthesisMs, 2) + " ms", "to turn one 64 x 64 sprite into relief, on one processor core"},
        {"0", "triangles, hand-made 3D models or texture maps"},
    };
}

void runWorldChapter(const ChapterEnvironment& environment, const fs::path& directory, Chapter& chapter) {
    constexpr int kSimulatedFrames = 150;
    const ChildRun run = runChild(environment, "qlmr-diorama",
                                  {"--frames", std::to_string(kSimulatedFrames), "--width", "640", "--height", "360",
                                   "--assets", assetPathArgument(environment.assetsDirectory / "sprites", directory),
                                   "--out", "."},
                                  directory, "diorama");
    const DioramaReadings readings = readDioramaLines(run.lines);

    for (int i = 0; i < kSimulatedFrames; i += 2) {
        const std::string name = numbered("frame_%04d", i);
        addPicture(environment, directory / (name + ".png"), "world_" + name + ".jpg", 960, 85, chapter.frames,
                   chapter);
    }
    chapter.ok = run.result.exitCode == 0 && chapter.frames.size() > 37;

    chapter.fps = 8;
    chapter.title = "A small living world";
    chapter.text = "Explosions dig real craters, debris flies and settles, and water poured on the hill runs "
                   "downhill into the holes and the valley. The ground itself changes, and the picture follows "
                   "instantly.";
    chapter.stats = {
        {formatNumber(readings.simulationMs, 0) + " ms",
         "per frame for the physics: craters, flying debris and flowing water"},
        {formatNumber(readings.renderMs, 0) + " ms", "per frame to draw it, with the exact reference on the processor"},
    };
}

} // namespace qlmr
