#include "gpu/vulkan_context.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace qlmr {

namespace {

constexpr const char* kPortabilityEnumeration = "VK_KHR_portability_enumeration";
constexpr const char* kPortabilitySubset = "VK_KHR_portability_subset";
constexpr const char* kSwapchain = "VK_KHR_swapchain";

bool contains(const std::vector<const char*>& names, const char* name)
{
    return std::any_of(names.begin(), names.end(),
                       [&](const char* n) { return n && std::strcmp(n, name) == 0; });
}

bool contains(const std::vector<std::string>& names, const char* name)
{
    return std::find(names.begin(), names.end(), name) != names.end();
}

// Adds an enabled name once, both to the list handed to the driver and to
// the context's record of what was enabled.
void enableOnce(const char* name, std::vector<const char*>& driverList, std::vector<std::string>& enabled)
{
    if (contains(enabled, name))
        return;
    driverList.push_back(name);
    enabled.emplace_back(name);
}

} // namespace

std::string vkResultText(const char* call, VkResult result)
{
    return std::string(call) + " failed (VkResult " + std::to_string(static_cast<int>(result)) + ")";
}

VulkanContext::VulkanContext() = default;

VulkanContext::~VulkanContext()
{
    destroy();
}

bool VulkanContext::fail(std::string* error, std::string message)
{
    if (error)
        *error = std::move(message);
    return false;
}

bool VulkanContext::createInstance(std::string* error)
{
    // One instance per context: a second would drop the first (and any
    // device opened on it) without releasing them.
    if (instance)
        return fail(error, "a Vulkan instance is already created on this context");
    // A retry after a failure before the instance existed loads afresh.
    freeLibrary(loader);
    loader = loadFirstLibrary(loaderNames);
    if (!loader)
        return fail(error, "Vulkan loader not found");

    getInstanceProcAddr = reinterpret_cast<PFN_vkGetInstanceProcAddr>(getProc(loader, "vkGetInstanceProcAddr"));
    if (!getInstanceProcAddr)
        return fail(error, "vkGetInstanceProcAddr missing");

    loadVulkanFunctions(vk, VulkanFunctionGroup::Global,
                        [&](const char* name) { return getInstanceProcAddr(VK_NULL_HANDLE, name); });
    std::uint32_t version = VK_API_VERSION_1_0;
    if (vk.vkEnumerateInstanceVersion)
        vk.vkEnumerateInstanceVersion(&version);
    // A loader without the two creation entries cannot serve a 1.1 instance either.
    if (!vk.vkEnumerateInstanceVersion || version < VK_API_VERSION_1_1 || !vk.vkCreateInstance ||
        !vk.vkEnumerateInstanceExtensionProperties)
        return fail(error, "Vulkan 1.1 instance required");

    std::uint32_t offeredCount = 0;
    vk.vkEnumerateInstanceExtensionProperties(nullptr, &offeredCount, nullptr);
    std::vector<VkExtensionProperties> offered(offeredCount);
    if (offeredCount)
        vk.vkEnumerateInstanceExtensionProperties(nullptr, &offeredCount, offered.data());
    offered.resize(std::min<std::size_t>(offered.size(), offeredCount));

    enabledInstanceExtensions.clear();
    std::vector<const char*> enabled;
    bool portability = false;
    for (const VkExtensionProperties& extension : offered) {
        const char* name = extension.extensionName;
        const bool isPortability = std::strcmp(name, kPortabilityEnumeration) == 0;
        portability = portability || isPortability;
        if (isPortability || contains(requestedInstanceExtensions, name))
            enableOnce(name, enabled, enabledInstanceExtensions);
    }

    VkApplicationInfo application{};
    application.sType = VK_STRUCTURE_TYPE_APPLICATION_INFO;
    application.pApplicationName = "Quillmere";
    application.applicationVersion = 0;
    application.pEngineName = "Quillmere";
    application.engineVersion = 0;
    application.apiVersion = VK_API_VERSION_1_1;

    VkInstanceCreateInfo create{};
    create.sType = VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO;
    create.flags = portability ? VK_INSTANCE_CREATE_ENUMERATE_PORTABILITY_BIT_KHR : 0;
    create.pApplicationInfo = &application;
    create.enabledExtensionCount = static_cast<std::uint32_t>(enabled.size());
    create.ppEnabledExtensionNames = enabled.empty() ? nullptr : enabled.data();

    const VkResult created = vk.vkCreateInstance(&create, nullptr, &instance);
    if (created != VK_SUCCESS) {
        instance = VK_NULL_HANDLE;
        return fail(error, vkResultText("vkCreateInstance", created));
    }

    loadVulkanFunctions(vk, VulkanFunctionGroup::Instance,
                        [&](const char* name) { return getInstanceProcAddr(instance, name); });

    std::uint32_t deviceCount = 0;
    physicalDevices.clear();
    if (vk.vkEnumeratePhysicalDevices) {
        vk.vkEnumeratePhysicalDevices(instance, &deviceCount, nullptr);
        physicalDevices.resize(deviceCount);
        if (deviceCount)
            vk.vkEnumeratePhysicalDevices(instance, &deviceCount, physicalDevices.data());
        physicalDevices.resize(std::min<std::size_t>(physicalDevices.size(), deviceCount));
    }
    if (physicalDevices.empty())
        return fail(error, "no Vulkan devices");
    return true;
}

