#include "content/shell_asset.h"

#include <cmath>
#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace qlmr {
namespace {

Scene sceneWithOneField(std::uint32_t size = 32)
{
    Scene scene;
    std::vector<float> heights(std::size_t(size) * size, 0.8f);
    scene.addField(DisplacementField(size, size, std::span<const float>(heights), false));
    return scene;
}

QuadCage squareCage(Vec3 p2)
{
    QuadCage cage;
    cage.vertices = {{0, 0, 0}, {2, 0, 0}, p2, {0, 2, 0}};
    cage.quads = {{0, 1, 2, 3}};
    return cage;
}

std::string messageOf(const std::function<void()>& call)
{
    try {
        call();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

TEST(MakeShellAsset, OnePrismPerQuadBasedOnTheQuadWithHeightAlongUCrossV)
{
    Scene scene = sceneWithOneField();
    const std::array<Vec3, 3> identity{Vec3{1, 0, 0}, Vec3{0, 1, 0}, Vec3{0, 0, 1}};
    const Vec3 centre{3, 4, 5};
    const QuadCage cage = cageFromQuad(centre, {1.5f, 3.5f, 1.5f}, identity, 2, false);
    ShellAssetOptions options;
    options.depth = 0.25f;
    const std::uint32_t used = makeShellAsset(scene, cage, 0, options);
    EXPECT_EQ(used, 0u);
    EXPECT_EQ(scene.fields.size(), 1u); // no fade, no copy
    ASSERT_EQ(scene.prisms.size(), cage.quads.size());
    for (std::size_t q = 0; q < cage.quads.size(); ++q) {
        const Prism& prism = scene.prisms[q];
        const auto& quad = cage.quads[q];
        EXPECT_EQ(prism.origin, cage.vertices[quad[0]]);
        EXPECT_EQ(prism.axisU, cage.vertices[quad[1]] - cage.vertices[quad[0]]);
        EXPECT_EQ(prism.axisV, cage.vertices[quad[3]] - cage.vertices[quad[0]]);
        EXPECT_NEAR(length(prism.axisH), 0.25f, 1e-6f);
        EXPECT_NEAR(dot(prism.axisH, prism.axisU), 0.0f, 1e-5f);
        EXPECT_NEAR(dot(prism.axisH, prism.axisV), 0.0f, 1e-5f);
        const Vec3 middle = prism.origin + prism.axisU * 0.5f + prism.axisV * 0.5f;
        EXPECT_GT(dot(prism.axisH, middle - centre), 0.0f) << "quad " << q; // outward
        EXPECT_EQ(prism.fieldIndex, 0u);
    }
    scene.refreshPrisms();
}

TEST(MakeShellAsset, FadedCopyIsAppendedAndUsed)
{
    Scene scene = sceneWithOneField(64);
    ShellAssetOptions options;
    options.fadeEdges = true;
    options.border = 0.1f;
    const std::uint32_t used = makeShellAsset(scene, squareCage({2, 2, 0}), 0, options);
    ASSERT_EQ(scene.fields.size(), 2u);
    EXPECT_EQ(used, 1u);
    EXPECT_EQ(scene.prisms.at(0).fieldIndex, 1u);
    const DisplacementField& faded = scene.fields[1];
    EXPECT_TRUE(faded.clampEdges);
    EXPECT_EQ(faded.texel(0, 0, 17), 0);
    EXPECT_EQ(faded.texel(0, 63, 40), 0);
    EXPECT_EQ(faded.texel(0, 32, 32), scene.fields[0].texel(0, 32, 32));
}

TEST(MakeShellAsset, ParallelogramCheckToATenThousandthOfTheLongerEdge)
{
    const std::string notFlat = "shell asset: quad is not a parallelogram (curved shells are stage S2)";
    struct Case {
        Vec3 p2;
        bool accepted;
    };
    // Edges are 2 long: the tolerance is 0.0002.
    const Case cases[] = {
        {{2, 2, 0}, true},
        {{2, 2, 0.00015f}, true},
        {{2.00025f, 2, 0}, false},
        {{2, 2, 0.0003f}, false},
        {{2, 2.5f, 0}, false},
    };
    for (const Case& c : cases) {
        Scene scene = sceneWithOneField();
        const std::string message = messageOf([&] { makeShellAsset(scene, squareCage(c.p2), 0, {}); });
        if (c.accepted) {
            EXPECT_EQ(message, "") << c.p2.x << " " << c.p2.z;
            EXPECT_EQ(scene.prisms.size(), 1u);
        } else {
            EXPECT_EQ(message, notFlat) << c.p2.x << " " << c.p2.z;
            EXPECT_TRUE(scene.prisms.empty());
        }
    }
}

TEST(MakeShellAsset, RejectsBadIndicesAndQuadsWithoutArea)
{
    Scene scene = sceneWithOneField();
    QuadCage cage = squareCage({2, 2, 0});
    cage.quads.push_back({0, 1, 2, 4});
    EXPECT_THROW(
        {
            try {
                makeShellAsset(scene, cage, 0, {});
            } catch (const std::out_of_range& e) {
                EXPECT_STREQ(e.what(), "invalid vector subscript");
                throw;
            }
        },
        std::out_of_range);
    EXPECT_EQ(scene.prisms.size(), 1u); // the first quad's prism stays

    ShellAssetOptions fade;
    fade.fadeEdges = true;
    EXPECT_EQ(messageOf([&] { makeShellAsset(scene, squareCage({2, 2, 0}), 5, fade); }), "invalid vector subscript");

    QuadCage collapsed;
    collapsed.vertices = {{0, 0, 0}, {2, 0, 0}, {4, 0, 0}, {2, 0, 0}}; // V along U: a parallelogram of no area
    collapsed.quads = {{0, 1, 2, 3}};
    EXPECT_THROW(makeShellAsset(scene, collapsed, 0, {}), std::invalid_argument);
    QuadCage point;
    point.vertices = {{1, 1, 1}, {1, 1, 1}, {1, 1, 1}, {1, 1, 1}};
    point.quads = {{0, 1, 2, 3}};
    EXPECT_EQ(messageOf([&] { makeShellAsset(scene, point, 0, {}); }), "shell asset: quad has no area");
}

} // namespace
} // namespace qlmr
