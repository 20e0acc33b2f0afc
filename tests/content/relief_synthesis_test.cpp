#include "content/relief_synthesis.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "content/relief_distance.h"
#include "content/relief_prism.h"
#include "scene/png_writer.h"
#include "support/test_support.h"

namespace qlmr {
namespace {

// ---- sprites ----

constexpr std::uint32_t rgba(std::uint32_t r, std::uint32_t g, std::uint32_t b, std::uint32_t a = 255)
{
    return r | g << 8 | b << 16 | a << 24;
}
constexpr std::uint32_t kClear = 0;

struct Sprite {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<std::uint32_t> pixels;

    Sprite(std::uint32_t w, std::uint32_t h, std::uint32_t fill = kClear) : width(w), height(h), pixels(w * h, fill) {}
    std::uint32_t& at(std::uint32_t x, std::uint32_t y) { return pixels[std::size_t(y) * width + x]; }
    std::uint32_t at(std::uint32_t x, std::uint32_t y) const { return pixels[std::size_t(y) * width + x]; }
    SpriteView view() const { return SpriteView{pixels.data(), pixels.size(), width, height, 0}; }
};

// A blob with a dark outline, shaded interior and one ink stroke through it:
// the shape the relief is made for.
Sprite outlinedBlob(std::uint32_t w, std::uint32_t h)
{
    Sprite s(w, h);
    const float cx = 0.5f * float(w), cy = 0.5f * float(h), rx = 0.46f * float(w), ry = 0.46f * float(h);
    auto inBlob = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= int(w) || y >= int(h)) {
            return false;
        }
        const float dx = (float(x) + 0.5f - cx) / rx, dy = (float(y) + 0.5f - cy) / ry;
        return dx * dx + dy * dy <= 1.0f;
    };
    for (int y = 0; y < int(h); ++y) {
        for (int x = 0; x < int(w); ++x) {
            if (!inBlob(x, y)) {
                continue;
            }
            const bool edge = !inBlob(x - 1, y) || !inBlob(x + 1, y) || !inBlob(x, y - 1) || !inBlob(x, y + 1);
            const bool stroke = x == int(w) / 2 && y > int(h) / 4;
            const std::uint32_t shade = 120 + std::uint32_t(90 * (1.0f - float(x + y) / float(w + h)));
            s.at(x, y) = edge || stroke ? rgba(28, 22, 52) : rgba(shade / 2, shade, shade / 3);
        }
    }
    return s;
}

DisplacementField placeholderField()
{
    const std::uint16_t zero = 0;
    return DisplacementField(1, 1, std::span<const std::uint16_t>(&zero, 1), true);
}

struct Result {
    ReliefInfo info;
    DisplacementField field = placeholderField();
};

Result synthesize(const ReliefSettings& settings, const SpriteView& view)
{
    ReliefSynthesizer synth(settings);
    Result r;
    r.info = synth.synthesize(view, r.field);
    return r;
}

std::uint16_t heightAt(const DisplacementField& f, std::uint32_t x, std::uint32_t y)
{
    return f.heights[std::size_t(y) * f.width + x];
}
std::uint32_t colourAt(const DisplacementField& f, std::uint32_t x, std::uint32_t y)
{
    return f.albedo[std::size_t(y) * f.albedoWidth + x];
}

float srgbToLinearByte(std::uint32_t v)
{
    const double c = v / 255.0;
    const double l = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    return float(std::lround(l * 255.0));
}

// ---- a slow, direct reference of the whole synthesis ----

// Distances by trying every pair of nodes; colours of outside nodes are
// checked against every inside node at the nearest distance, since the
// transform may pick any of them on a tie.
struct Reference {
    std::uint32_t fw = 0, fh = 0, FW = 0, FH = 0;
    std::vector<std::uint16_t> values;           // node rectangle, fw * fh
    std::vector<std::uint32_t> colours;          // inside nodes; 0 elsewhere
    std::vector<std::vector<std::size_t>> ties;  // outside nodes: nearest inside nodes
    std::vector<std::uint8_t> insideMask;
    bool parts = false;
    ReliefInfo info;
};

