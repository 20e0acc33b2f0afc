#include "gpu_dispatch.h"

#include "random_corpus.h"
#include "scene_modes.h"
#include "sculpt_check.h"
#include "sdna_run.h"

#include "common/failure_exit.h"

#include <cstdio>
#include <string>

namespace qlmr {

int runGpuTest(const GpuTestOptions& o, std::FILE* out, std::FILE* err)
{
    // Options made by hand rather than read from a command line get the
    // same refusals as the command line gives them.
    if (const std::string refusal = gpuOptionsError(o); !refusal.empty()) {
        std::fflush(out);
        std::fprintf(err, "%s\n", refusal.c_str());
        return 1;
    }
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
    return exitCodeOf(out, err, [&] {
        const int code = runGpuTest(parseGpuTestOptions(argc, argv), out, err);
        std::fflush(out);
        return code;
    });
}

} // namespace qlmr
