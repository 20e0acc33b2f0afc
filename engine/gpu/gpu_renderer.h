#pragma once

// The graphics-card twin of the CPU tile renderer: uploads a Scene's height
// fields as sampled array images (one group of layers per field format) and
// its prisms as a storage buffer, builds the compute tracer and renders
// frames that read back colour, depth and normals. One renderer lives on one
// opened VulkanContext and is used by one thread at a time; every submission
// waits on the renderer's fence.

#include "gpu/gpu_frame_packing.h"
#include "gpu/gpu_resources.h"
#include "gpu/shell_raster.h"
#include "gpu/vulkan_context.h"
#include "scene/camera.h"
#include "scene/height_field.h"
#include "scene/scene.h"
#include "scene/settings.h"
#include "sdna/program.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qlmr {

struct GpuRenderOptions {
    bool traceOnly = false;     // the trace-only tracer: no shadows, unlit albedo
    bool seedPass = false;      // the shell raster seed pass
    std::uint32_t shellLevels = 6;
    bool modeFlag = false;      // mode number 2 instead of 1 when the mode switch is on
    bool reservedFlag = false;  // always false
    bool solid = false;         // a solid shape program will be set
    // Snap hits on pixel-grid fields to their cell centres, as the CPU's
    // TraceSettings::snapToPixelGrid does (albedo is read at the cell centre
    // either way). Callers comparing with a CPU reference pass the
    // reference's own setting.
    bool snapToPixelGrid = false;
};

// The result of one GPU image.
struct GpuFrame {
    bool ok = false;
    std::string error;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::vector<float> color;   // 4 per pixel, linear
    std::vector<float> depth;   // 1 per pixel; +infinity on a miss
    std::vector<float> normal;  // 4 per pixel: world normal, pyramid level of the hit
    std::vector<std::uint32_t> status;
    double gpuMs = 0.0;
    double hostMs = 0.0;
    std::uint64_t bufferBytes = 0;
    std::uint64_t deviceLocalBytes = 0;
};

// The output images and read-back buffers of one frame size.
struct GpuOutputImages {
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    GpuImage color, depth, normal, seedDepth, seedPrism;
    GpuBuffer colorReadback, depthReadback, normalReadback;
};

// What a frame needs besides camera and settings: the prism bins of the
// camera's 16 x 16 tiles (binned here when absent, or when they do not fit
// this camera's tiles and the renderer's prisms) and an optional hook that
// records further compute work on the output images after the tracer.
struct GpuViewData {
    const std::vector<std::vector<std::uint32_t>>* bins = nullptr;
    std::function<void(VkCommandBuffer, const GpuOutputImages&)> frameHook;
};

class GpuRenderer {
public:
    GpuRenderer() = default;
    ~GpuRenderer();
    GpuRenderer(const GpuRenderer&) = delete;
    GpuRenderer& operator=(const GpuRenderer&) = delete;

    // Uploads the scene (which must outlive the renderer) and builds the
    // tracer. Runs once: a renderer that was initialised, successfully or
    // not, refuses a second init.
    bool init(VulkanContext& context, const Scene& scene, std::string* error, const GpuRenderOptions& options = {});
    // Re-upload the rectangles an edit of field `field` changed.
    bool updateField(std::uint32_t field, const FieldUpdate& update);
    bool updateAlbedo(std::uint32_t field, const AlbedoUpdate& update);
    // Copies a placed shape program into the solid buffers (null clears it).
    bool setSolid(const SdnaInstance* instance);

    // Draws one frame: recordFrame, then finishFrame. The mode switch picks
    // the shading normals: on, the default ones (cubic with the modeFlag
    // option); off, the geometric normals of the height patch.
    GpuFrame render(const Camera& camera, const RenderSettings& settings, const GpuViewData& view, float value0 = 1.0f,
                    float value1 = 0.0f, bool modeSwitch = true, bool readBack = true);
    // Records and submits a frame; it stays pending until finishFrame. On
    // failure the frame with its message goes to `failed`, when given.
    bool recordFrame(const Camera& camera, const RenderSettings& settings, const GpuViewData& view, float value0,
                     float value1, bool modeSwitch, bool readBack, GpuFrame* failed);
    // Waits for the pending frame and reads it back; ok false when none is pending.
    GpuFrame finishFrame();