Reference referenceRelief(const ReliefSettings& st, const Sprite& sp)
{
    const int w = int(sp.width), h = int(sp.height);
    const int S = int(st.nodesPerPixel);
    auto opaque = [&](int x, int y) {
        const std::uint32_t c = sp.at(x, y);
        const bool keyed = st.useColourKey && (c & 0xFF) == st.colourKey[0] && ((c >> 8) & 0xFF) == st.colourKey[1] &&
                           ((c >> 16) & 0xFF) == st.colourKey[2];
        return (c >> 24) >= st.alphaThreshold && !keyed;
    };
    auto lum = [](std::uint32_t c) {
        return (0.2126f * float(c & 0xFF) + 0.7152f * float((c >> 8) & 0xFF) + 0.0722f * float((c >> 16) & 0xFF)) *
               0.003921569f;
    };
    auto dist2 = [](std::uint32_t a, std::uint32_t b) {
        int d = 0;
        for (int k = 0; k < 24; k += 8) {
            const int e = int((a >> k) & 0xFF) - int((b >> k) & 0xFF);
            d += e * e;
        }
        return d;
    };
    auto interior = [&](int x, int y) {
        return x > 0 && y > 0 && x < w - 1 && y < h - 1 && opaque(x - 1, y) && opaque(x + 1, y) &&
               opaque(x, y - 1) && opaque(x, y + 1);
    };

    std::vector<float> detail(std::size_t(w * h), 0.0f);
    std::vector<std::uint32_t> borderColours;
    double interiorSum = 0.0;
    int interiorCount = 0;
    int minX = w, minY = h, maxX = 0, maxY = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            if (!opaque(x, y)) {
                continue;
            }
            minX = std::min(minX, x), minY = std::min(minY, y), maxX = std::max(maxX, x), maxY = std::max(maxY, y);
            if (!interior(x, y)) {
                borderColours.push_back(sp.at(x, y) & 0xFFFFFF);
                continue;
            }
            float sum = 0.0f, weights = 0.0f;
            for (int dy = -1; dy <= 1; ++dy) {
                for (int dx = -1; dx <= 1; ++dx) {
                    if (!opaque(x + dx, y + dy)) {
                        continue;
                    }
                    const float spatial = dx * dx + dy * dy == 0 ? 1.0f : (dx * dx + dy * dy == 1 ? 0.60653067f : 0.36787945f);
                    const int k = dist2(sp.at(x + dx, y + dy), sp.at(x, y)) >> 8;
                    const float colour = std::exp(-((float(k) * 256.0f + 128.0f) / 65025.0f) /
                                                  (2.0f * st.colourSigma * st.colourSigma));
                    sum += spatial * colour * lum(sp.at(x + dx, y + dy));
                    weights += spatial * colour;
                }
            }
            detail[std::size_t(y * w + x)] = sum / weights - st.detailPivot;
            interiorSum += lum(sp.at(x, y));
            ++interiorCount;
        }
    }

    Reference ref;
    std::uint32_t inkColour = 0;
    if (st.partsWeight > 0.0f && !borderColours.empty() && interiorCount > 0) {
        std::size_t best = 0;
        for (std::uint32_t c : borderColours) {
            const std::size_t n = std::size_t(std::count(borderColours.begin(), borderColours.end(), c));
            if (n > best || (n == best && c < inkColour)) {
                best = n, inkColour = c;
            }
        }
        ref.parts = best * 3 >= borderColours.size() && interiorSum / interiorCount - lum(inkColour) > 0.1;
    }
    auto isInk = [&](int x, int y) {
        return ref.parts && opaque(x, y) && interior(x, y) && dist2(sp.at(x, y), inkColour) <= 1600;
    };

    if (st.keepFrame || minX > maxX || minY > maxY) {
        minX = 0, minY = 0, maxX = w - 1, maxY = h - 1;
    }
    const int ow = maxX - minX + 1, oh = maxY - minY + 1;
    ref.fw = std::uint32_t(ow * S + 2), ref.fh = std::uint32_t(oh * S + 2);
    ref.FW = 1, ref.FH = 1;
    while (ref.FW < ref.fw) ref.FW *= 2;
    while (ref.FH < ref.fh) ref.FH *= 2;
    const int fw = int(ref.fw), fh = int(ref.fh);
    auto px = [&](int j) { return minX + (j == 0 ? 0 : (j - 1) / S); };
    auto py = [&](int i) { return minY + (i == 0 ? 0 : (i - 1) / S); };
    std::vector<std::uint8_t> in(std::size_t(fw * fh)), inkNode(std::size_t(fw * fh));
    for (int i = 0; i < fh; ++i) {
        for (int j = 0; j < fw; ++j) {
            const bool ring = i == 0 || j == 0 || i > S * oh || j > S * ow;
            in[std::size_t(i * fw + j)] = !ring && opaque(px(j), py(i));
            inkNode[std::size_t(i * fw + j)] = !ring && isInk(px(j), py(i));
        }
    }
    auto nearestSquared = [&](int i, int j, auto&& feature) {
        float best = 1e30f;
        for (int a = 0; a < fh; ++a) {
            for (int b = 0; b < fw; ++b) {
                if (feature(std::size_t(a * fw + b))) {
                    best = std::min(best, float((a - i) * (a - i) + (b - j) * (b - j)));
                }
            }
        }
        return best;
    };

    auto B = [&](float x) {
        const float R = st.bevelRadius;
        float p = 0.0f;
        if (R > 0.0f) {
            x = std::clamp(x, 0.0f, R);
            p = st.parabolicBevel ? (2 * R - x) * x / R : std::sqrt((2 * R - x) * x);
        }
        return std::max(st.baseHeight, st.bevelScale * p);
    };
    const float h0 = B(0.5f / float(S));
    const float T = B(1e30f) + h0 + std::max(0.0f, 1.0f - st.detailPivot) * st.detailStrength;
    std::vector<float> height(std::size_t(fw * fh), 0.0f);
    ref.colours.assign(std::size_t(fw * fh), 0);
    ref.ties.assign(std::size_t(fw * fh), {});
    float highest = h0;
    for (int i = 0; i < fh; ++i) {
        for (int j = 0; j < fw; ++j) {
            const std::size_t n = std::size_t(i * fw + j);
            if (!in[n]) {
                continue;
            }
            float bevel = B((std::sqrt(nearestSquared(i, j, [&](std::size_t m) { return !in[m]; })) - 0.5f) / S);
            if (ref.parts) {
                const float part =
                    inkNode[n] ? 0.0f
                               : (std::sqrt(nearestSquared(i, j, [&](std::size_t m) { return !in[m] || inkNode[m]; })) -
                                  0.5f) /
                                     S;
                bevel = st.partsWeight * B(part) + (1 - st.partsWeight) * bevel;
            }
            height[n] =
                std::max(st.baseHeight, bevel + detail[std::size_t(py(i) * w + px(j))] * st.detailStrength) + h0;
            highest = std::max(highest, height[n]);
            const std::uint32_t c = sp.at(px(j), py(i));
            auto conv = [&](int k) {
                const std::uint32_t v = (c >> k) & 0xFF;
                return std::uint32_t(st.linearAlbedo ? srgbToLinearByte(v) : float(v)) << k;
            };
            ref.colours[n] = conv(0) | conv(8) | conv(16) | 0xFF000000u;
        }
    }
    for (int i = 0; i < fh; ++i) {
        for (int j = 0; j < fw; ++j) {
            const std::size_t n = std::size_t(i * fw + j);
            if (in[n]) {
                continue;
            }
            const float d = nearestSquared(i, j, [&](std::size_t m) { return in[m] != 0; });
            for (int a = 0; a < fh; ++a) {
                for (int b = 0; b < fw; ++b) {
                    if (in[std::size_t(a * fw + b)] && float((a - i) * (a - i) + (b - j) * (b - j)) == d) {
                        ref.ties[n].push_back(std::size_t(a * fw + b));
                    }
                }
            }
        }
    }
    ref.values.resize(std::size_t(fw * fh));
    for (std::size_t n = 0; n < ref.values.size(); ++n) {
        ref.values[n] = std::uint16_t(std::min(65535.0f, height[n] * 65535.0f / T) + 0.5f);
    }
    ref.insideMask = in;
    ref.info.opaqueX = std::uint32_t(minX), ref.info.opaqueY = std::uint32_t(minY);
    ref.info.opaqueWidth = std::uint32_t(ow), ref.info.opaqueHeight = std::uint32_t(oh);
    ref.info.heightScale = T;
    ref.info.baseLevel = h0 / T;
    ref.info.topLevel = std::min(1.0f, highest / T + 1.0f / 65535.0f);
    return ref;
}

// Checks a synthesized field against the reference, node by node.
void expectMatchesReference(const ReliefSettings& st, const Sprite& sp, const Result& got, const std::string& label)
{
    SCOPED_TRACE(label);
    const Reference ref = referenceRelief(st, sp);
    ASSERT_EQ(got.info.fieldWidth, ref.FW);
    ASSERT_EQ(got.info.fieldHeight, ref.FH);
    ASSERT_EQ(got.field.width, ref.FW);
    ASSERT_EQ(got.field.albedoWidth, ref.FW);
    EXPECT_EQ(got.info.parts, ref.parts);
    EXPECT_EQ(got.info.opaqueX, ref.info.opaqueX);
    EXPECT_EQ(got.info.opaqueY, ref.info.opaqueY);
    EXPECT_EQ(got.info.opaqueWidth, ref.info.opaqueWidth);
    EXPECT_EQ(got.info.opaqueHeight, ref.info.opaqueHeight);
    EXPECT_FLOAT_EQ(got.info.heightScale, ref.info.heightScale);
    EXPECT_FLOAT_EQ(got.info.baseLevel, ref.info.baseLevel);
    EXPECT_FLOAT_EQ(got.info.topLevel, ref.info.topLevel);
    const std::uint32_t fw = ref.fw;
    int mismatches = 0;
    for (std::uint32_t i = 0; i < ref.FH && mismatches < 5; ++i) {
        for (std::uint32_t j = 0; j < ref.FW && mismatches < 5; ++j) {
            const std::size_t n = std::size_t(std::min(i, ref.fh - 1)) * fw + std::min(j, fw - 1);
            const std::uint16_t value = heightAt(got.field, j, i);
            const std::uint32_t colour = colourAt(got.field, j, i);
            bool ok = true;
            if (ref.insideMask[n]) {
                ok = value == ref.values[n] && colour == ref.colours[n];
            } else if (ref.ties[n].empty()) {
                ok = value == 0 && colour == 0xFF000000u;
            } else {
                bool found = false;
                for (std::size_t t : ref.ties[n]) {
                    const std::uint16_t expected = st.keepFrame ? ref.values[t] : 0;
                    found = found || (colour == ref.colours[t] && value == expected);
                }
                ok = found;
            }
            if (!ok) {
                ++mismatches;
                ADD_FAILURE() << "node (" << j << ", " << i << "): height " << value << " colour " << std::hex
                              << colour << std::dec << (ref.insideMask[n] ? " inside, expected " : " outside")
                              << (ref.insideMask[n] ? std::to_string(ref.values[n]) : std::string());
            }
        }
    }
}

// ---- construction and range checks ----