std::vector<VulkanDeviceInfo> VulkanContext::listDevices()
{
    std::vector<VulkanDeviceInfo> devices;
    if (!instance)
        return devices;
    for (std::size_t i = 0; i < physicalDevices.size(); ++i) {
        VkPhysicalDevice physical = physicalDevices[i];
        VkPhysicalDeviceSubgroupProperties subgroup{};
        subgroup.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_SUBGROUP_PROPERTIES;
        VkPhysicalDeviceProperties2 properties{};
        properties.sType = VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_PROPERTIES_2;
        properties.pNext = &subgroup;
        if (vk.vkGetPhysicalDeviceProperties2)
            vk.vkGetPhysicalDeviceProperties2(physical, &properties);
        else if (vk.vkGetPhysicalDeviceProperties)
            vk.vkGetPhysicalDeviceProperties(physical, &properties.properties);

        std::uint32_t familyCount = 0;
        std::vector<VkQueueFamilyProperties> families;
        if (vk.vkGetPhysicalDeviceQueueFamilyProperties) {
            vk.vkGetPhysicalDeviceQueueFamilyProperties(physical, &familyCount, nullptr);
            families.resize(familyCount);
            vk.vkGetPhysicalDeviceQueueFamilyProperties(physical, &familyCount, families.data());
            families.resize(std::min<std::size_t>(families.size(), familyCount));
        }

        const VkPhysicalDeviceProperties& p = properties.properties;
        VulkanDeviceInfo info;
        info.index = static_cast<std::uint32_t>(i);
        info.name = std::string(p.deviceName, strnlen(p.deviceName, sizeof(p.deviceName)));
        info.deviceType = static_cast<std::uint32_t>(p.deviceType);
        info.apiVersion = p.apiVersion;
        info.driverVersion = p.driverVersion;
        info.vendorID = p.vendorID;
        info.deviceID = p.deviceID;
        info.subgroupSize = subgroup.subgroupSize;
        info.maxComputeWorkGroupInvocations = p.limits.maxComputeWorkGroupInvocations;
        info.timestampPeriod = p.limits.timestampPeriod;
        for (const VkQueueFamilyProperties& family : families)
            info.hasCompute = info.hasCompute || (family.queueFlags & VK_QUEUE_COMPUTE_BIT) != 0;
        devices.push_back(std::move(info));
    }
    return devices;
}

bool VulkanContext::chooseQueueFamilies(std::string* error)
{
    std::uint32_t familyCount = 0;
    vk.vkGetPhysicalDeviceQueueFamilyProperties(physicalDevice, &familyCount, nullptr);
    std::vector<VkQueueFamilyProperties> families(familyCount);
    vk.vkGetPhysicalDeviceQueueFamilyProperties(physicalDevice, &familyCount, families.data());
    families.resize(std::min<std::size_t>(families.size(), familyCount));

    auto computeWithTimestamps = [&](std::size_t f) {
        return (families[f].queueFlags & VK_QUEUE_COMPUTE_BIT) && families[f].timestampValidBits != 0;
    };

    auto hasGraphics = [&](std::size_t f) { return (families[f].queueFlags & VK_QUEUE_GRAPHICS_BIT) != 0; };

    std::int32_t compute = -1;
    presentQueueFamily = -1;
    if (!surface) {
        // The raster passes share the one queue: a family that also has
        // graphics comes first, else the first one with compute.
        for (std::size_t f = 0; f < families.size() && compute < 0; ++f)
            if (computeWithTimestamps(f) && hasGraphics(f))
                compute = static_cast<std::int32_t>(f);
        for (std::size_t f = 0; f < families.size() && compute < 0; ++f)
            if (computeWithTimestamps(f))
                compute = static_cast<std::int32_t>(f);
    } else {
        std::vector<bool> canPresent(families.size(), false);
        for (std::size_t f = 0; f < families.size(); ++f) {
            VkBool32 supported = VK_FALSE;
            const VkResult asked = vk.vkGetPhysicalDeviceSurfaceSupportKHR(
                physicalDevice, static_cast<std::uint32_t>(f), surface, &supported);
            canPresent[f] = asked == VK_SUCCESS && supported == VK_TRUE;
        }
        int bestScore = -1;
        for (std::size_t f = 0; f < families.size(); ++f) {
            if (!computeWithTimestamps(f))
                continue;
            const int score = (hasGraphics(f) ? 1 : 0) + (canPresent[f] ? 4 : 0);
            if (score > bestScore) {
                bestScore = score;
                compute = static_cast<std::int32_t>(f);
            }
        }
        if (compute >= 0 && canPresent[static_cast<std::size_t>(compute)]) {
            presentQueueFamily = compute;
        } else {
            for (std::size_t f = 0; f < families.size(); ++f) {
                if (!canPresent[f])
                    continue;
                if (presentQueueFamily < 0 || hasGraphics(f))
                    presentQueueFamily = static_cast<std::int32_t>(f);
            }
        }
    }

    if (compute < 0)
        return fail(error, "no compute queue with timestamps");
    if (surface && presentQueueFamily < 0)
        return fail(error, "no queue family can present to the surface");
    computeQueueFamily = static_cast<std::uint32_t>(compute);
    graphicsQueue = hasGraphics(computeQueueFamily);
    return true;
}

