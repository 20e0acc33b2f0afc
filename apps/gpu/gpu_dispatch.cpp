#include "gpu_dispatch.h"

#include "random_corpus.h"
#include "scene_modes.h"
#include "sculpt_check.h"
#include "sdna_run.h"

#include <exception>
#include <new>
#include <string>

namespace qlmr {

int runGpuTest(const GpuTestOptions& o, std::FILE* out, std::FILE* err)
{
    switch (selectRun(o)) {
    case GpuRunKind::Sculpt:
        return runSculptCheck(o.sculptCount, o.gpu, out);
    case GpuRunKind::Random: {
        const ImageSize size = randomCorpusSize(o);
        RandomCorpusSettings settings;
        settings.count = o.randomCount;
        settings.width = size.width;
        settings.height = size.height;
        settings.gpu = o.gpu;
        settings.outDir = o.out;
        settings.noCull = o.noCull;
        return runRandomSdna(settings, out, err);
    }
    case GpuRunKind::Sdna: {
        const ImageSize size = sdnaRunSize(o);
        SdnaRunSettings settings;
        settings.path = o.sdnaPath;
        settings.width = size.width;
        settings.height = size.height;
        settings.frames = o.frames;
        settings.gpu = o.gpu;
        settings.outDir = sdnaOutputDir(o);
        settings.benchmark = o.benchmark;
        settings.bricks = o.bricks;
        settings.bricksLocal = o.bricksLocal;
        settings.noCull = o.noCull;
        return runSdna(settings, out);
    }
    case GpuRunKind::Scene:
        break;
    }
    return runSceneMode(o, out);
}

int runGpuCommandLine(int argc, const char* const* argv, std::FILE* out, std::FILE* err)
{
    // The reason a run stops goes after the lines it printed so far.
    auto stop = [&](const char* reason) {
        std::fflush(out);
        std::fprintf(err, "%s\n", reason);
        return 1;
    };
    try {
        const GpuTestOptions options = parseGpuTestOptions(argc, argv);
        const std::string refusal = gpuOptionsError(options);
        if (!refusal.empty())
            return stop(refusal.c_str());
        const int code = runGpuTest(options, out, err);
        std::fflush(out);
        return code;
    } catch (const std::bad_alloc&) {
        return stop("out of memory");
    } catch (const std::exception& error) {
        return stop(error.what());
    }
}

} // namespace qlmr