TEST(ReliefSynthesizer, NodesPerPixelOutsideOneToEightThrows)
{
    for (std::uint32_t s : {0u, 9u, 0xFFFFFFFFu}) {
        ReliefSettings settings;
        settings.nodesPerPixel = s;
        try {
            ReliefSynthesizer synth(settings);
            ADD_FAILURE() << "nodesPerPixel " << s << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "nodesPerPixel must be 1..8");
        }
    }
    for (std::uint32_t s : {1u, 8u}) {
        ReliefSettings settings;
        settings.nodesPerPixel = s;
        EXPECT_NO_THROW(ReliefSynthesizer{settings});
    }
}

TEST(ReliefSynthesizer, ImpossibleSpriteViewsThrowAndCropsAtTheEdgeAreRead)
{
    const Sprite atlas(16, 8, rgba(200, 100, 50));
    struct Case {
        const char* name;
        std::size_t offset;
        std::size_t count; // counted from the offset
        std::uint32_t width, height, stride;
        bool valid;
        bool noPixels; // the view's pixel pointer is null
    };
    const std::size_t corner = 4 * 16 + 12; // crop 4x4 at (12, 4): its last pixel is the atlas's last
    const Case cases[] = {
        {"zero width", 0, 128, 0, 4, 16, false, false},
        {"zero height", 0, 128, 4, 0, 16, false, false},
        {"stride below width", 0, 128, 8, 4, 7, false, false},
        {"one pixel short", 0, 16 * 3 + 7, 8, 4, 16, false, false},
        {"exactly enough", 0, 16 * 3 + 8, 8, 4, 16, true, false},
        {"implicit stride", 0, 32, 16, 2, 0, true, false},
        {"implicit stride one short", 0, 31, 16, 2, 0, false, false},
        {"corner crop", corner, 128 - corner, 4, 4, 16, true, false},
        {"corner crop one row too tall", corner, 128 - corner, 4, 5, 16, false, false},
        {"corner crop one column too wide", corner, 128 - corner, 5, 4, 16, false, false},
        {"no pixels behind a count", 0, 128, 4, 4, 16, false, true},
    };
    ReliefSynthesizer synth(ReliefSettings{});
    DisplacementField field = placeholderField();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::uint32_t* pixels = c.noPixels ? nullptr : atlas.pixels.data() + c.offset;
        const SpriteView view{pixels, c.count, c.width, c.height, c.stride};
        if (c.valid) {
            const ReliefInfo info = synth.synthesize(view, field);
            EXPECT_EQ(info.spriteWidth, c.width);
            EXPECT_EQ(info.spriteHeight, c.height);
            continue;
        }
        try {
            synth.synthesize(view, field);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "sprite view out of range");
        }
    }
}

// A crop read through the stride of a larger image gives the relief of the
// same pixels copied out on their own.
TEST(ReliefSynthesizer, StridedCropEqualsTheCopiedPixels)
{
    Sprite atlas(20, 14);
    const Sprite blob = outlinedBlob(9, 7);
    for (std::uint32_t y = 0; y < 7; ++y) {
        for (std::uint32_t x = 0; x < 9; ++x) {
            atlas.at(11 + x, 7 + y) = blob.at(x, y);
        }
    }
    atlas.at(10, 7) = rgba(255, 0, 0); // just outside the crop
    const std::size_t offset = 7 * 20 + 11;
    const SpriteView crop{atlas.pixels.data() + offset, atlas.pixels.size() - offset, 9, 7, 20};
    const Result a = synthesize(ReliefSettings{}, crop);
    const Result b = synthesize(ReliefSettings{}, blob.view());
    EXPECT_EQ(a.field.heights, b.field.heights);
    EXPECT_EQ(a.field.albedo, b.field.albedo);
    EXPECT_EQ(a.info.opaqueX, b.info.opaqueX);
}

// ---- hand-worked reliefs ----

// One opaque pixel at S = 1: a 3x3 node rectangle in a 4x4 field whose only
// inside node is (1, 1), one node from the outside. x = (1 - 0.5) / 1, so
// the bevel is sqrt((12 - 0.5) 0.5) = sqrt(5.75), which is also the plinth
// h0 = B(0.5 / S). The pixel has no interior, so no detail: height 2 h0.
// T = B(6) + h0 + 0.5 * 2 = 7 + h0; 2 h0 / T * 65535 = 33443.03.
TEST(ReliefSynthesizer, SinglePixelGivesOneRaisedNodeInAFourByFourField)
{
    ReliefSettings settings;
    settings.nodesPerPixel = 1;
    settings.linearAlbedo = false;
    const Sprite sprite(1, 1, rgba(10, 200, 90));
    const Result r = synthesize(settings, sprite.view());

    ASSERT_EQ(r.field.width, 4u);
    ASSERT_EQ(r.field.height, 4u);
    EXPECT_TRUE(r.field.clampEdges);
    for (std::uint32_t y = 0; y < 4; ++y) {
        for (std::uint32_t x = 0; x < 4; ++x) {
            EXPECT_EQ(heightAt(r.field, x, y), x == 1 && y == 1 ? 33443 : 0) << x << "," << y;
            EXPECT_EQ(colourAt(r.field, x, y), rgba(10, 200, 90)) << x << "," << y;
        }
    }
    const float h0 = std::sqrt(5.75f);
    EXPECT_FLOAT_EQ(r.info.heightScale, 7.0f + h0);
    EXPECT_FLOAT_EQ(r.info.baseLevel, h0 / (7.0f + h0));
    EXPECT_FLOAT_EQ(r.info.topLevel, 2.0f * h0 / (7.0f + h0) + 1.0f / 65535.0f);
    EXPECT_EQ(r.info.opaqueWidth, 1u);
    EXPECT_EQ(r.info.gridOffsetX, 1);
    EXPECT_EQ(r.info.gridOffsetY, 1);
    EXPECT_FALSE(r.info.parts);
    EXPECT_EQ(r.field.pixelGrid, 1u);
    EXPECT_EQ(r.field.pixelGridOffsetX, 1);
}

// 2x2 pixels at S = 2: inside nodes 1..4 in both directions. The outer ring
// of them is one node from the outside (x = 0.25, bevel sqrt(11.75 * 0.25)),
// the middle 2x2 two nodes (x = 0.75, bevel sqrt(11.25 * 0.75)); h0 is the
// first. Every pixel is a border pixel: no detail, no ink. Colours go
// through the sRGB-to-linear table; outside nodes repeat their neighbour.
TEST(ReliefSynthesizer, TwoByTwoSpriteAtTwoNodesPerPixel)
{
    ReliefSettings settings;
    settings.nodesPerPixel = 2;
    Sprite sprite(2, 2);
    sprite.at(0, 0) = rgba(255, 0, 128);
    sprite.at(1, 0) = rgba(10, 255, 0);
    sprite.at(0, 1) = rgba(128, 128, 128);
    sprite.at(1, 1) = rgba(0, 10, 255);
    const Result r = synthesize(settings, sprite.view());
    ASSERT_EQ(r.field.width, 8u);
    ASSERT_EQ(r.field.height, 8u);

    const float near = std::sqrt(11.75f * 0.25f);
    const float far = std::sqrt(11.25f * 0.75f);
    const float T = 6.0f + near + 1.0f;
    const auto value = [&](float hgt) { return std::uint16_t(std::min(65535.0f, hgt * 65535.0f / T) + 0.5f); };
    // 255 -> 255, 0 -> 0, 128 -> 55 (0.2159), 10 -> 1 (0.0030, on the linear toe).
    const std::uint32_t linear[2][2] = {{rgba(255, 0, 55), rgba(1, 255, 0)}, {rgba(55, 55, 55), rgba(0, 1, 255)}};
    for (std::uint32_t i = 0; i < 8; ++i) {
        for (std::uint32_t j = 0; j < 8; ++j) {
            const std::uint32_t ci = std::min(std::max(i, 1u), 4u), cj = std::min(std::max(j, 1u), 4u);
            const bool isInside = i >= 1 && i <= 4 && j >= 1 && j <= 4;
            const bool middle = i >= 2 && i <= 3 && j >= 2 && j <= 3;
            const std::uint16_t expected = !isInside ? 0 : value((middle ? far : near) + near);
            EXPECT_EQ(heightAt(r.field, j, i), expected) << j << "," << i;
            EXPECT_EQ(colourAt(r.field, j, i), linear[(ci - 1) / 2][(cj - 1) / 2]) << j << "," << i;
        }
    }
    EXPECT_FALSE(r.info.parts);
}

