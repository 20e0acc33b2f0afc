#include "pixelart_run.h"

#include <filesystem>
#include <string>
#include <vector>

#include "builtin_sprites.h"
#include "pixelart_images.h"
#include "pixelart_scene.h"
#include "synthesis_benchmark.h"
#include "scene/color_image.h"
#include "scene/gbuffer.h"
#include "scene/png_writer.h"
#include "scene/scene_tracer.h"
#include "scene/thread_pool.h"
#include "scene/tile_renderer.h"

namespace qlmr {

namespace {

void runBenchmarks(const SpriteImage& hero, const SpriteImage& crate, int runs, std::FILE* out)
{
    std::fprintf(out, "synthesis (median of %d):\n", runs);
    const SpriteImage bigHero = makeHeroSprite(64, 64);
    for (std::uint32_t nodes : {1u, 2u, 4u}) {
        ReliefSettings settings;
        settings.nodesPerPixel = nodes;
        benchmarkSynthesis("sprite 64x64", bigHero, settings, runs, out);
    }
    ReliefSettings settings;
    settings.nodesPerPixel = 1;
    benchmarkSynthesis("frame 320x180", makeBenchmarkFrame(hero, crate), settings, runs, out);
}

void writeImage(const std::string& path, std::uint32_t width, std::uint32_t height,
                const std::vector<std::uint8_t>& rgba, std::FILE* err)
{
    if (!writePng(path, width, height, rgba))
        std::fprintf(err, "cannot write %s\n", path.c_str());
}

// The relief heights of the first sprite, kept for the heights image. The
// field stores them as 16-bit fractions of the height scale.
struct FirstRelief {
    ReliefInfo info;
    std::vector<float> heights;
};

FirstRelief keepHeights(const ReliefInfo& info, const DisplacementField& field)
{
    FirstRelief first;
    first.info = info;
    const std::size_t count = std::size_t(field.width) * field.height;
    first.heights.resize(count);
    for (std::size_t i = 0; i < count; ++i)
        first.heights[i] = float(field.heights[i]) / 65535.0f * info.heightScale;
    return first;
}

} // namespace

int runPixelart(const PixelartOptions& options, std::FILE* out, std::FILE* err)
{
    std::filesystem::create_directories(options.out);

    const SpriteImage hero = makeHeroSprite(32, 24);
    const SpriteImage crate = makeCrateSprite(20);
    if (options.runs >= 1)
        runBenchmarks(hero, crate, options.runs, out);

    std::vector<SpriteImage> fronts;
    std::vector<SpriteImage> backs; // width 0 for a sprite without a back image
    for (std::size_t i = 0; i < options.fronts.size(); ++i) {
        SpriteImage front;
        if (!loadSprite(options.fronts[i], front)) {
            std::fflush(out);
            std::fprintf(err, "cannot read %s\n", options.fronts[i].c_str());
            return 1;
        }
        SpriteImage back;
        if (!options.backs[i].empty() && !loadSprite(options.backs[i], back)) {
            std::fflush(out);
            std::fprintf(err, "cannot read %s\n", options.backs[i].c_str());
            return 1;
        }
        fronts.push_back(std::move(front));
        backs.push_back(std::move(back));
    }
    if (fronts.empty()) {
        fronts = {hero, crate};
        backs.resize(2);
    }

    ReliefSettings spriteSettings;
    spriteSettings.nodesPerPixel = options.nodes;
    spriteSettings.partsWeight = options.parts;
    ReliefSynthesizer spriteSynthesizer(spriteSettings);
    ReliefSettings groundSettings = spriteSettings;
    groundSettings.bevelRadius = 0.0f;
    groundSettings.detailStrength = 1.5f;
    groundSettings.keepFrame = true;
    ReliefSynthesizer groundSynthesizer(groundSettings);

    auto synthesizeInto = [](ReliefSynthesizer& synthesizer, const SpriteImage& sprite, Scene& scene,
                             std::uint32_t& fieldIndex) {
        const std::uint16_t zero = 0;
        DisplacementField field(1, 1, std::span<const std::uint16_t>(&zero, 1), true);
        const ReliefInfo info = synthesizer.synthesize(spriteView(sprite), field);
        fieldIndex = std::uint32_t(scene.addField(std::move(field)));
        return info;
    };

    PixelartScene world;
    world.twoSided = options.twoSided;
    FirstRelief first;
    for (std::size_t i = 0; i < fronts.size(); ++i) {
        SpriteRelief relief;
        relief.front = synthesizeInto(spriteSynthesizer, fronts[i], world.scene, relief.frontField);
        const ReliefInfo& info = relief.front;
        std::fprintf(out, "sprite %ux%u: opaque %ux%u -> field %ux%u, parts %s\n", info.spriteWidth,
                     info.spriteHeight, info.opaqueWidth, info.opaqueHeight, info.fieldWidth, info.fieldHeight,
                     info.parts ? "yes" : "no");
        if (i == 0)
            first = keepHeights(info, world.scene.fields[relief.frontField]);
        world.sprites.push_back(relief);
    }
    for (std::size_t i = 0; i < backs.size(); ++i) {
        if (backs[i].width == 0)
            continue;
        SpriteRelief& relief = world.sprites[i];
        relief.back = synthesizeInto(spriteSynthesizer, backs[i], world.scene, relief.backField);
        relief.hasBack = true;
    }

    std::uint32_t grassField = 0, pathField = 0;
    const ReliefInfo grass = synthesizeInto(groundSynthesizer, makeGroundTile(16, 0, 1), world.scene, grassField);
    const ReliefInfo path = synthesizeInto(groundSynthesizer, makeGroundTile(16, 1, 2), world.scene, pathField);
    addGroundTiles(world.scene, grass, grassField, path, pathField);
    placeSceneSprites(world);
    world.scene.refreshPrisms();

    ThreadPool pool;
    SceneTracer tracer(world.scene, pixelartTraceSettings());
    TileRenderer renderer(&pool, &tracer);
    const RenderSettings lighting = pixelartRenderSettings();
    GBuffer frame;

    for (const NamedCamera& view : pixelartCameras(first.info, options.width, options.height)) {
        for (const bool snapped : {false, true}) {
            tracer.settings.snapToPixelGrid = snapped;
            const FrameStats stats = renderer.render(view.camera, lighting, frame);
            const std::string base = options.out + "/pixel_" + view.name + (snapped ? "_snapped" : "_smooth");
            writeImage(base + ".png", frame.width, frame.height, colorImage(frame), err);
            if (snapped)
                writeImage(base + "_normals.png", frame.width, frame.height, normalsImage(frame), err);
            std::fprintf(out, "render %-5s %-7s %.1f ms\n", view.name.c_str(), snapped ? "snapped" : "smooth",
                         stats.ms);
        }
    }

    writeImage(options.out + "/pixel_hero_heights.png", first.info.fieldWidth * kHeightsZoom,
               first.info.fieldHeight * kHeightsZoom,
               heightsImage(first.heights, first.info.fieldWidth, first.info.fieldHeight, first.info.heightScale),
               err);
    std::fprintf(out, "wrote %s\n", options.out.c_str());
    return 0;
}

} // namespace qlmr
