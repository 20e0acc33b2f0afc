#pragma once

#include <cstdint>

#include "sprite_image.h"

namespace qlmr {

// An N x N wooden crate: planks in bands of five rows, a diagonal brace, a
// three-pixel frame, four nails and a dark outline. Fully opaque.
SpriteImage makeCrateSprite(std::uint32_t n);

// Whether pixel (x, y) lies in the hero's body ellipse; the last row always
// stays outside so the blob stands on a transparent line.
bool insideEllipse(int x, int y, std::uint32_t width, std::uint32_t height);

// A W x H green blob with an outline, dithered shading, a highlight, two
// eyes with glints and a mouth; transparent around the body.
SpriteImage makeHeroSprite(std::uint32_t width, std::uint32_t height);

// An N x N ground tile from a per-pixel hash of (x, y, seed): variant 0 is
// grass with the odd flower, variant 1 path stones. Fully opaque.
SpriteImage makeGroundTile(std::uint32_t n, int variant, std::uint32_t seed);

// The 320 x 180 benchmark frame: forty sprites in an 8 x 5 grid, two heroes
// (32 x 24) for every crate (20 x 20), only their opaque pixels copied.
SpriteImage makeBenchmarkFrame(const SpriteImage& hero, const SpriteImage& crate);

} // namespace qlmr