// A transparent pixel in the middle of a 5x5 block becomes a pit: its node
// is outside (height 0) and takes the colour of one of its four nearest
// inside neighbours; the nodes around it sit on the low end of the bevel.
TEST(ReliefSynthesizer, TransparentHoleIsCutOutAndTakesANeighbourColour)
{
    ReliefSettings settings;
    settings.nodesPerPixel = 1;
    settings.linearAlbedo = false;
    Sprite sprite(5, 5, rgba(150, 150, 150));
    sprite.at(2, 1) = rgba(200, 0, 0);
    sprite.at(1, 2) = rgba(0, 200, 0);
    sprite.at(3, 2) = rgba(0, 0, 200);
    sprite.at(2, 3) = rgba(200, 200, 0);
    sprite.at(2, 2) = rgba(255, 255, 255, 0);
    const Result r = synthesize(settings, sprite.view());
    ASSERT_EQ(r.field.width, 8u);
    EXPECT_EQ(heightAt(r.field, 3, 3), 0);
    // All four neighbours are one node away. The column pass keeps the one
    // above, but along the row the parabola of the left column covers the
    // hole's column up to and including the boundary at 3, so the left
    // neighbour wins.
    EXPECT_EQ(colourAt(r.field, 3, 3), sprite.at(1, 2));
    // The rim of the pit is as low as the outer rim of the block.
    EXPECT_EQ(heightAt(r.field, 2, 3), heightAt(r.field, 1, 3));
    EXPECT_GT(heightAt(r.field, 2, 2), 0);
    expectMatchesReference(settings, sprite, r, "hole");
}

// Transparent margins only move the grid offset: the relief of a sprite
// with margins is the relief of its opaque bounding box.
TEST(ReliefSynthesizer, OpaqueBoundingBoxIsTheUsedRectangle)
{
    const Sprite tight = outlinedBlob(7, 9);
    Sprite padded(12, 13);
    for (std::uint32_t y = 0; y < 9; ++y) {
        for (std::uint32_t x = 0; x < 7; ++x) {
            padded.at(3 + x, 1 + y) = tight.at(x, y);
        }
    }
    padded.at(11, 12) = rgba(0, 0, 0, 127); // below the alpha threshold
    ReliefSettings settings;
    settings.nodesPerPixel = 3;
    const Result a = synthesize(settings, padded.view());
    const Result b = synthesize(settings, tight.view());
    EXPECT_EQ(a.info.opaqueX, 3u);
    EXPECT_EQ(a.info.opaqueY, 1u);
    EXPECT_EQ(a.info.opaqueWidth, 7u);
    EXPECT_EQ(a.info.opaqueHeight, 9u);
    EXPECT_EQ(a.info.gridOffsetX, 1 - 9);
    EXPECT_EQ(a.info.gridOffsetY, 1 - 3);
    EXPECT_EQ(a.field.pixelGridOffsetX, 1 - 9);
    EXPECT_EQ(a.field.pixelGrid, 3u);
    EXPECT_EQ(a.info.fieldWidth, 32u);  // 7 * 3 + 2 = 23
    EXPECT_EQ(a.info.fieldHeight, 32u); // 9 * 3 + 2 = 29
    EXPECT_EQ(a.field.heights, b.field.heights);
    EXPECT_EQ(a.field.albedo, b.field.albedo);

    settings.keepFrame = true;
    const Result framed = synthesize(settings, padded.view());
    EXPECT_EQ(framed.info.opaqueX, 0u);
    EXPECT_EQ(framed.info.opaqueWidth, 12u);
    EXPECT_EQ(framed.info.opaqueHeight, 13u);
    EXPECT_EQ(framed.info.gridOffsetX, 1);
    EXPECT_TRUE(framed.info.keepFrame);
    EXPECT_EQ(framed.info.fieldWidth, 64u); // 38
    EXPECT_EQ(framed.info.fieldHeight, 64u); // 41
}

TEST(ReliefSynthesizer, FieldSizeIsTheNodeRectangleRoundedUpToPowersOfTwo)
{
    struct Case {
        std::uint32_t w, h, s, fieldW, fieldH;
    };
    const Case cases[] = {{64, 64, 1, 128, 128}, {20, 20, 2, 64, 64}, {3, 1, 8, 32, 16}, {62, 30, 1, 64, 32}};
    for (const Case& c : cases) {
        ReliefSettings settings;
        settings.nodesPerPixel = c.s;
        const Sprite sprite(c.w, c.h, rgba(90, 90, 90));
        const Result r = synthesize(settings, sprite.view());
        EXPECT_EQ(r.info.fieldWidth, c.fieldW) << c.w << "x" << c.h << " S=" << c.s;
        EXPECT_EQ(r.info.fieldHeight, c.fieldH) << c.w << "x" << c.h << " S=" << c.s;
        EXPECT_EQ(r.field.width, c.fieldW);
        EXPECT_EQ(r.field.albedoHeight, c.fieldH);
    }
}

// A relief whose node rectangle is wider or taller than the largest field
// (32768 nodes) is refused with the field's own message, and the field
// passed in keeps the previous relief. Only the used rectangle counts: a
// wide sprite with a small opaque part fits.
TEST(ReliefSynthesizer, ReliefBeyondTheLargestFieldIsRefusedAndLeavesTheFieldAlone)
{
    struct Case {
        const char* name;
        std::uint32_t w, h, s;
        std::uint32_t opaqueFrom, opaqueTo; // opaque columns [from, to) of every row
        std::uint32_t fieldW;               // 0: refused
    };
    const Case cases[] = {
        {"widest at eight nodes", 4095, 1, 8, 0, 4095, 32768},
        {"one pixel wider at eight nodes", 4096, 1, 8, 0, 4096, 0},
        {"widest at one node", 32766, 1, 1, 0, 32766, 32768},
        {"one pixel wider at one node", 32767, 1, 1, 0, 32767, 0},
        {"wide sprite, small opaque part", 40000, 1, 8, 20000, 20010, 128},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ReliefSettings settings;
        settings.nodesPerPixel = c.s;
        ReliefSynthesizer synth(settings);
        DisplacementField field = placeholderField();
        const Sprite before(3, 2, rgba(120, 60, 30));
        synth.synthesize(before.view(), field);
        const std::vector<std::uint16_t> heightsBefore(field.heights.begin(), field.heights.end());

        Sprite sprite(c.w, c.h);
        for (std::uint32_t x = c.opaqueFrom; x < c.opaqueTo; ++x)
            sprite.at(x, 0) = rgba(90, 90, 90);
        if (c.fieldW != 0) {
            EXPECT_EQ(synth.synthesize(sprite.view(), field).fieldWidth, c.fieldW);
            continue;
        }
        try {
            synth.synthesize(sprite.view(), field);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "field too large");
        }
        EXPECT_EQ(std::vector<std::uint16_t>(field.heights.begin(), field.heights.end()), heightsBefore);
    }
}

