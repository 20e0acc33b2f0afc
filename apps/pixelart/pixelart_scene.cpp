#include "pixelart_scene.h"

#include <algorithm>
#include <cmath>

#include "content/relief_prism.h"

namespace qlmr {

void PixelartScene::placeSpriteInstances(std::size_t i, float x, float z)
{
    const SpriteRelief& sprite = sprites.at(i);
    const ReliefInfo& info = sprite.front;
    const Vec3 right{1.0f, 0.0f, 0.0f};
    const Vec3 up{0.0f, 1.0f, 0.0f};
    const Vec3 normal{0.0f, 0.0f, 1.0f};
    const float halfWidth = float(info.spriteWidth) * 0.5f * kPixelSize;
    const float top = float(info.opaqueY + info.opaqueHeight) * kPixelSize;

    const Prism front =
        reliefPrism(info, sprite.frontField, Vec3{x - halfWidth, top, z}, right, -up, normal, kPixelSize, 1.0f);
    scene.addPrism(front);
    if (sprite.hasBack) {
        // Seen from behind the back image reads left to right as drawn.
        scene.addPrism(reliefPrism(sprite.back, sprite.backField, Vec3{x + halfWidth, top, z}, -right, -up, -normal,
                                   kPixelSize, 1.0f));
    } else if (twoSided) {
        scene.addPrism(mirroredPrism(front, info));
    }
}

void addGroundTiles(Scene& scene, const ReliefInfo& grass, std::uint32_t grassField, const ReliefInfo& path,
                    std::uint32_t pathField)
{
    for (int j = 0; j < 8; ++j) {
        for (int k = 0; k < 12; ++k) {
            const bool onPath = j == 5;
            scene.addPrism(reliefPrism(onPath ? path : grass, onPath ? pathField : grassField,
                                       Vec3{float(k - 6), 0.0f, float(j - 6)}, Vec3{1.0f, 0.0f, 0.0f},
                                       Vec3{0.0f, 0.0f, 1.0f}, Vec3{0.0f, 1.0f, 0.0f}, kPixelSize, 1.0f));
        }
    }
}

void placeSceneSprites(PixelartScene& world)
{
    const std::size_t n = world.sprites.size();
    world.placeSpriteInstances(0, -1.2f, -0.3f);
    world.placeSpriteInstances(1 % n, 0.6f, -1.0f);
    world.placeSpriteInstances(2 % n, 1.9f, -2.4f);
    world.placeSpriteInstances(3 % n, -2.8f, -2.8f);
}

TraceSettings pixelartTraceSettings()
{
    TraceSettings settings;
    settings.maxSteps = 512;
    settings.lod = true;
    settings.lodBias = 0.0f;
    settings.normalMode = 1;
    settings.start = 1;
    settings.startOffset = 0;
    settings.seedOracle = false;
    settings.shellLog2 = 6;
    settings.snapToPixelGrid = true;
    return settings;
}

RenderSettings pixelartRenderSettings()
{
    RenderSettings settings;
    const float norm = std::sqrt(1.0005f);
    settings.sunDir = Vec3{-0.55f / norm, 0.62f / norm, 0.56f / norm};
    settings.sunColor = Vec3{1.45f, 1.38f, 1.25f};
    settings.skyZenith = Vec3{0.2f, 0.38f, 0.75f};
    settings.skyHorizon = Vec3{0.62f, 0.72f, 0.85f};
    settings.ambient = Vec3{0.36f, 0.4f, 0.48f};
    settings.specular = 0.0f;
    settings.roughness = 0.5f;
    settings.fogDensity = 0.0f;
    settings.shadows = true;
    return settings;
}

std::vector<NamedCamera> pixelartCameras(const ReliefInfo& first, std::uint32_t width, std::uint32_t height)
{
    const float p = kPixelSize;
    const float m = p * float(std::max(first.opaqueWidth, first.opaqueHeight));
    const Vec3 c{-1.2f + p * (float(first.opaqueWidth) * 0.5f + float(first.opaqueX) - float(first.spriteWidth) * 0.5f),
                 p * float(first.opaqueHeight) * 0.5f, -0.3f};
    const Vec3 up{0.0f, 1.0f, 0.0f};
    const Vec3 closeEye = c + 1.9f * m * (Vec3{1.1f, 0.35f, 1.3f} / std::sqrt(3.0225f));
    const Vec3 backEye = c + 2.2f * m * (Vec3{-1.2f, 0.55f, -1.3f} / std::sqrt(3.4325f));
    return {
        {"wide", Camera::lookAt(Vec3{-0.2f, 2.3f, 5.2f}, Vec3{-0.2f, 0.5f, -1.2f}, up, 40.0f, width, height)},
        {"close", Camera::lookAt(closeEye, c, up, 34.0f, width, height)},
        {"back", Camera::lookAt(backEye, c, up, 34.0f, width, height)},
    };
}

} // namespace qlmr