    // Whether a point lies outside prism `prism`'s widened box or above the
    // coarse height of its field there (the shell hull's corners when it is
    // built); false for a prism without a field.
    bool pointOutsidePrism(std::uint32_t prism, Vec3 point) const;
    // Per prism the shell level the tracer is seeded from for this camera,
    // or -1 (always -1 without the seed pass); at least one entry.
    std::vector<std::int32_t> prismSeedLevels(const Camera& camera) const;
    // (Re)builds the shell hull vertices and, once, the raster pass and pipeline.
    bool buildShellRaster();

    // The cached output images for a frame size (two sizes are kept); null on
    // failure and on a renderer without a successful init. Replacing the
    // entry a pending frame renders into finishes that frame first.
    GpuOutputImages* outputImages(std::uint32_t width, std::uint32_t height);

    // ---- the renderer's resources; each needs the context given to init
    // (false, or null, without one). Creating into a record that still
    // holds a buffer or image releases that one first.

    // A host-visible, coherent buffer of max(bytes, 16) bytes, mapped whole.
    bool createBuffer(GpuBuffer* buffer, std::uint64_t bytes, VkBufferUsageFlags usage);
    void destroyBuffer(GpuBuffer* buffer);
    // A device-local 2D image and its view (a 2D array view when layers is not 0).
    bool createImage(GpuImage* image, VkFormat format, std::uint32_t width, std::uint32_t height,
                     std::uint32_t mipLevels, VkImageUsageFlags usage, std::uint32_t layers,
                     VkImageAspectFlags aspect = VK_IMAGE_ASPECT_COLOR_BIT);
    void destroyImage(GpuImage* image);
    // Keeps a buffer of at least `bytes`, else replaces it by one of bytes + bytes / 2.
    bool ensureBufferCapacity(GpuBuffer* buffer, std::uint64_t bytes, VkBufferUsageFlags usage);
    // A begun one-time command buffer of the renderer's pool; null before init.
    VkCommandBuffer beginOneShot();
    // Finishes a pending frame, then ends, submits and waits for the buffer
    // and frees it; true when the submit and the wait succeeded.
    bool submitOneShot(VkCommandBuffer commandBuffer);
    // The prism buffer of max(1, prism count) records, packed from the prisms.
    bool ensurePrismBuffer();
    // The five solid buffers at their minimum sizes, with the present flag written.
    bool ensureSolidBuffers();

    // ---- inspection, for tests and reports
    std::uint32_t fieldGroupCount() const { return std::uint32_t(groups.size()); }
    std::uint32_t fieldGroup(std::uint32_t field) const { return fieldGroups[field]; }
    std::uint32_t fieldLayer(std::uint32_t field) const { return fieldLayers[field]; }
    std::uint32_t groupLayerCount(std::uint32_t group) const { return groups[group].layers; }
    const std::vector<PrismFieldRecord>& prismFieldRecords() const { return prismRecords; }
    std::uint64_t prismBufferBytes() const { return prismBuffer.size; }
    // Bytes staged by the last partial upload (0 when nothing was staged).
    std::uint64_t lastUpdateBytes() const { return updateBytes; }
    bool solidPresent() const { return solidFlag != 0; }
    const std::vector<ShellRecord>& shellRecords() const { return shells; }
    bool shellRasterBuilt() const { return shellPipeline.pipeline != VK_NULL_HANDLE; }

private:
    struct FieldGroup {
        std::uint32_t width = 0, height = 0, levels = 0;
        std::uint32_t albedoWidth = 1, albedoHeight = 1, albedoLevels = 1;
        bool wrap = false;
        std::uint32_t layers = 0;
        GpuImage heights, bounds, albedo;
    };
    // A frame that was submitted but not yet finished.
    struct PendingFrame {
        bool active = false;
        GpuFrame frame;
        bool readBack = false;
        VkCommandBuffer commandBuffer = VK_NULL_HANDLE;
        GpuOutputImages* images = nullptr;
        // The shell raster pass's depth buffer and framebuffer of this frame.
        GpuImage seedDepthBuffer;
        VkFramebuffer seedFramebuffer = VK_NULL_HANDLE;
    };
    // One copy region into an image and the host bytes behind it.
    struct StagedCopies {
        std::vector<VkBufferImageCopy> regions;
        std::vector<std::pair<const void*, std::uint64_t>> spans; // source, length; at `offsets`
        std::vector<std::uint64_t> offsets;
        std::uint64_t bytes = 0;
    };