TEST(ReliefSynthesizer, SpriteWithoutOpaquePixelsIsFlatAndBlack)
{
    Sprite sprite(5, 3, rgba(255, 255, 255, 100));
    sprite.at(1, 1) = rgba(7, 8, 9); // the colour key
    ReliefSettings settings;
    settings.useColourKey = true;
    settings.colourKey = {7, 8, 9};
    settings.keepFrame = true;
    const Result r = synthesize(settings, sprite.view());
    EXPECT_EQ(r.info.opaqueWidth, 5u);
    EXPECT_EQ(r.info.opaqueHeight, 3u);
    EXPECT_FALSE(r.info.parts);
    EXPECT_EQ(r.field.width, 16u);
    EXPECT_EQ(r.field.height, 8u);
    for (std::size_t n = 0; n < std::size_t(r.field.width) * r.field.height; ++n) {
        ASSERT_EQ(r.field.heights[n], 0);
        ASSERT_EQ(r.field.albedo[n], 0xFF000000u);
    }
}

bool finite(Vec3 v) { return std::isfinite(v.x) && std::isfinite(v.y) && std::isfinite(v.z); }

// No bevel, no base and a pivot at or above the brightest luminance leave the
// relief without any height: it comes out flat, and its scale, levels and
// prisms stay finite (a zero range would put NaN into the prism's origin).
TEST(ReliefSynthesizer, SettingsWithoutAnyHeightGiveAFlatFiniteRelief)
{
    Sprite sprite(8, 8);
    for (std::uint32_t y = 0; y < 8; ++y) {
        for (std::uint32_t x = 0; x < 8; ++x) {
            sprite.at(x, y) = rgba(30 * x, 200 - 20 * y, 90);
        }
    }
    for (const float pivot : {1.0f, 1.5f}) {
        SCOPED_TRACE(pivot);
        ReliefSettings settings;
        settings.bevelRadius = 0.0f;
        settings.baseHeight = 0.0f;
        settings.detailPivot = pivot;
        const Result r = synthesize(settings, sprite.view());
        EXPECT_TRUE(std::isfinite(r.info.heightScale) && r.info.heightScale > 0.0f) << r.info.heightScale;
        EXPECT_EQ(r.info.baseLevel, 0.0f);
        EXPECT_TRUE(std::isfinite(r.info.topLevel));
        EXPECT_LE(r.info.topLevel, 1.0f);
        for (const std::uint16_t h : r.field.heights) {
            ASSERT_EQ(h, 0);
        }
        const Prism front = reliefPrism(r.info, 0, Vec3{1.0f, 2.0f, 3.0f}, Vec3{1.0f, 0.0f, 0.0f},
                                        Vec3{0.0f, -1.0f, 0.0f}, Vec3{0.0f, 0.0f, 1.0f}, 0.02f, 1.0f);
        const Prism back = mirroredPrism(front, r.info);
        for (const Prism& prism : {front, back}) {
            EXPECT_TRUE(finite(prism.origin) && finite(prism.axisU) && finite(prism.axisV) && finite(prism.axisH));
            EXPECT_TRUE(std::isfinite(prism.hMin) && std::isfinite(prism.hMax));
            EXPECT_LE(prism.hMin, prism.hMax);
        }
    }
}

// ---- ink outline detection ----

TEST(ReliefSynthesizer, InkOutlineIsFoundOnlyForADominantDarkBorderColour)
{
    const std::uint32_t ink = rgba(28, 22, 52);
    const std::uint32_t body = rgba(80, 200, 90);
    auto framed = [&](std::uint32_t borderA, std::uint32_t borderB) {
        Sprite s(8, 8, body);
        for (std::uint32_t k = 0; k < 8; ++k) {
            const std::uint32_t c = k % 2 == 0 ? borderA : borderB;
            s.at(k, 0) = c, s.at(k, 7) = c, s.at(0, k) = c, s.at(7, k) = c;
        }
        for (std::uint32_t y = 2; y < 6; ++y) {
            s.at(4, y) = ink; // a stroke that splits the body into two parts
        }
        return s;
    };
    Sprite line(9, 1, rgba(20, 20, 20));
    line.at(4, 0) = rgba(250, 250, 250);
    struct Case {
        const char* name;
        Sprite sprite;
        float partsWeight;
        bool parts;
    };
    const Case cases[] = {
        {"dark outline", framed(ink, ink), 0.6f, true},
        {"outline of two colours, a third each is enough", framed(ink, rgba(29, 22, 52)), 0.6f, true},
        {"parts switched off", framed(ink, ink), 0.0f, false},
        {"outline about as bright as the body", framed(rgba(90, 180, 90), rgba(90, 180, 90)), 0.6f, false},
        {"one-pixel line has no interior", line, 0.6f, false},
    };
    for (const Case& c : cases) {
        ReliefSettings settings;
        settings.partsWeight = c.partsWeight;
        const Result r = synthesize(settings, c.sprite.view());
        EXPECT_EQ(r.info.parts, c.parts) << c.name;
        expectMatchesReference(settings, c.sprite, r, c.name);
    }

    // Split evenly between four colours, none covers a third of the border.
    Sprite split(9, 9, body);
    const std::uint32_t edge[4] = {ink, rgba(30, 30, 30), rgba(40, 20, 20), rgba(20, 40, 20)};
    std::uint32_t k = 0;
    for (std::uint32_t y = 0; y < 9; ++y) {
        for (std::uint32_t x = 0; x < 9; ++x) {
            if (x == 0 || y == 0 || x == 8 || y == 8) {
                split.at(x, y) = edge[k++ % 4];
            }
        }
    }
    EXPECT_FALSE(synthesize(ReliefSettings{}, split.view()).info.parts);

    // Three colours a third each: the run of the smallest value is the
    // candidate, and exactly a third is enough.
    auto thirds = [&](std::uint32_t first, std::uint32_t second, std::uint32_t third) {
        Sprite s(7, 7, body);
        std::uint32_t ring = 0;
        for (std::uint32_t y = 0; y < 7; ++y) {
            for (std::uint32_t x = 0; x < 7; ++x) {
                if (x == 0 || y == 0 || x == 6 || y == 6) {
                    const std::uint32_t c[3] = {first, second, third};
                    s.at(x, y) = c[ring++ % 3];
                }
            }
        }
        return s;
    };
    const std::uint32_t light = rgba(200, 200, 200), lighter = rgba(240, 240, 240);
    ASSERT_LT(ink & 0xFFFFFF, light & 0xFFFFFF);
    EXPECT_TRUE(synthesize(ReliefSettings{}, thirds(ink, light, lighter).view()).info.parts);
    EXPECT_TRUE(synthesize(ReliefSettings{}, thirds(lighter, ink, light).view()).info.parts);

    // The stroke is lower than the body beside it.
    const Result inked = synthesize(ReliefSettings{}, framed(ink, ink).view());
    const std::uint32_t strokeNode = 1 + 2 * 4, bodyNode = 1 + 2 * 2, rowNode = 1 + 2 * 3;
    EXPECT_LT(heightAt(inked.field, strokeNode, rowNode), heightAt(inked.field, bodyNode, rowNode));

    // A stroke pixel at squared colour distance 1600 from the ink is ink, at 1601 not.
    Sprite within = framed(ink, ink), beyond = framed(ink, ink);
    within.at(4, 3) = rgba(28 + 40, 22, 52);
    beyond.at(4, 3) = rgba(28 + 40, 23, 52);
    const Result a = synthesize(ReliefSettings{}, within.view());
    const Result b = synthesize(ReliefSettings{}, beyond.view());
    EXPECT_LT(heightAt(a.field, strokeNode, rowNode) + 1000, heightAt(b.field, strokeNode, rowNode));
    expectMatchesReference(ReliefSettings{}, beyond, b, "beyond the ink distance");
}

