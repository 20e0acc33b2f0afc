#pragma once

#include "gpu/dynamic_library.h"
#include "gpu/vulkan_functions.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qlmr {

// One physical device as the driver describes it.
struct VulkanDeviceInfo {
    std::uint32_t index = 0;       // position in the physical-device list
    std::string name;
    std::uint32_t deviceType = 0;  // VkPhysicalDeviceType, stored unchanged
    std::uint32_t apiVersion = 0;  // packed Vulkan version
    std::uint32_t driverVersion = 0;
    std::uint32_t vendorID = 0;
    std::uint32_t deviceID = 0;
    std::uint32_t subgroupSize = 0;
    std::uint32_t maxComputeWorkGroupInvocations = 0;
    float timestampPeriod = 0.0f;
    bool hasCompute = false;       // some queue family has the COMPUTE bit
};

// "<call> failed (VkResult <signed result>)".
std::string vkResultText(const char* call, VkResult result);

// Binds the engine to a Vulkan 1.1 driver at run time: opens the loader
// library, creates the instance, lists the devices and opens one device with
// one compute queue. Every GPU component calls Vulkan through `vk`.
// A context opens at most one device; used by one thread at a time.
class VulkanContext {
public:
    VulkanContext();
    ~VulkanContext();
    VulkanContext(const VulkanContext&) = delete;
    VulkanContext& operator=(const VulkanContext&) = delete;

    // Loads the loader, creates the instance, lists the physical devices.
    // Refused while the context holds an instance (destroy releases it).
    bool createInstance(std::string* error);
    // Describes every physical device; needs a created instance.
    std::vector<VulkanDeviceInfo> listDevices();
    // Opens physical device gpuIndex with one compute queue (and the
    // presentation path when `surface` is set); needs a created instance.
    bool createDevice(std::uint32_t gpuIndex, std::string* error);
    // First memory type with bit i set in typeBits and every wanted flag; -1 when none.
    std::int32_t findMemoryType(std::uint32_t typeBits, std::uint32_t wantedFlags) const;
    // False, with "no queue family with graphics and compute", when the opened
    // queue cannot take raster passes (render passes, draws).
    bool requireGraphicsQueue(std::string* error) const;
    // Releases the device, the instance and the loader; safe to call again.
    void destroy();

    // Inputs, set before the step that reads them.
    std::vector<const char*> requestedInstanceExtensions;
    std::vector<const char*> requestedDeviceExtensions;
    // The loader library names, tried in order. Tests point it elsewhere.
    std::vector<std::string> loaderNames{"libvulkan.so.1", "libvulkan.so"};

    VulkanFunctions vk{};

    VkInstance instance = VK_NULL_HANDLE;
    VkPhysicalDevice physicalDevice = VK_NULL_HANDLE;
    VkDevice device = VK_NULL_HANDLE;
    VkQueue computeQueue = VK_NULL_HANDLE;
    std::uint32_t computeQueueFamily = 0;
    // The compute queue's family also has the GRAPHICS bit, so the raster
    // passes can be recorded on it; such a family is preferred.
    bool graphicsQueue = false;

    // Presentation: switched on by setting surface before createDevice.
    VkSurfaceKHR surface = VK_NULL_HANDLE;
    VkQueue presentQueue = VK_NULL_HANDLE;
    std::int32_t presentQueueFamily = -1;
    bool swapchain = false;

    std::vector<std::string> enabledInstanceExtensions;
    std::vector<std::string> enabledDeviceExtensions;

    float timestampPeriod = 1.0f;           // nanoseconds per timestamp tick
    std::uint32_t maxImageArrayLayers = 256;
    // Workgroups one dispatch may launch per axis; until a device is opened,
    // the least that every device offers.
    std::array<std::uint32_t, 3> maxComputeWorkGroupCount{65535, 65535, 65535};
    // Bytes one storage or uniform buffer descriptor may cover; until a
    // device is opened, the least that every device offers.
    std::uint32_t maxStorageBufferRange = 1u << 27;
    std::uint32_t maxUniformBufferRange = 16384;
    // Texels along either edge of a 2D image; until a device is opened, the
    // least that every device offers.
    std::uint32_t maxImageDimension2D = 4096;
    // Bytes of push constants a pipeline layout may declare; until a device
    // is opened, the least that every device offers.
    std::uint32_t maxPushConstantsSize = 128;
    bool textureCompressionBC = false;
    bool shaderFloat64 = false;             // enabled whenever the device offers it
    VkPhysicalDeviceMemoryProperties memoryProperties{};

    LibraryHandle loader = nullptr;
    PFN_vkGetInstanceProcAddr getInstanceProcAddr = nullptr;

    std::vector<VkPhysicalDevice> physicalDevices;

private:
    bool fail(std::string* error, std::string message);
    bool chooseQueueFamilies(std::string* error);
    bool chooseDeviceExtensions(std::vector<const char*>& names, std::string* error);
};

} // namespace qlmr
