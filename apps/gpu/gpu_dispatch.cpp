#include "gpu_dispatch.h"

#include "random_corpus.h"
#include "scene_modes.h"
#include "sculpt_check.h"
#include "sdna_run.h"

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

} // namespace qlmr