// Border pixels add no detail whatever their luminance: a line of dark
// pixels and a line of bright ones stand up alike.
TEST(ReliefSynthesizer, PixelsWithoutInteriorAddNoDetail)
{
    const Sprite dark(7, 1, rgba(10, 10, 10));
    const Sprite bright(7, 1, rgba(250, 250, 250));
    const Result a = synthesize(ReliefSettings{}, dark.view());
    const Result b = synthesize(ReliefSettings{}, bright.view());
    EXPECT_EQ(a.field.heights, b.field.heights);
    EXPECT_NE(a.field.albedo, b.field.albedo);
}

// ---- against the reference ----

Sprite randomSprite(std::mt19937& rng)
{
    std::uniform_int_distribution<std::uint32_t> size(1, 12);
    Sprite s(size(rng), size(rng));
    const std::uint32_t palette[] = {rgba(28, 22, 52), rgba(72, 176, 84), rgba(150, 228, 118), rgba(38, 112, 66),
                                     rgba(200, 60, 40), rgba(30, 26, 50)};
    std::uniform_int_distribution<int> pick(0, 5);
    std::uniform_real_distribution<float> unit(0.0f, 1.0f);
    const int style = int(rng() % 3);
    if (style == 0) {
        // Noise: holes, islands and pixels at every edge.
        for (std::uint32_t& p : s.pixels) {
            p = unit(rng) < 0.7f ? palette[pick(rng)] : rgba(255, 0, 255, std::uint32_t(rng() % 128));
        }
    } else {
        // An outlined blob, sometimes with a few holes punched in.
        s = outlinedBlob(s.width + 2, s.height + 2);
        for (std::uint32_t& p : s.pixels) {
            if (p != kClear && style == 2 && unit(rng) < 0.08f) {
                p = kClear;
            } else if (p != kClear && p != rgba(28, 22, 52) && unit(rng) < 0.3f) {
                p = palette[pick(rng)];
            }
        }
    }
    return s;
}

TEST(ReliefSynthesizer, MatchesABruteForceReferenceOnRandomSprites)
{
    std::mt19937 rng(20261210);
    int withParts = 0;
    for (int trial = 0; trial < 60; ++trial) {
        const Sprite sprite = randomSprite(rng);
        ReliefSettings settings;
        settings.nodesPerPixel = 1 + rng() % 4;
        settings.parabolicBevel = rng() % 2 == 0;
        settings.keepFrame = rng() % 4 == 0;
        settings.linearAlbedo = rng() % 2 == 0;
        settings.partsWeight = rng() % 4 == 0 ? 0.0f : (rng() % 2 == 0 ? 0.6f : 1.0f);
        settings.bevelRadius = rng() % 5 == 0 ? 0.0f : 1.0f + float(rng() % 6);
        settings.colourSigma = rng() % 2 == 0 ? 0.15f : 0.4f;
        const Result r = synthesize(settings, sprite.view());
        withParts += r.info.parts ? 1 : 0;
        expectMatchesReference(settings, sprite, r, "trial " + std::to_string(trial));
        if (HasFailure()) {
            return;
        }
    }
    EXPECT_GT(withParts, 5); // the ink path was exercised
}

// ---- invariants ----

TEST(ReliefSynthesizer, InsideHeightsLieBetweenThePlinthAndTheTop)
{
    std::mt19937 rng(7);
    for (int trial = 0; trial < 20; ++trial) {
        const Sprite sprite = randomSprite(rng);
        ReliefSettings settings;
        settings.nodesPerPixel = 1 + rng() % 3;
        const Result r = synthesize(settings, sprite.view());
        const Reference ref = referenceRelief(settings, sprite);
        const float base = r.info.baseLevel * 65535.0f, top = r.info.topLevel * 65535.0f;
        for (std::uint32_t i = 0; i < ref.fh; ++i) {
            for (std::uint32_t j = 0; j < ref.fw; ++j) {
                const float v = heightAt(r.field, j, i);
                if (ref.insideMask[std::size_t(i) * ref.fw + j]) {
                    EXPECT_GE(v, std::floor(base)) << j << "," << i;
                    EXPECT_LE(v, top) << j << "," << i;
                } else {
                    EXPECT_EQ(v, 0.0f) << j << "," << i;
                }
            }
        }
        EXPECT_LE(r.info.topLevel, 1.0f);
        EXPECT_LT(r.info.baseLevel, r.info.topLevel);
    }
}

// A negative detail strength lifts dark pixels above the planned range
// (T = 6 + h0 - 0.5, a dark pixel far from the edge 6 + 0.5 + h0): heights
// saturate at 65535 and the top level stays 1.
TEST(ReliefSynthesizer, HeightsBeyondTheRangeSaturate)
{
    ReliefSettings settings;
    settings.nodesPerPixel = 1;
    settings.detailStrength = -1.0f;
    Sprite sprite(20, 20, rgba(0, 0, 0));
    const Result r = synthesize(settings, sprite.view());
    EXPECT_EQ(r.info.topLevel, 1.0f);
    EXPECT_EQ(*std::max_element(r.field.heights.begin(), r.field.heights.end()), 65535);
}

Sprite mirrored(const Sprite& s)
{
    Sprite m(s.width, s.height);
    for (std::uint32_t y = 0; y < s.height; ++y) {
        for (std::uint32_t x = 0; x < s.width; ++x) {
            m.at(x, y) = s.at(s.width - 1 - x, y);
        }
    }
    return m;
}

Sprite transposed(const Sprite& s)
{
    Sprite t(s.height, s.width);
    for (std::uint32_t y = 0; y < s.height; ++y) {
        for (std::uint32_t x = 0; x < s.width; ++x) {
            t.at(y, x) = s.at(x, y);
        }
    }
    return t;
}

// Mirroring or transposing the sprite mirrors or transposes the relief: the
// distances are exact, only the order of the smoothing sums may move a
// height by one step. Inside colours follow exactly.
TEST(ReliefSynthesizer, MirroredAndTransposedSpritesGiveMirroredAndTransposedReliefs)
{
    std::mt19937 rng(99);
    for (int trial = 0; trial < 12; ++trial) {
        const Sprite sprite = randomSprite(rng);
        ReliefSettings settings;
        settings.nodesPerPixel = 1 + rng() % 3;
        const Result a = synthesize(settings, sprite.view());
        const Result m = synthesize(settings, mirrored(sprite).view());
        const Result t = synthesize(settings, transposed(sprite).view());
        const Reference ref = referenceRelief(settings, sprite);
        ASSERT_EQ(a.info.parts, m.info.parts);
        ASSERT_EQ(a.info.parts, t.info.parts);
        ASSERT_EQ(t.info.fieldWidth, a.info.fieldHeight);
        for (std::uint32_t i = 0; i < ref.fh; ++i) {
            for (std::uint32_t j = 0; j < ref.fw; ++j) {
                const std::uint32_t mj = ref.fw - 1 - j;
                EXPECT_NEAR(heightAt(a.field, j, i), heightAt(m.field, mj, i), 1) << trial << ": " << j << "," << i;
                EXPECT_NEAR(heightAt(a.field, j, i), heightAt(t.field, i, j), 1) << trial << ": " << j << "," << i;
                if (ref.insideMask[std::size_t(i) * ref.fw + j]) {
                    EXPECT_EQ(colourAt(a.field, j, i), colourAt(m.field, mj, i));
                    EXPECT_EQ(colourAt(a.field, j, i), colourAt(t.field, i, j));
                }
            }
        }
    }
}

// ---- reuse ----

