#include "pixelart_run.h"

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "builtin_sprites.h"
#include "common/out_of_memory.h"
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

void createOutputDirectory(const std::string& dir)
{
    std::error_code error;
    std::filesystem::create_directories(dir, error);
    if (error)
        throw std::runtime_error("cannot create output directory \"" + dir + "\": " + error.message());
}

std::string sizeText(std::uint32_t width, std::uint32_t height)
{
    return std::to_string(width) + "x" + std::to_string(height);
}

// Writes one image made by `image`; a failure is reported on `err`, after
// the report lines so far, and the run goes on. False when it failed.
template <class MakeImage>
bool writeImage(const std::string& path, std::uint32_t width, std::uint32_t height, MakeImage image, std::FILE* out,
                std::FILE* err)
{
    if (making("image " + path, [&] { return writePng(path, width, height, image()); }))
        return true;
    std::fflush(out);
    std::fprintf(err, "cannot write %s\n", path.c_str());
    std::fflush(err);
    return false;
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
    createOutputDirectory(options.out);

    const SpriteImage hero = makeHeroSprite(32, 24);
    const SpriteImage crate = makeCrateSprite(20);
    if (options.runs >= 1)
        making("synthesis benchmark", [&] { runBenchmarks(hero, crate, options.runs, out); });

    std::vector<SpriteImage> fronts;
    std::vector<SpriteImage> backs; // width 0 for a sprite without a back image
    // What each front is called in a message about it.
    std::vector<std::string> frontNames = options.fronts;
    for (std::size_t i = 0; i < options.fronts.size(); ++i) {
        SpriteImage front;
        if (!making("sprite " + options.fronts[i], [&] { return loadSprite(options.fronts[i], front); })) {
            std::fflush(out);
            std::fprintf(err, "cannot read %s\n", options.fronts[i].c_str());
            return 1;
        }
        SpriteImage back;
        if (!options.backs[i].empty() &&
            !making("sprite " + options.backs[i], [&] { return loadSprite(options.backs[i], back); })) {
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
        frontNames = {"the hero sprite", "the crate sprite"};
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
        relief.front = making("relief of " + frontNames[i], [&] {
            return synthesizeInto(spriteSynthesizer, fronts[i], world.scene, relief.frontField);
        });
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
        relief.back = making("relief of " + options.backs[i], [&] {
            return synthesizeInto(spriteSynthesizer, backs[i], world.scene, relief.backField);
        });
        relief.hasBack = true;
    }

    making("ground tiles and scene", [&] {
        std::uint32_t grassField = 0, pathField = 0;
        const ReliefInfo grass = synthesizeInto(groundSynthesizer, makeGroundTile(16, 0, 1), world.scene, grassField);
        const ReliefInfo path = synthesizeInto(groundSynthesizer, makeGroundTile(16, 1, 2), world.scene, pathField);
        addGroundTiles(world.scene, grass, grassField, path, pathField);
        placeSceneSprites(world);
        world.scene.refreshPrisms();
    });

    ThreadPool pool;
    SceneTracer tracer = making("scene tracer", [&] { return SceneTracer(world.scene, pixelartTraceSettings()); });
    TileRenderer renderer(&pool, &tracer);
    const RenderSettings lighting = pixelartRenderSettings();
    // Sized here, so that a size too large for memory is named; the renders
    // then find it at their size.
    GBuffer frame;
    making("G-buffer " + sizeText(options.width, options.height),
           [&] { frame.resize(options.width, options.height); });

    std::size_t failedWrites = 0;
    for (const NamedCamera& view : pixelartCameras(first.info, options.width, options.height)) {
        for (const bool snapped : {false, true}) {
            tracer.settings.snapToPixelGrid = snapped;
            const FrameStats stats =
                making("render of view " + view.name, [&] { return renderer.render(view.camera, lighting, frame); });
            const std::string base = options.out + "/pixel_" + view.name + (snapped ? "_snapped" : "_smooth");
            if (!writeImage(base + ".png", frame.width, frame.height, [&] { return colorImage(frame); }, out, err))
                ++failedWrites;
            if (snapped &&
                !writeImage(base + "_normals.png", frame.width, frame.height, [&] { return normalsImage(frame); },
                            out, err))
                ++failedWrites;
            std::fprintf(out, "render %-5s %-7s %.1f ms\n", view.name.c_str(), snapped ? "snapped" : "smooth",
                         stats.ms);
        }
    }

    const bool heightsWritten = writeImage(
        options.out + "/pixel_hero_heights.png", first.info.fieldWidth * kHeightsZoom,
        first.info.fieldHeight * kHeightsZoom,
        [&] {
            return heightsImage(first.heights, first.info.fieldWidth, first.info.fieldHeight, first.info.heightScale);
        },
        out, err);
    if (!heightsWritten)
        ++failedWrites;
    // The closing line promises the images: only when every one was written.
    if (failedWrites != 0)
        return 1;
    std::fprintf(out, "wrote %s\n", options.out.c_str());
    return 0;
}

} // namespace qlmr