    bool fail(std::string* error, std::string message);
    void imageBarrier(VkCommandBuffer commandBuffer, VkImage image, VkImageLayout oldLayout, VkImageLayout newLayout,
                      std::uint32_t mipLevels, VkAccessFlags srcAccess, VkAccessFlags dstAccess,
                      VkPipelineStageFlags srcStage, VkPipelineStageFlags dstStage);
    static void stageRect(StagedCopies& staged, std::uint32_t mip, std::uint32_t layer, const FieldRect& rect,
                          const void* base, std::uint32_t levelWidth, std::uint32_t bytesPerTexel);
    bool uploadStaged(const StagedCopies& staged, VkImage image, std::uint32_t mipLevels);
    bool uploadFieldRect(std::uint32_t field, std::uint32_t group, std::uint32_t layer, const FieldUpdate& update);
    bool createPipeline(std::string* error);
    void destroyOutputImages(GpuOutputImages& entry);
    void writeDescriptors(const GpuOutputImages& images);
    void recordShellPass(VkCommandBuffer commands, const Camera& camera, const std::vector<std::int32_t>& seedLevels,
                         const GpuOutputImages& images, PendingFrame& frame);
    void releaseFrameResources(PendingFrame& frame);

    VulkanContext* context = nullptr;
    GpuRenderOptions options;
    // Set by a successful init; a renderer whose init failed is only destroyed,
    // so its updates, solid and frames are refused.
    bool ready = false;
    const Scene* scene = nullptr;

    std::vector<FieldGroup> groups;
    std::vector<std::uint32_t> fieldGroups;
    std::vector<std::uint32_t> fieldLayers;
    VkSampler clampSampler = VK_NULL_HANDLE;
    VkSampler repeatSampler = VK_NULL_HANDLE;

    GpuBuffer prismBuffer;
    GpuOutputImages outputs[2];
    std::uint32_t nextOutput = 0;
    PendingFrame pending;
    GpuBuffer updateStaging;
    std::uint64_t updateBytes = 0;

    GpuBuffer solidCode, solidPose, solidProgram, solidUniforms, solidMaterials;
    std::uint32_t solidFlag = 0;

    // Per-frame buffers, grown as needed and kept.
    GpuBuffer frameUniforms, tileRanges, tileLists, prismSeed, lightRanges, lightLists;

    std::vector<Prism> prismList;
    std::vector<PrismFieldRecord> prismRecords;
    bool prismsDirty = false;

    VkDescriptorSetLayout setLayout = VK_NULL_HANDLE;
    VkPipelineLayout pipelineLayout = VK_NULL_HANDLE;
    VkPipeline pipeline = VK_NULL_HANDLE;
    VkDescriptorPool descriptorPool = VK_NULL_HANDLE;
    VkDescriptorSet descriptorSet = VK_NULL_HANDLE;
    VkCommandPool commandPool = VK_NULL_HANDLE;
    VkFence fence = VK_NULL_HANDLE;
    VkQueryPool queryPool = VK_NULL_HANDLE;

    // The shell raster seed pass.
    std::vector<ShellRecord> shells;
    GpuBuffer shellVertices;
    ShellPipeline shellPipeline;
};

} // namespace qlmr