// One synthesizer and one output field, reused across sizes (which grows
// and shrinks every scratch array and takes both the replace and the
// in-place path of the field), give what fresh ones give.
TEST(ReliefSynthesizer, ReusedSynthesizerAndFieldMatchFreshOnes)
{
    ReliefSettings settings;
    settings.nodesPerPixel = 2;
    const Sprite sprites[] = {outlinedBlob(14, 10), outlinedBlob(4, 4), Sprite(1, 1, rgba(1, 2, 3)),
                              outlinedBlob(15, 9), outlinedBlob(14, 10), outlinedBlob(30, 7)};
    ReliefSynthesizer reused(settings);
    DisplacementField field = placeholderField();
    for (const Sprite& sprite : sprites) {
        const ReliefInfo info = reused.synthesize(sprite.view(), field);
        const Result fresh = synthesize(settings, sprite.view());
        EXPECT_EQ(field.width, fresh.field.width);
        EXPECT_EQ(field.heights, fresh.field.heights);
        EXPECT_EQ(field.bounds, fresh.field.bounds);
        EXPECT_EQ(field.albedo, fresh.field.albedo);
        EXPECT_EQ(field.pixelGridOffsetX, fresh.field.pixelGridOffsetX);
        EXPECT_EQ(field.pixelGridOffsetY, fresh.field.pixelGridOffsetY);
        EXPECT_EQ(info.parts, fresh.info.parts);
        EXPECT_EQ(info.topLevel, fresh.info.topLevel);
        for (double t : reused.stageTimes()) {
            EXPECT_GE(t, 0.0);
        }
    }
}

TEST(ReliefSynthesizer, WrappingFieldOfTheRightSizeIsReplacedByAClampingOne)
{
    const Sprite sprite = outlinedBlob(6, 6);
    const std::vector<std::uint16_t> junk(16 * 16, 12345);
    DisplacementField field(16, 16, std::span<const std::uint16_t>(junk), false);
    ReliefSynthesizer synth(ReliefSettings{});
    EXPECT_EQ(synth.stageTimes()[0] + synth.stageTimes()[3], 0.0);
    synth.synthesize(sprite.view(), field);
    EXPECT_TRUE(field.clampEdges);
    EXPECT_EQ(field.heights, synthesize(ReliefSettings{}, sprite.view()).field.heights);
}

// A field that held other content (here material bytes, as the generators
// give) and already has the relief's size and edge rule is updated in place;
// the relief must not keep the old content's materials, which the shading
// would report for the sprite's surface.
TEST(ReliefSynthesizer, FieldUpdatedInPlaceCarriesNoEarlierMaterials)
{
    const Sprite sprite = outlinedBlob(6, 6);
    const Result fresh = synthesize(ReliefSettings{}, sprite.view());
    ASSERT_TRUE(fresh.field.materials.empty());

    const std::vector<std::uint16_t> earlier(std::size_t(fresh.field.width) * fresh.field.height, 40000);
    DisplacementField field(fresh.field.width, fresh.field.height, std::span<const std::uint16_t>(earlier), true);
    field.setMaterials(std::vector<std::uint8_t>(earlier.size(), 7));
    ReliefSynthesizer synth(ReliefSettings{});
    synth.synthesize(sprite.view(), field);

    EXPECT_EQ(field.heights, fresh.field.heights);
    EXPECT_EQ(field.albedo, fresh.field.albedo);
    EXPECT_TRUE(field.materials.empty());
    EXPECT_EQ(field.materialAt(0.5f, 0.5f), fresh.field.materialAt(0.5f, 0.5f));
}

// ---- distance transform ----

TEST(ReliefDistance, MatchesBruteForceAndKeepsFeatureNodes)
{
    std::mt19937 rng(5);
    DistanceScratch scratch;
    for (int trial = 0; trial < 80; ++trial) {
        const std::uint32_t columns = 1 + rng() % 23, rows = 1 + rng() % 23, stride = columns + rng() % 3;
        const float density = trial % 10 == 0 ? 0.0f : float(rng() % 100) / 400.0f;
        std::vector<std::uint8_t> mask(std::size_t(stride) * rows, 0);
        for (auto& m : mask) {
            m = float(rng() % 1000) / 1000.0f < density ? 1 : 0;
        }
        std::vector<float> distance(mask.size(), -7.0f);
        std::vector<std::int32_t> nearest(mask.size(), -7);
        squaredDistanceTransform(mask.data(), 1, columns, rows, stride, distance.data(), nearest.data(), scratch);
        for (std::uint32_t i = 0; i < rows; ++i) {
            for (std::uint32_t j = 0; j < columns; ++j) {
                const std::size_t n = std::size_t(i) * stride + j;
                if (mask[n]) {
                    ASSERT_EQ(distance[n], -7.0f);
                    ASSERT_EQ(nearest[n], -7);
                    continue;
                }
                float best = kNoFeatureDistance;
                for (std::uint32_t a = 0; a < rows; ++a) {
                    for (std::uint32_t b = 0; b < columns; ++b) {
                        if (mask[std::size_t(a) * stride + b]) {
                            const float di = float(a) - float(i), dj = float(b) - float(j);
                            best = std::min(best, di * di + dj * dj);
                        }
                    }
                }
                ASSERT_EQ(distance[n], best) << trial << ": " << j << "," << i;
                if (best == kNoFeatureDistance) {
                    ASSERT_EQ(nearest[n], -1);
                    continue;
                }
                ASSERT_GE(nearest[n], 0);
                const std::uint32_t fi = std::uint32_t(nearest[n]) / stride, fj = std::uint32_t(nearest[n]) % stride;
                ASSERT_LT(fj, columns);
                ASSERT_EQ(mask[std::size_t(nearest[n])], 1);
                const float di = float(fi) - float(i), dj = float(fj) - float(j);
                ASSERT_EQ(di * di + dj * dj, best);
            }
        }
    }
}

// ---- placing a relief in the world ----

Vec3 localToWorld(const Prism& p, float u, float v, float h)
{
    return p.origin + p.axisU * u + p.axisV * v + p.axisH * h;
}

void expectNear(Vec3 a, Vec3 b, const char* what)
{
    EXPECT_NEAR(a.x, b.x, 1e-5f) << what;
    EXPECT_NEAR(a.y, b.y, 1e-5f) << what;
    EXPECT_NEAR(a.z, b.z, 1e-5f) << what;
}

