#include "gpu/mesh_rasterizer.h"

#include "gpu/gpu_frame_packing.h"
#include "gpu/vulkan_test_support.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cmath>
#include <functional>
#include <iterator>

namespace qlmr {
namespace {

DisplacementField makeField(std::uint32_t w, std::uint32_t h, const std::function<float(float, float)>& height)
{
    std::vector<float> heights(std::size_t(w) * h);
    for (std::uint32_t y = 0; y < h; ++y)
        for (std::uint32_t x = 0; x < w; ++x)
            heights[std::size_t(y) * w + x] = height(float(x) / float(w), float(y) / float(h));
    return DisplacementField(w, h, std::span<const float>(heights), true);
}

// One field on `prisms` prisms side by side, each 8 x 8 wide and `sizeH` high.
Scene sceneOf(DisplacementField field, int prisms = 1, float sizeH = 1.0f)
{
    Scene scene;
    scene.addField(std::move(field));
    for (int i = 0; i < prisms; ++i)
        scene.addPrism(makePrism({-4.0f + 8.0f * float(i), 0, 4}, {1, 0, 0}, {0, 0, -1}, 8, 8, sizeH, 0));
    scene.refreshPrisms();
    return scene;
}

// The same box as sceneOf's single prism, with V running the other way
// round (U x V points down, against H), as the diorama's ground has it.
Scene mirroredSceneOf(DisplacementField field, float sizeH = 1.0f)
{
    Scene scene;
    scene.addField(std::move(field));
    Prism prism;
    prism.origin = {-4.0f, 0.0f, -4.0f};
    prism.axisU = {8.0f, 0.0f, 0.0f};
    prism.axisV = {0.0f, 0.0f, 8.0f};
    prism.axisH = {0.0f, sizeH, 0.0f};
    scene.addPrism(prism);
    scene.refreshPrisms();
    return scene;
}

Vec3 vertexPosition(const MeshVertex& v) { return {v.position[0], v.position[1], v.position[2]}; }
Vec3 vertexNormal(const MeshVertex& v) { return {v.normal[0], v.normal[1], v.normal[2]}; }

// ---- mesh building

struct CountCase {
    std::uint32_t width, height, lod;
    int prisms;
    std::size_t vertices, indices;
};

TEST(FieldMesh, CountsFollowTheLevelGrid)
{
    const CountCase cases[] = {
        {8, 8, 0, 1, 9 * 9, 8 * 8 * 6},
        {8, 8, 1, 1, 5 * 5, 4 * 4 * 6},
        {8, 8, 3, 1, 2 * 2, 6},     // the 1 x 1 top level
        {8, 8, 12, 1, 2 * 2, 6},    // beyond the last level: the last level
        {16, 4, 1, 1, 9 * 3, 8 * 2 * 6},
        {16, 4, 3, 1, 3 * 2, 2 * 1 * 6}, // the short side stops at 1
        {8, 8, 0, 2, 2 * 81, 2 * 384},
    };
    for (const CountCase& c : cases) {
        SCOPED_TRACE(testing::Message() << c.width << "x" << c.height << " lod " << c.lod << " x" << c.prisms);
        const Scene scene = sceneOf(makeField(c.width, c.height, [](float, float) { return 0.5f; }), c.prisms);
        const FieldMesh mesh = buildFieldMesh(scene, c.lod);
        EXPECT_EQ(mesh.vertices.size(), c.vertices);
        ASSERT_EQ(mesh.indices.size(), c.indices);
        // Every prism's indices stay inside its own vertex range.
        const std::size_t perPrismVertices = c.vertices / std::size_t(c.prisms);
        const std::size_t perPrismIndices = c.indices / std::size_t(c.prisms);
        for (std::size_t i = 0; i < mesh.indices.size(); ++i) {
            const std::size_t prism = i / perPrismIndices;
            EXPECT_GE(mesh.indices[i], prism * perPrismVertices);
            EXPECT_LT(mesh.indices[i], (prism + 1) * perPrismVertices);
        }
    }
}

TEST(FieldMesh, FlatFieldLiesOnItsPlaneAndCoversTheBox)
{
    const Scene scene = sceneOf(makeField(16, 16, [](float, float) { return 0.25f; }), 1, 2.0f);
    const FieldMesh mesh = buildFieldMesh(scene, 1);
    float minX = 1e9f, maxX = -1e9f, minZ = 1e9f, maxZ = -1e9f;
    for (const MeshVertex& v : mesh.vertices) {
        const Vec3 p = vertexPosition(v), n = vertexNormal(v);
        EXPECT_NEAR(p.y, 0.5f, 1e-4f);
        EXPECT_NEAR(n.x, 0.0f, 1e-6f);
        EXPECT_NEAR(n.y, 1.0f, 1e-6f);
        EXPECT_NEAR(n.z, 0.0f, 1e-6f);
        minX = std::min(minX, p.x), maxX = std::max(maxX, p.x);
        minZ = std::min(minZ, p.z), maxZ = std::max(maxZ, p.z);
    }
    EXPECT_FLOAT_EQ(minX, -4.0f);
    EXPECT_FLOAT_EQ(maxX, 4.0f);
    EXPECT_FLOAT_EQ(minZ, -4.0f);
    EXPECT_FLOAT_EQ(maxZ, 4.0f);
}

// A ramp rising along U: interior normals are the analytic ones of the
// world-space slope, which the prism's sizes make steeper or flatter.
TEST(FieldMesh, RampNormalsFollowTheWorldSlope)
{
    for (const float sizeH : {1.0f, 8.0f, 20.0f}) {
        SCOPED_TRACE(sizeH);
        const Scene scene = sceneOf(makeField(32, 32, [](float u, float) { return u; }), 1, sizeH);
        const FieldMesh mesh = buildFieldMesh(scene, 0);
        // Surface y = sizeH * (x + 4) / 8: tangent (8, sizeH), normal (-sizeH, 8).
        const Vec3 expected = normalizeSafe({-sizeH, 8.0f, 0.0f});
        for (std::uint32_t y = 1; y < 32; ++y)
            for (std::uint32_t x = 1; x < 31; ++x) {
                const MeshVertex& v = mesh.vertices[y * 33 + x];
                const Vec3 n = vertexNormal(v);
                EXPECT_NEAR(n.x, expected.x, 2e-3f);
                EXPECT_NEAR(n.y, expected.y, 2e-3f);
                EXPECT_NEAR(n.z, expected.z, 2e-3f);
                EXPECT_NEAR(vertexPosition(v).y, sizeH * float(x) / 32.0f, 1e-3f * sizeH);
            }
    }
}

// Every triangle winds counter-clockwise seen from the side its vertex
// normals point to, whichever way round the prism's axes turn: the
// fragment shader tells the upper side from the lower one by the winding.
TEST(FieldMesh, TrianglesWindTowardsTheirNormals)
{
    const auto ramp = [](float u, float v) { return 0.3f * u + 0.2f * v; };
    const Scene scenes[] = {sceneOf(makeField(16, 16, ramp), 1, 2.0f), mirroredSceneOf(makeField(16, 16, ramp), 2.0f)};
    for (std::size_t s = 0; s < std::size(scenes); ++s) {
        SCOPED_TRACE(s == 0 ? "right-handed" : "mirrored");
        const FieldMesh mesh = buildFieldMesh(scenes[s], 0);
        ASSERT_EQ(mesh.indices.size(), 16u * 16u * 6u);
        std::size_t wrong = 0;
        for (std::size_t t = 0; t < mesh.indices.size(); t += 3) {
            const MeshVertex& a = mesh.vertices[mesh.indices[t]];
            const Vec3 facing = cross(vertexPosition(mesh.vertices[mesh.indices[t + 1]]) - vertexPosition(a),
                                      vertexPosition(mesh.vertices[mesh.indices[t + 2]]) - vertexPosition(a));
            wrong += dot(facing, vertexNormal(a)) > 0.0f ? 0 : 1;
        }
        EXPECT_EQ(wrong, 0u);
    }
}

TEST(FieldMesh, VertexColourComesFromTheAlbedo)
{
    DisplacementField field = makeField(8, 8, [](float, float) { return 0.5f; });
    const Scene grey = sceneOf(field);
    std::vector<std::uint32_t> rgba(16 * 16, 0xFF204080u);
    field.setAlbedo(16, 16, rgba);
    const Scene coloured = sceneOf(std::move(field));
    for (const MeshVertex& v : buildFieldMesh(coloured, 0).vertices)
        EXPECT_EQ(v.color, 0xFF204080u);
    // Without albedo the field's own default grey (0.7).
    for (const MeshVertex& v : buildFieldMesh(grey, 0).vertices)
        EXPECT_EQ(v.color, 0xFFB3B3B3u);
}

// ---- projection

TEST(RasterViewProjection, MapsTheFrustumToClipSpace)
{
    const Camera cameras[] = {
        Camera::lookAt({0, 0, 0}, {0, 0, -1}, {0, 1, 0}, 60, 64, 64),
        Camera::lookAt({1, 3, 6}, {0, 0.5f, 0}, {0, 1, 0}, 40, 96, 48),
    };
    for (const Camera& camera : cameras) {
        const std::array<float, 16> m = rasterViewProjection(camera);
        auto project = [&](Vec3 p) {
            std::array<double, 4> clip{};
            for (int r = 0; r < 4; ++r)
                clip[r] = double(m[r * 4]) * p.x + double(m[r * 4 + 1]) * p.y + double(m[r * 4 + 2]) * p.z +
                          double(m[r * 4 + 3]);
            return std::array<double, 3>{clip[0] / clip[3], clip[1] / clip[3], clip[2] / clip[3]};
        };
        const float t = camera.tanHalfFov, a = camera.aspect;
        for (const float z : {0.05f, 1.0f, 10.0f, 1000.0f}) {
            SCOPED_TRACE(z);
            const Vec3 centre = camera.position + camera.forward * z;
            const auto c = project(centre);
            EXPECT_NEAR(c[0], 0.0, 1e-5);
            EXPECT_NEAR(c[1], 0.0, 1e-5);
            EXPECT_NEAR(c[2], 1.000005 - 0.05000025 / z, 1e-5);
            // The right edge is x = 1; the top edge is y = -1 (rows run downwards).
            const auto right = project(centre + camera.right * (t * a * z));
            EXPECT_NEAR(right[0], 1.0, 1e-4);
            const auto top = project(centre + camera.up * (t * z));
            EXPECT_NEAR(top[1], -1.0, 1e-4);
        }
        EXPECT_NEAR(project(camera.position + camera.forward * 0.05f)[2], 0.0, 1e-5);
        EXPECT_NEAR(project(camera.position + camera.forward * 10000.05f)[2], 1.0, 1e-5);
    }
}

// ---- half floats

TEST(HalfToFloatFlush, Table)
{
    struct Case {
        std::uint16_t half;
        float value;
    };
    const Case cases[] = {
        {0x0000, 0.0f}, {0x3C00, 1.0f}, {0xC000, -2.0f}, {0x3555, 0.333251953125f}, {0x7BFF, 65504.0f},
        {0x0400, 6.103515625e-05f}, {0x0001, 0.0f}, {0x03FF, 0.0f},
        {0x7C00, INFINITY}, {0xFC00, -INFINITY},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.half);
        EXPECT_EQ(halfToFloatFlush(c.half), c.value);
    }
    // Subnormals flush to a zero of their own sign.
    EXPECT_TRUE(std::signbit(halfToFloatFlush(0x8001)));
    EXPECT_EQ(halfToFloatFlush(0x8001), 0.0f);
    EXPECT_TRUE(std::signbit(halfToFloatFlush(0x8000)));
    EXPECT_FALSE(std::signbit(halfToFloatFlush(0x0200)));
    EXPECT_TRUE(std::isnan(halfToFloatFlush(0x7E00)));
}

TEST(HalfToFloatFlush, AgreesWithTheExactConversionOutsideSubnormals)
{
    for (std::uint32_t h = 0; h < 65536; ++h) {
        const std::uint16_t half = std::uint16_t(h);
        const bool subnormal = (half & 0x7C00u) == 0 && (half & 0x3FFu) != 0;
        if (subnormal)
            continue;
        ASSERT_EQ(std::bit_cast<std::uint32_t>(halfToFloatFlush(half)), std::bit_cast<std::uint32_t>(halfToFloat(half)))
            << std::hex << h;
    }
}

// ---- failures, on the fake driver

class MeshRasterizerFakeTest : public test::FakeVulkanTest {};

TEST_F(MeshRasterizerFakeTest, FailedUploadReportsTheMeshSizeAndReleasesEverything)
{
    openDevice();
    const std::int64_t before = log().liveObjects; // the instance and the device
    config().failResult = VK_ERROR_OUT_OF_DEVICE_MEMORY;
    std::snprintf(config().failCall, sizeof config().failCall, "vkAllocateMemory");
    const Scene scene = sceneOf(makeField(8, 8, [](float, float) { return 0.5f; }));
    {
        MeshRasterizer rasterizer;
        std::string error;
        EXPECT_FALSE(rasterizer.init(context, scene, 0, &error));
        EXPECT_EQ(error, "mesh upload (0 MB)");
    }
    EXPECT_EQ(log().liveObjects, before);
}

// A device whose only compute family has no graphics cannot take the draw:
// init says so before it makes anything.
TEST_F(MeshRasterizerFakeTest, ComputeOnlyQueueRefusesTheMesh)
{
    config().families[0].flags = VK_QUEUE_COMPUTE_BIT | VK_QUEUE_TRANSFER_BIT;
    openDevice();
    const std::int64_t before = log().liveObjects;
    const Scene scene = sceneOf(makeField(8, 8, [](float, float) { return 0.5f; }));
    {
        MeshRasterizer rasterizer;
        std::string error;
        EXPECT_FALSE(rasterizer.init(context, scene, 0, &error));
        EXPECT_EQ(error, "no queue family with graphics and compute");
    }
    EXPECT_EQ(log().liveObjects, before);
    EXPECT_EQ(log().submits, 0u);
}

// ---- on the device

class MeshRasterizerOnDevice : public test::OnDeviceTest {};

// Where the ray of pixel (x, y) meets the plane y = planeY inside |x|, |z| < limit; -1 otherwise.
float planeHit(const Camera& camera, std::uint32_t x, std::uint32_t y, float planeY, float limit)
{
    const float sx = 2.0f * (float(x) + 0.5f) / float(camera.width) - 1.0f;
    const float sy = 2.0f * (float(y) + 0.5f) / float(camera.height) - 1.0f;
    const Vec3 dir = normalizeSafe(camera.forward + camera.right * (camera.tanHalfFov * camera.aspect * sx) -
                                   camera.up * (camera.tanHalfFov * sy));
    if (dir.y >= -1e-6f)
        return -1.0f;
    const float t = (planeY - camera.position.y) / dir.y;
    const Vec3 p = camera.position + dir * t;
    return (std::fabs(p.x) < limit && std::fabs(p.z) < limit) ? t : -1.0f;
}

// Host-visible buffers are mapped in coherent memory, the others live in
// device-local memory unmapped; every buffer has at least 16 bytes. Before
// init there is no device to make them on.
TEST_F(MeshRasterizerOnDevice, BuffersFollowTheirMemoryKindAndMinimumSize)
{
    MeshRasterizer idle;
    GpuBuffer refused;
    EXPECT_FALSE(idle.createBuffer(&refused, 64, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT, true));
    const std::uint32_t words[4] = {1, 2, 3, 4};
    EXPECT_FALSE(idle.uploadMesh(&refused, words, sizeof(words), VK_BUFFER_USAGE_VERTEX_BUFFER_BIT));
    EXPECT_EQ(refused.buffer, VK_NULL_HANDLE);
    idle.destroyBuffer(&refused);

    const Scene scene = sceneOf(makeField(8, 8, [](float, float) { return 0.5f; }));
    MeshRasterizer rasterizer;
    std::string error;
    ASSERT_TRUE(rasterizer.init(context, scene, 0, &error)) << error;
    auto flagsOf = [&](const GpuBuffer& b) {
        return context.memoryProperties.memoryTypes[std::uint32_t(b.memoryType)].propertyFlags;
    };
    struct Case {
        std::uint64_t bytes;
        bool hostVisible;
        std::uint64_t size;
    };
    for (const Case c : {Case{0, true, 16}, Case{4, true, 16}, Case{100, true, 100}, Case{4, false, 16},
                         Case{100, false, 100}}) {
        SCOPED_TRACE(testing::Message() << c.bytes << (c.hostVisible ? " host-visible" : " device-local"));
        GpuBuffer buffer;
        ASSERT_TRUE(rasterizer.createBuffer(&buffer, c.bytes, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT, c.hostVisible));
        EXPECT_EQ(buffer.size, c.size);
        ASSERT_GE(buffer.memoryType, 0);
        if (c.hostVisible) {
            EXPECT_NE(buffer.mapped, nullptr);
            EXPECT_EQ(flagsOf(buffer) & kHostCoherentMemory, kHostCoherentMemory);
        } else {
            EXPECT_EQ(buffer.mapped, nullptr);
            EXPECT_NE(flagsOf(buffer) & VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT, 0u);
        }
        rasterizer.destroyBuffer(&buffer);
        EXPECT_EQ(buffer.buffer, VK_NULL_HANDLE);
        EXPECT_EQ(buffer.memory, VK_NULL_HANDLE);
    }
    GpuBuffer uploaded;
    // Bytes without data to copy them from are refused (the copy crashed).
    EXPECT_FALSE(rasterizer.uploadMesh(&uploaded, nullptr, 16, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT));
    EXPECT_EQ(uploaded.buffer, VK_NULL_HANDLE);
    ASSERT_TRUE(rasterizer.uploadMesh(&uploaded, words, sizeof(words), VK_BUFFER_USAGE_VERTEX_BUFFER_BIT));
    EXPECT_EQ(uploaded.size, 16u);
    EXPECT_EQ(uploaded.mapped, nullptr);
    rasterizer.destroyBuffer(&uploaded);
}

// A record reused for another buffer or image, as a caller re-uploading a
// mesh does, has its old one released: the validation run of these tests
// reports any object the device still holds when it is destroyed.
TEST_F(MeshRasterizerOnDevice, RecordsReusedForANewObjectReleaseTheOldOne)
{
    const Scene scene = sceneOf(makeField(8, 8, [](float, float) { return 0.5f; }));
    MeshRasterizer rasterizer;
    std::string error;
    ASSERT_TRUE(rasterizer.init(context, scene, 0, &error)) << error;
    const std::uint32_t words[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    GpuBuffer buffer;
    ASSERT_TRUE(rasterizer.uploadMesh(&buffer, words, 16, VK_BUFFER_USAGE_VERTEX_BUFFER_BIT));
    ASSERT_TRUE(rasterizer.uploadMesh(&buffer, words, sizeof(words), VK_BUFFER_USAGE_INDEX_BUFFER_BIT));
    EXPECT_EQ(buffer.size, sizeof(words));
    ASSERT_TRUE(rasterizer.createBuffer(&buffer, 64, VK_BUFFER_USAGE_STORAGE_BUFFER_BIT, true));
    EXPECT_EQ(buffer.size, 64u);
    EXPECT_NE(buffer.mapped, nullptr);
    rasterizer.destroyBuffer(&buffer);
    GpuImage image;
    for (const std::uint32_t side : {4u, 8u})
        ASSERT_TRUE(rasterizer.createImage(&image, VK_FORMAT_R8G8B8A8_UNORM, side, side,
                                           VK_IMAGE_USAGE_COLOR_ATTACHMENT_BIT, VK_IMAGE_ASPECT_COLOR_BIT));
    rasterizer.destroyImage(&image);
    EXPECT_EQ(image.image, VK_NULL_HANDLE);
}

// A second init is refused and the first mesh keeps drawing.
TEST_F(MeshRasterizerOnDevice, SecondInitIsRefusedAndTheFirstMeshStaysInUse)
{
    const Scene scene = sceneOf(makeField(8, 8, [](float u, float) { return 0.2f + 0.5f * u; }));
    const Camera camera = Camera::lookAt({0, 3, 6}, {0, 0.5f, 0}, {0, 1, 0}, 60, 16, 12);
    MeshRasterizer rasterizer;
    std::string error;
    ASSERT_TRUE(rasterizer.init(context, scene, 0, &error)) << error;
    const GpuFrame first = rasterizer.render(camera, RenderSettings{});
    ASSERT_TRUE(first.ok) << first.error;
    const std::uint64_t vertices = rasterizer.vertexCount();
    EXPECT_FALSE(rasterizer.init(context, sceneOf(makeField(2, 2, [](float, float) { return 0.9f; }), 2), 0, &error));
    EXPECT_EQ(error, "the mesh rasterizer is already initialised");
    EXPECT_EQ(rasterizer.vertexCount(), vertices);
    const GpuFrame again = rasterizer.render(camera, RenderSettings{});
    ASSERT_TRUE(again.ok) << again.error;
    EXPECT_EQ(again.color, first.color);
    EXPECT_EQ(again.depth, first.depth);
}

// An empty frame or one wider or taller than the device's images is
// refused before any image is made (an empty extent crashed the driver);
// the next frame of a valid size renders.
TEST_F(MeshRasterizerOnDevice, FramesWithoutValidImageSizesAreRefused)
{
    const Scene scene = sceneOf(makeField(8, 8, [](float, float) { return 0.5f; }));
    MeshRasterizer rasterizer;
    std::string error;
    ASSERT_TRUE(rasterizer.init(context, scene, 0, &error)) << error;
    const std::uint32_t past = context.maxImageDimension2D + 1;
    for (const auto& [w, h] : {std::pair{0u, 16u}, std::pair{16u, 0u}, std::pair{past, 2u}, std::pair{2u, past}}) {
        SCOPED_TRACE(testing::Message() << w << "x" << h);
        const GpuFrame frame =
            rasterizer.render(Camera::lookAt({0, 3, 6}, {0, 0.5f, 0}, {0, 1, 0}, 60, w, h), RenderSettings{});
        EXPECT_FALSE(frame.ok);
        EXPECT_EQ(frame.error, "frame resources");
        const GpuFrame next =
            rasterizer.render(Camera::lookAt({0, 3, 6}, {0, 0.5f, 0}, {0, 1, 0}, 60, 8, 8), RenderSettings{});
        ASSERT_TRUE(next.ok) << next.error;
        EXPECT_EQ(next.depth.size(), 64u);
    }
}

TEST_F(MeshRasterizerOnDevice, FlatFieldGivesPlaneDepthAndUpNormals)
{
    const Scene scene = sceneOf(makeField(32, 32, [](float, float) { return 0.5f; }));
    for (const std::uint32_t lod : {0u, 2u}) {
        SCOPED_TRACE(lod);
        MeshRasterizer rasterizer;
        std::string error;
        ASSERT_TRUE(rasterizer.init(context, scene, lod, &error)) << error;
        EXPECT_EQ(rasterizer.indexCount(), std::uint64_t(32 >> lod) * (32 >> lod) * 6);
        RenderSettings settings;
        // Two sizes in turn: the attachments follow the camera.
        for (const auto& [w, h] : {std::pair{64u, 64u}, std::pair{48u, 32u}}) {
            SCOPED_TRACE(testing::Message() << w << "x" << h);
            const Camera camera = Camera::lookAt({0.3f, 3.0f, 6.0f}, {0, 0.5f, 0}, {0, 1, 0}, 60, w, h);
            const GpuFrame frame = rasterizer.render(camera, settings);
            ASSERT_TRUE(frame.ok) << frame.error;
            ASSERT_EQ(frame.depth.size(), std::size_t(w) * h);
            ASSERT_EQ(frame.color.size(), std::size_t(w) * h * 4);
            int hits = 0, misses = 0;
            for (std::uint32_t y = 0; y < h; ++y)
                for (std::uint32_t x = 0; x < w; ++x) {
                    const std::size_t i = std::size_t(y) * w + x;
                    const float inside = planeHit(camera, x, y, 0.5f, 3.8f);
                    const float outside = planeHit(camera, x, y, 0.5f, 4.2f);
                    if (inside > 0.0f) {
                        ++hits;
                        EXPECT_NEAR(frame.depth[i], inside, 2e-3f * inside) << x << "," << y;
                        EXPECT_NEAR(frame.normal[i * 4 + 0], 0.0f, 2e-3f);
                        EXPECT_NEAR(frame.normal[i * 4 + 1], 1.0f, 2e-3f);
                        EXPECT_NEAR(frame.normal[i * 4 + 2], 0.0f, 2e-3f);
                    } else if (outside < 0.0f) {
                        ++misses;
                        EXPECT_TRUE(std::isinf(frame.depth[i])) << x << "," << y << " " << frame.depth[i];
                        EXPECT_NEAR(frame.color[i * 4 + 0], settings.skyHorizon.x, 1e-3f);
                        EXPECT_NEAR(frame.color[i * 4 + 1], settings.skyHorizon.y, 1e-3f);
                        EXPECT_NEAR(frame.color[i * 4 + 2], settings.skyHorizon.z, 1e-3f);
                    }
                }
            EXPECT_GT(hits, int(w * h) / 4);
            EXPECT_GT(misses, int(w * h) / 20);
        }
    }
}

// Seen from above, the field shows its upper side, with the normal up; seen
// from below its underside, with the normal down. A mirrored prism (the
// diorama's ground) showed its upper side with the normal down.
TEST_F(MeshRasterizerOnDevice, NormalFacesTheCameraOnEitherSide)
{
    const DisplacementField field = makeField(16, 16, [](float, float) { return 0.5f; });
    const Scene scenes[] = {sceneOf(field), mirroredSceneOf(field)};
    struct ViewCase {
        Vec3 eye;
        float normalY;
    };
    const ViewCase views[] = {{{0.2f, 3.0f, 1.0f}, 1.0f}, {{0.2f, -3.0f, 1.0f}, -1.0f}};
    for (std::size_t s = 0; s < std::size(scenes); ++s) {
        MeshRasterizer rasterizer;
        std::string error;
        ASSERT_TRUE(rasterizer.init(context, scenes[s], 0, &error)) << error;
        for (const ViewCase& view : views) {
            SCOPED_TRACE(testing::Message() << (s == 0 ? "right-handed" : "mirrored") << ", eye y " << view.eye.y);
            const Camera camera = Camera::lookAt(view.eye, {0, 0.5f, 0}, {0, 1, 0}, 40, 16, 16);
            const GpuFrame frame = rasterizer.render(camera, RenderSettings{});
            ASSERT_TRUE(frame.ok) << frame.error;
            const std::size_t centre = 8 * 16 + 8;
            ASSERT_FALSE(std::isinf(frame.depth[centre]));
            EXPECT_NEAR(frame.normal[centre * 4 + 1], view.normalY, 2e-3f);
        }
    }
}

// The mesh at the finest level and the compute tracer see the same hills:
// the same pixels covered, the same distances and nearly the same normals.
// The hills fall to 0 at the borders, where the tracer would show the box's
// side walls that the mesh does not have.
TEST_F(MeshRasterizerOnDevice, AgreesWithTheTracerOnSmoothHills)
{
    const Scene scene = sceneOf(makeField(64, 64, [](float u, float v) {
        const float su = std::sin(3.14159265f * u), sv = std::sin(3.14159265f * v);
        return 0.6f * su * su * sv * sv * (0.7f + 0.3f * std::cos(6.2831853f * 3.0f * u));
    }), 1, 1.5f);
    GpuRenderer tracer;
    MeshRasterizer rasterizer;
    std::string error;
    ASSERT_TRUE(tracer.init(context, scene, &error)) << error;
    ASSERT_TRUE(rasterizer.init(context, scene, 0, &error)) << error;
    const Camera camera = Camera::lookAt({0.5f, 3.5f, 7.0f}, {0, 0.3f, 0}, {0, 1, 0}, 55, 64, 48);
    const GpuFrame traced = tracer.render(camera, RenderSettings{}, GpuViewData{});
    const GpuFrame meshed = rasterizer.render(camera, RenderSettings{});
    ASSERT_TRUE(traced.ok) << traced.error;
    ASSERT_TRUE(meshed.ok) << meshed.error;
    const std::size_t pixels = std::size_t(camera.width) * camera.height;
    std::size_t coverageMismatch = 0, both = 0, depthOff = 0, normalOff = 0;
    for (std::size_t i = 0; i < pixels; ++i) {
        const bool tracedHit = traced.depth[i] < 1e29f, meshHit = meshed.depth[i] < 1e29f;
        coverageMismatch += tracedHit != meshHit ? 1 : 0;
        if (!tracedHit || !meshHit)
            continue;
        ++both;
        depthOff += std::fabs(traced.depth[i] - meshed.depth[i]) > 0.01f * traced.depth[i] ? 1 : 0;
        const float cosine = traced.normal[i * 4] * meshed.normal[i * 4] +
                             traced.normal[i * 4 + 1] * meshed.normal[i * 4 + 1] +
                             traced.normal[i * 4 + 2] * meshed.normal[i * 4 + 2];
        normalOff += cosine < std::cos(8.0f * 3.14159265f / 180.0f) ? 1 : 0;
    }
    EXPECT_GT(both, pixels / 3);
    EXPECT_LE(coverageMismatch, pixels / 50) << "of " << pixels;
    EXPECT_LE(depthOff, both / 50) << "of " << both;
    EXPECT_LE(normalOff, both / 20) << "of " << both;
}

} // namespace
} // namespace qlmr