bool VulkanContext::chooseDeviceExtensions(std::vector<const char*>& names, std::string* error)
{
    // The driver list points into `offered`, so the caller keeps a copy of
    // the names: they are the enabled-extension strings of the context.
    std::uint32_t offeredCount = 0;
    std::vector<VkExtensionProperties> offered;
    if (vk.vkEnumerateDeviceExtensionProperties) {
        vk.vkEnumerateDeviceExtensionProperties(physicalDevice, nullptr, &offeredCount, nullptr);
        offered.resize(offeredCount);
        if (offeredCount)
            vk.vkEnumerateDeviceExtensionProperties(physicalDevice, nullptr, &offeredCount, offered.data());
        offered.resize(std::min<std::size_t>(offered.size(), offeredCount));
    }

    enabledDeviceExtensions.clear();
    bool swapchainFound = false;
    for (const VkExtensionProperties& extension : offered) {
        const char* name = extension.extensionName;
        const bool isSwapchain = std::strcmp(name, kSwapchain) == 0;
        bool enable = std::strcmp(name, kPortabilitySubset) == 0;
        if (surface && isSwapchain) {
            enable = true;
            swapchainFound = true;
        }
        if (contains(requestedDeviceExtensions, name) && (!isSwapchain || surface))
            enable = true;
        if (enable)
            enableOnce(name, names, enabledDeviceExtensions);
    }
    if (surface && !swapchainFound)
        return fail(error, "VK_KHR_swapchain is not available");
    swapchain = surface != VK_NULL_HANDLE;
    // Point the driver list at the context's own strings, which outlive `offered`.
    names.clear();
    for (const std::string& name : enabledDeviceExtensions)
        names.push_back(name.c_str());
    return true;
}