TEST(ReliefPrism, PixelCornersLandOnTheAnchorGridAndTheBoxCutsTheSilhouette)
{
    Sprite sprite(10, 8);
    for (std::uint32_t y = 2; y < 7; ++y) {
        for (std::uint32_t x = 3; x < 9; ++x) {
            sprite.at(x, y) = rgba(100, 150, 200);
        }
    }
    ReliefSettings settings;
    settings.nodesPerPixel = 3;
    const Result r = synthesize(settings, sprite.view());
    const Vec3 anchor{1.0f, 2.0f, -3.0f}, right{1, 0, 0}, down{0, -1, 0}, normal{0, 0, 1};
    const float p = 0.0625f;
    const Prism prism = reliefPrism(r.info, 5, anchor, right, down, normal, p, 2.0f);
    EXPECT_EQ(prism.fieldIndex, 5u);
    const float FW = float(r.info.fieldWidth), FH = float(r.info.fieldHeight);
    expectNear(prism.axisU, right * (FW / 3.0f * p), "axisU");
    expectNear(prism.axisV, down * (FH / 3.0f * p), "axisV");
    expectNear(prism.axisH, normal * (p * r.info.heightScale * 2.0f), "axisH");

    // The corner of sprite pixel (c, row) lies at field node gridOffset + S c - 0.5.
    for (const auto& [c, row] : {std::pair{0, 0}, std::pair{3, 2}, std::pair{9, 7}}) {
        const float u = (float(r.info.gridOffsetX) + 3.0f * float(c) - 0.5f) / FW;
        const float v = (float(r.info.gridOffsetY) + 3.0f * float(row) - 0.5f) / FH;
        expectNear(localToWorld(prism, u, v, r.info.baseLevel), anchor + right * (float(c) * p) + down * (float(row) * p),
                   "pixel corner");
    }
    EXPECT_EQ(prism.uMin, 0.0f);
    EXPECT_FLOAT_EQ(prism.uMax, (3.0f * 6 + 1) / FW);
    EXPECT_FLOAT_EQ(prism.vMax, (3.0f * 5 + 1) / FH);
    EXPECT_EQ(prism.hMin, r.info.baseLevel);
    EXPECT_EQ(prism.hMax, r.info.topLevel);
    // Outside nodes stand at height 0, below the box.
    EXPECT_GT(prism.hMin, 0.0f);
    const Prism fresh;
    EXPECT_EQ(prism.heightTexelSize, fresh.heightTexelSize);
    EXPECT_EQ(prism.toLocal, fresh.toLocal);
    EXPECT_FALSE(prism.sideNormalsOff);
    EXPECT_EQ(prism.waterDepthScale, 0.0f);
    EXPECT_EQ(prism.albedoTexelSize, fresh.albedoTexelSize);
    EXPECT_EQ(prism.normalM, fresh.normalM);
    // No world box until the scene refreshes the prism: an empty one, which
    // holds no point (not even the origin, as a zero box would).
    const float inf = std::numeric_limits<float>::infinity();
    EXPECT_EQ(prism.boundsMin, (Vec3{inf, inf, inf}));
    EXPECT_EQ(prism.boundsMax, (Vec3{-inf, -inf, -inf}));
    const Prism back = mirroredPrism(prism, r.info);
    EXPECT_EQ(back.boundsMin, prism.boundsMin);
    EXPECT_EQ(back.boundsMax, prism.boundsMax);

    settings.keepFrame = true;
    const Result framed = synthesize(settings, sprite.view());
    const Prism tile = reliefPrism(framed.info, 0, anchor, right, down, normal, p, 1.0f);
    const float tw = float(framed.info.fieldWidth), th = float(framed.info.fieldHeight);
    EXPECT_FLOAT_EQ(tile.uMin, 0.5f / tw);
    EXPECT_FLOAT_EQ(tile.uMax, (0.5f + 30.0f) / tw);
    EXPECT_FLOAT_EQ(tile.vMin, 0.5f / th);
    EXPECT_FLOAT_EQ(tile.vMax, (0.5f + 24.0f) / th);
    EXPECT_EQ(tile.hMin, 0.0f);
    // The kept frame spans exactly the sprite rectangle in the world.
    expectNear(localToWorld(tile, tile.uMin, tile.vMin, framed.info.baseLevel), anchor, "frame corner");
    expectNear(localToWorld(tile, tile.uMax, tile.vMax, framed.info.baseLevel), anchor + right * (10 * p) + down * (8 * p),
               "far frame corner");
}

TEST(ReliefPrism, MirroredTwinSharesThePlinthAndRisesTheOtherWay)
{
    const Sprite sprite = outlinedBlob(8, 8);
    const Result r = synthesize(ReliefSettings{}, sprite.view());
    const Prism front = reliefPrism(r.info, 2, Vec3{0, 1, 0}, Vec3{1, 0, 0}, Vec3{0, -1, 0}, Vec3{0, 0, 1}, 0.1f, 1);
    const Prism back = mirroredPrism(front, r.info);
    expectNear(back.axisH, -front.axisH, "axisH");
    expectNear(back.axisU, front.axisU, "axisU");
    for (float u : {0.0f, 0.3f, 0.9f}) {
        expectNear(localToWorld(back, u, 0.4f, r.info.baseLevel), localToWorld(front, u, 0.4f, r.info.baseLevel),
                   "plinth");
    }
    // The top of the front lies in front of the plinth, the twin's behind it.
    EXPECT_GT(localToWorld(front, 0.3f, 0.3f, r.info.topLevel).z, localToWorld(front, 0.3f, 0.3f, r.info.baseLevel).z);
    EXPECT_LT(localToWorld(back, 0.3f, 0.3f, r.info.topLevel).z, localToWorld(back, 0.3f, 0.3f, r.info.baseLevel).z);
    EXPECT_EQ(back.uMax, front.uMax);
    EXPECT_EQ(back.hMin, front.hMin);
    EXPECT_EQ(back.fieldIndex, 2u);
}

// Anchor, right, down and normal given as three plain floats each place the
// same prism as the vectors.
TEST(ReliefPrism, PlainFloatsPlaceTheSamePrism)
{
    const Sprite sprite = outlinedBlob(9, 7);
    const Result r = synthesize(ReliefSettings{}, sprite.view());
    const float anchor[3] = {0.5f, 1.25f, -2.0f};
    const float right[3] = {0.6f, 0.0f, 0.8f};
    const float down[3] = {0.0f, -1.0f, 0.0f};
    const float normal[3] = {-0.8f, 0.0f, 0.6f};
    const Prism plain = reliefPrism(r.info, 3, anchor, right, down, normal, 0.05f, 1.5f);
    const Prism vectors = reliefPrism(r.info, 3, Vec3{0.5f, 1.25f, -2.0f}, Vec3{0.6f, 0.0f, 0.8f},
                                      Vec3{0.0f, -1.0f, 0.0f}, Vec3{-0.8f, 0.0f, 0.6f}, 0.05f, 1.5f);
    EXPECT_EQ(plain.origin, vectors.origin);
    EXPECT_EQ(plain.axisU, vectors.axisU);
    EXPECT_EQ(plain.axisV, vectors.axisV);
    EXPECT_EQ(plain.axisH, vectors.axisH);
    EXPECT_EQ(plain.fieldIndex, 3u);
    EXPECT_EQ(plain.uMax, vectors.uMax);
    EXPECT_EQ(plain.vMax, vectors.vMax);
    EXPECT_EQ(plain.hMin, vectors.hMin);
    EXPECT_EQ(plain.hMax, vectors.hMax);
}

// ---- an image to look at ----

TEST(ReliefSynthesizer, WritesAHeightImageOfAnOutlinedSprite)
{
    ReliefSettings settings;
    settings.nodesPerPixel = 4;
    const Sprite sprite = outlinedBlob(32, 24);
    const Result r = synthesize(settings, sprite.view());
    const std::uint32_t scale = 4, w = r.field.width * scale, h = r.field.height * scale;
    std::vector<std::uint8_t> image(std::size_t(w) * h * 4);
    for (std::uint32_t y = 0; y < h; ++y) {
        for (std::uint32_t x = 0; x < w; ++x) {
            const std::uint16_t v = heightAt(r.field, x / scale, y / scale);
            const std::uint8_t g = std::uint8_t(std::lround(255.0 * v / 65535.0));
            std::uint8_t* px = &image[(std::size_t(y) * w + x) * 4];
            px[0] = px[1] = px[2] = g;
            px[3] = 255;
        }
    }
    const std::string path = (test::artifactDir("content") / "relief_heights.png").string();
    ASSERT_TRUE(writePng(path, w, h, image));
    const test::DecodedImage decoded = test::decodeImage(path);
    EXPECT_EQ(decoded.width, int(w));
    EXPECT_TRUE(r.info.parts);

    // The albedo beside it: outside nodes continue the silhouette's colours.
    std::vector<std::uint8_t> albedo(std::size_t(r.field.width) * r.field.height * 4);
    for (std::size_t n = 0; n < std::size_t(r.field.width) * r.field.height; ++n) {
        for (int k = 0; k < 4; ++k) {
            albedo[n * 4 + std::size_t(k)] = std::uint8_t(r.field.albedo[n] >> (8 * k));
        }
    }
    EXPECT_TRUE(writePng((test::artifactDir("content") / "relief_albedo.png").string(), r.field.width,
                         r.field.height, albedo));
}

} // namespace
} // namespace qlmr
