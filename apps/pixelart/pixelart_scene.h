#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "content/relief_synthesis.h"
#include "scene/camera.h"
#include "scene/scene.h"
#include "scene/settings.h"

namespace qlmr {

// World size of one sprite pixel: sixteen pixels to the metre.
inline constexpr float kPixelSize = 0.0625f;

// One sprite of the scene: its front relief and, when it has a back image,
// the back relief; fields are indices into the scene.
struct SpriteRelief {
    std::uint32_t frontField = 0;
    ReliefInfo front;
    bool hasBack = false;
    std::uint32_t backField = 0;
    ReliefInfo back;
};

// The pixel-art program's world: relief fields and prisms, and what is
// needed to stand the sprites up in it.
struct PixelartScene {
    Scene scene;
    std::vector<SpriteRelief> sprites;
    bool twoSided = true; // mirrored back prism for sprites without a back image

    // Stands sprite i at (x, z): centred on x, its opaque bottom row on
    // y = 0, facing +Z. Adds the front prism and then the back prism (the
    // back image's relief, or the front's mirrored twin when two-sided).
    void placeSpriteInstances(std::size_t i, float x, float z);
};

// The 12 x 8 grid of one-metre ground tiles from x = -6 and z = -6, the
// path tile on row 5 and grass elsewhere.
void addGroundTiles(Scene& scene, const ReliefInfo& grass, std::uint32_t grassField, const ReliefInfo& path,
                    std::uint32_t pathField);

// The four sprite placements: sprite 0, 1, 2 and 3 (modulo the sprite count)
// at (-1.2, -0.3), (0.6, -1.0), (1.9, -2.4) and (-2.8, -2.8).
void placeSceneSprites(PixelartScene& world);

// The settings the program traces and lights its scene with.
TraceSettings pixelartTraceSettings();
RenderSettings pixelartRenderSettings();

struct NamedCamera {
    std::string name;
    Camera camera;
};

// "wide" over the whole scene, "close" and "back" framed on the first
// sprite (standing at (-1.2, -0.3)) from the front and from behind.
std::vector<NamedCamera> pixelartCameras(const ReliefInfo& first, std::uint32_t width, std::uint32_t height);

} // namespace qlmr