bool VulkanContext::createDevice(std::uint32_t gpuIndex, std::string* error)
{
    if (!instance || gpuIndex >= physicalDevices.size())
        return fail(error, "bad GPU index");
    if (device)
        return fail(error, "a device is already open on this context");
    physicalDevice = physicalDevices[gpuIndex];

    if (surface && (!vk.vkGetPhysicalDeviceSurfaceSupportKHR || !vk.vkGetPhysicalDeviceSurfaceCapabilitiesKHR))
        return fail(error, "VK_KHR_surface is not enabled on the instance");

    if (!chooseQueueFamilies(error))
        return false;

    std::vector<const char*> extensions;
    if (!chooseDeviceExtensions(extensions, error))
        return false;

    VkPhysicalDeviceFeatures supported{};
    vk.vkGetPhysicalDeviceFeatures(physicalDevice, &supported);
    VkPhysicalDeviceFeatures features{};
    features.textureCompressionBC = supported.textureCompressionBC;
    textureCompressionBC = supported.textureCompressionBC == VK_TRUE;
    // Double precision lets the brick walk follow the processor's exactly.
    features.shaderFloat64 = supported.shaderFloat64;
    shaderFloat64 = supported.shaderFloat64 == VK_TRUE;

    const float priority = 1.0f;
    VkDeviceQueueCreateInfo queues[2]{};
    std::uint32_t queueCount = 1;
    queues[0].sType = VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO;
    queues[0].queueFamilyIndex = computeQueueFamily;
    queues[0].queueCount = 1;
    queues[0].pQueuePriorities = &priority;
    if (surface && presentQueueFamily >= 0 && static_cast<std::uint32_t>(presentQueueFamily) != computeQueueFamily) {
        queues[1] = queues[0];
        queues[1].queueFamilyIndex = static_cast<std::uint32_t>(presentQueueFamily);
        queueCount = 2;
    }

    VkDeviceCreateInfo create{};
    create.sType = VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO;
    create.queueCreateInfoCount = queueCount;
    create.pQueueCreateInfos = queues;
    create.enabledExtensionCount = static_cast<std::uint32_t>(extensions.size());
    create.ppEnabledExtensionNames = extensions.empty() ? nullptr : extensions.data();
    create.pEnabledFeatures = &features;

    const VkResult created = vk.vkCreateDevice(physicalDevice, &create, nullptr, &device);
    if (created != VK_SUCCESS) {
        device = VK_NULL_HANDLE;
        return fail(error, vkResultText("vkCreateDevice", created));
    }

    loadVulkanFunctions(vk, VulkanFunctionGroup::Device, [&](const char* name) {
        return vk.vkGetDeviceProcAddr ? vk.vkGetDeviceProcAddr(device, name) : nullptr;
    });
    if (!vk.vkGetDeviceQueue)
        return fail(error, "vkGetDeviceQueue missing");
    vk.vkGetDeviceQueue(device, computeQueueFamily, 0, &computeQueue);
    presentQueue = VK_NULL_HANDLE;
    if (surface) {
        presentQueue = computeQueue;
        if (static_cast<std::uint32_t>(presentQueueFamily) != computeQueueFamily)
            vk.vkGetDeviceQueue(device, static_cast<std::uint32_t>(presentQueueFamily), 0, &presentQueue);
    }

    vk.vkGetPhysicalDeviceMemoryProperties(physicalDevice, &memoryProperties);
    VkPhysicalDeviceProperties properties{};
    vk.vkGetPhysicalDeviceProperties(physicalDevice, &properties);
    timestampPeriod = properties.limits.timestampPeriod;
    maxImageArrayLayers = properties.limits.maxImageArrayLayers;
    for (std::size_t axis = 0; axis < maxComputeWorkGroupCount.size(); ++axis)
        maxComputeWorkGroupCount[axis] = properties.limits.maxComputeWorkGroupCount[axis];
    maxStorageBufferRange = properties.limits.maxStorageBufferRange;
    maxUniformBufferRange = properties.limits.maxUniformBufferRange;
    maxImageDimension2D = properties.limits.maxImageDimension2D;
    maxPushConstantsSize = properties.limits.maxPushConstantsSize;
    return true;
}

std::int32_t VulkanContext::findMemoryType(std::uint32_t typeBits, std::uint32_t wantedFlags) const
{
    const std::uint32_t count = std::min<std::uint32_t>(memoryProperties.memoryTypeCount, VK_MAX_MEMORY_TYPES);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint32_t flags = memoryProperties.memoryTypes[i].propertyFlags;
        if ((typeBits & (1u << i)) && (flags & wantedFlags) == wantedFlags)
            return static_cast<std::int32_t>(i);
    }
    return -1;
}

bool VulkanContext::requireGraphicsQueue(std::string* error) const
{
    if (device && graphicsQueue)
        return true;
    if (error)
        *error = "no queue family with graphics and compute";
    return false;
}

void VulkanContext::destroy()
{
    // Every handle, table entry and the module are cleared after release, so
    // a second call (the destructor after an explicit destroy) does nothing.
    if (device && vk.vkDestroyDevice)
        vk.vkDestroyDevice(device, nullptr);
    device = VK_NULL_HANDLE;
    computeQueue = VK_NULL_HANDLE;
    presentQueue = VK_NULL_HANDLE;
    if (instance && vk.vkDestroyInstance)
        vk.vkDestroyInstance(instance, nullptr);
    instance = VK_NULL_HANDLE;
    physicalDevice = VK_NULL_HANDLE;
    vk = VulkanFunctions{};
    getInstanceProcAddr = nullptr;
    freeLibrary(loader);
    loader = nullptr;

    physicalDevices.clear();
    enabledDeviceExtensions.clear();
    enabledInstanceExtensions.clear();
    requestedDeviceExtensions.clear();
    requestedInstanceExtensions.clear();
    presentQueueFamily = -1;
    swapchain = false;
    graphicsQueue = false;
    textureCompressionBC = false;
    shaderFloat64 = false;
}

} // namespace qlmr
