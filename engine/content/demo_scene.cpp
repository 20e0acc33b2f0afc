#include "content/demo_scene.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>
#include <string>

#include "content/generators.h"
#include "content/make_field.h"
#include "content/quad_cage.h"
#include "content/shell_asset.h"
#include "scene/height_field.h"

namespace qlmr {

DemoLayout addDemoTerrain(Scene& scene, unsigned terrainSize, ThreadPool& pool)
{
    // Refused here, with the field's own message, before the terrain image
    // is generated: at an edge of 65536 the image alone would take 36 GiB.
    if (std::string error = squareFieldEdgeError(terrainSize); !error.empty()) {
        throw std::invalid_argument(error);
    }
    DemoLayout layout;
    layout.worldSize = 256.0f;
    layout.heightScale = 42.0f;
    const TerrainParams terrainParams{0.5f, 0.62f, 0.07f, 0.18f, layout.worldSize, layout.heightScale};

    const auto terrain = static_cast<std::uint32_t>(
        scene.addField(makeField(generateTerrain(terrainSize, 7, terrainParams, pool), true)));
    const float half = 0.5f * layout.worldSize;
    scene.addPrism(makePrism({-half, 0.0f, half}, {1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -1.0f}, layout.worldSize,
                             layout.worldSize, layout.heightScale, terrain));

    const float padU = terrainParams.padCenterX;
    const float padV = terrainParams.padCenterY;
    const float padHeight = scene.fields[terrain].sampleHeight(0, padU, padV) * layout.heightScale;
    layout.padPosition = {layout.worldSize * padU - half, padHeight, half - layout.worldSize * padV};
    return layout;
}

DemoLayout buildDemoScene(Scene& scene, unsigned terrainSize, bool edges, ThreadPool& pool)
{
    std::printf("generating fields...\n");

    // Each image is dropped as soon as its field exists, so only one is
    // alive at a time.
    DemoLayout layout = addDemoTerrain(scene, terrainSize, pool);
    const auto cobblestones =
        static_cast<std::uint32_t>(scene.addField(makeField(generateCobblestones(512, 10, 3, pool), false)));
    const auto bricks =
        static_cast<std::uint32_t>(scene.addField(makeField(generateBricks(512, 256, 8, 5, pool), false)));
    const auto panels = static_cast<std::uint32_t>(scene.addField(makeField(generatePanels(512, 9, pool), false)));
    const Vec3 p = layout.padPosition;

    // Cobblestone path, 10 m wide and 30 m long, sunk 0.07 m below the pad.
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 6; ++j) {
            const Vec3 origin{p.x - 5.0f + 5.0f * static_cast<float>(i), p.y - 0.07f,
                              p.z + 16.0f - 5.0f * static_cast<float>(j)};
            scene.addPrism(makePrism(origin, {1.0f, 0.0f, 0.0f}, {0.0f, 0.0f, -1.0f}, 5.0f, 5.0f, 0.25f, cobblestones));
        }
    }
    // Brick wall, 24 m long and 4 m high, 15 m behind the pad, relief towards +z.
    for (int i = 0; i < 6; ++i) {
        for (int j = 0; j < 2; ++j) {
            const Vec3 origin{p.x - 12.0f + 4.0f * static_cast<float>(i), p.y - 0.3f + 2.0f * static_cast<float>(j),
                              p.z - 15.0f};
            scene.addPrism(makePrism(origin, {1.0f, 0.0f, 0.0f}, {0.0f, 1.0f, 0.0f}, 4.0f, 2.0f, 0.12f, bricks));
        }
    }

    // The panelled box, turned 0.45 rad about +y.
    const float c = std::cos(0.45f);
    const float s = std::sin(0.45f);
    layout.shellAxes = {Vec3{c, 0.0f, -s}, Vec3{0.0f, 1.0f, 0.0f}, Vec3{s, 0.0f, c}};
    layout.shellCenter = {p.x + 7.5f, p.y + 3.4f, p.z - 4.0f};
    const QuadCage cage = cageFromQuad(layout.shellCenter, {1.5f, 3.5f, 1.5f}, layout.shellAxes, 2, false);
    ShellAssetOptions shellOptions;
    shellOptions.depth = 0.16f;
    shellOptions.fadeEdges = edges;
    shellOptions.border = 0.06f;
    makeShellAsset(scene, cage, panels, shellOptions);

    scene.refreshPrisms();
    return layout;
}

} // namespace qlmr
