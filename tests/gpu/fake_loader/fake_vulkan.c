/* The fake loader: see fake_vulkan.h. */
#include "fake_vulkan.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define FAKE_EXPORT __attribute__((visibility("default")))

static QlmrFakeConfig config;
static QlmrFakeLog fakeLog;
static int initialised;
static uint32_t failSeen;
static uintptr_t nextHandle = 0x1000;

/* Dispatchable objects only need distinct addresses here. */
static char instanceObject;
static char physicalDeviceObjects[QLMR_FAKE_MAX_DEVICES];
static char deviceObject;
static char queueObjects[QLMR_FAKE_MAX_FAMILIES];
static char commandBufferObject;

typedef struct FakeMemory {
    void* bytes;
    size_t size;
    int mapped;
} FakeMemory;

#define FAKE_MAX_BLOCKS 64
static FakeMemory* blocks[FAKE_MAX_BLOCKS];

static void envUnsigned(const char* name, uint32_t* value)
{
    const char* text = getenv(name);
    if (text && *text)
        *value = (uint32_t)strtoul(text, NULL, 0);
}

FAKE_EXPORT void qlmrFakeReset(void)
{
    memset(&config, 0, sizeof config);
    memset(&fakeLog, 0, sizeof fakeLog);
    failSeen = 0;
    config.instanceVersion = VK_API_VERSION_1_3;
    config.createInstanceResult = VK_SUCCESS;
    config.deviceCount = 1;
    for (int i = 0; i < QLMR_FAKE_MAX_DEVICES; ++i)
        snprintf(config.deviceNames[i], sizeof config.deviceNames[i], "Fake GPU %d", i);
    config.deviceType = VK_PHYSICAL_DEVICE_TYPE_DISCRETE_GPU;
    config.familyCount = 1;
    config.families[0].flags = VK_QUEUE_COMPUTE_BIT | VK_QUEUE_GRAPHICS_BIT | VK_QUEUE_TRANSFER_BIT;
    config.families[0].timestampValidBits = 64;
    config.createDeviceResult = VK_SUCCESS;
    config.hostCoherent = 1;
    config.timestampPeriod = 1.0f;
    config.timestampTicks = 1000;
    config.timestampStart = 5000;
    config.queryResultsResult = VK_SUCCESS;
    config.submitFillByte = -1;
    config.failResult = VK_ERROR_OUT_OF_DEVICE_MEMORY;
    for (int axis = 0; axis < 3; ++axis)
        config.maxComputeWorkGroupCount[axis] = 65535;
    config.maxStorageBufferRange = 1u << 27;
    config.maxUniformBufferRange = 65536;
    config.maxPushConstantsSize = 128;

    uint32_t value = config.deviceCount;
    envUnsigned("QLMR_FAKE_DEVICES", &value);
    config.deviceCount = value > QLMR_FAKE_MAX_DEVICES ? QLMR_FAKE_MAX_DEVICES : value;
    const char* name = getenv("QLMR_FAKE_DEVICE_NAME");
    if (name)
        snprintf(config.deviceNames[0], sizeof config.deviceNames[0], "%s", name);
    envUnsigned("QLMR_FAKE_TIMESTAMP_BITS", &config.families[0].timestampValidBits);
    value = 0;
    envUnsigned("QLMR_FAKE_QUERY_RESULT", &value);
    config.queryResultsResult = (VkResult)(int32_t)value;
    envUnsigned("QLMR_FAKE_INSTANCE_VERSION", &config.instanceVersion);
    const char* failCall = getenv("QLMR_FAKE_FAIL_CALL");
    if (failCall)
        snprintf(config.failCall, sizeof config.failCall, "%s", failCall);
    initialised = 1;
}

static void ensureInitialised(void)
{
    if (!initialised)
        qlmrFakeReset();
}

FAKE_EXPORT QlmrFakeConfig* qlmrFakeConfig(void)
{
    ensureInitialised();
    return &config;
}

FAKE_EXPORT const QlmrFakeLog* qlmrFakeLog(void)
{
    ensureInitialised();
    return &fakeLog;
}

static int shouldFail(const char* call)
{
    if (!config.failCall[0] || strcmp(call, config.failCall) != 0)
        return 0;
    return failSeen++ >= config.failAfter;
}

#define FAKE_FAIL(call)                  \
    do {                                 \
        if (shouldFail(call))            \
            return config.failResult;    \
    } while (0)

#define FAKE_NEED(handle)                \
    do {                                 \
        if (!(handle))                   \
            ++fakeLog.nullHandleUses;    \
    } while (0)

static uint64_t newHandle(void)
{
    ++fakeLog.liveObjects;
    return (uint64_t)nextHandle++;
}

static void releaseHandle(uint64_t handle)
{
    if (handle)
        --fakeLog.liveObjects;
}

static VkResult copyOut(uint32_t* count, void* out, const void* items, uint32_t available, size_t itemSize)
{
    if (!out) {
        *count = available;
        return VK_SUCCESS;
    }
    uint32_t n = *count < available ? *count : available;
    memcpy(out, items, n * itemSize);
    *count = n;
    return n < available ? VK_INCOMPLETE : VK_SUCCESS;
}

static uint32_t deviceIndex(VkPhysicalDevice physical)
{
    return (uint32_t)((char*)physical - physicalDeviceObjects);
}

/* ---- instance level ---------------------------------------------------- */

static VKAPI_ATTR VkResult VKAPI_CALL fakeEnumerateInstanceVersion(uint32_t* version)
{
    *version = config.instanceVersion;
    return VK_SUCCESS;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeEnumerateInstanceExtensionProperties(const char* layer, uint32_t* count,
                                                                                VkExtensionProperties* properties)
{
    (void)layer;
    VkExtensionProperties offered[3];
    uint32_t n = 0;
    memset(offered, 0, sizeof offered);
    strcpy(offered[n++].extensionName, "VK_KHR_get_physical_device_properties2");
    if (config.offerPortabilityEnumeration)
        strcpy(offered[n++].extensionName, "VK_KHR_portability_enumeration");
    if (config.offerSurface)
        strcpy(offered[n++].extensionName, "VK_KHR_surface");
    return copyOut(count, properties, offered, n, sizeof offered[0]);
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreateInstance(const VkInstanceCreateInfo* info,
                                                         const VkAllocationCallbacks* allocator, VkInstance* instance)
{
    (void)allocator;
    fakeLog.instanceFlags = info->flags;
    fakeLog.requestedApiVersion = info->pApplicationInfo ? info->pApplicationInfo->apiVersion : 0;
    if (info->pApplicationInfo && info->pApplicationInfo->pApplicationName)
        snprintf(fakeLog.applicationName, sizeof fakeLog.applicationName, "%s",
                 info->pApplicationInfo->pApplicationName);
    fakeLog.instanceLayerCount = info->enabledLayerCount;
    fakeLog.instanceExtensionCount = info->enabledExtensionCount;
    for (uint32_t i = 0; i < info->enabledExtensionCount && i < QLMR_FAKE_MAX_NAMES; ++i)
        snprintf(fakeLog.instanceExtensions[i], VK_MAX_EXTENSION_NAME_SIZE, "%s", info->ppEnabledExtensionNames[i]);
    if (config.createInstanceResult != VK_SUCCESS)
        return config.createInstanceResult;
    ++fakeLog.instancesCreated;
    ++fakeLog.liveObjects;
    *instance = (VkInstance)&instanceObject;
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeDestroyInstance(VkInstance instance, const VkAllocationCallbacks* allocator)
{
    (void)allocator;
    if (instance)
        --fakeLog.liveObjects;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeEnumeratePhysicalDevices(VkInstance instance, uint32_t* count,
                                                                   VkPhysicalDevice* devices)
{
    FAKE_NEED(instance);
    VkPhysicalDevice all[QLMR_FAKE_MAX_DEVICES];
    for (uint32_t i = 0; i < QLMR_FAKE_MAX_DEVICES; ++i)
        all[i] = (VkPhysicalDevice)&physicalDeviceObjects[i];
    return copyOut(count, devices, all, config.deviceCount, sizeof all[0]);
}

static void fillProperties(VkPhysicalDevice physical, VkPhysicalDeviceProperties* p)
{
    uint32_t index = deviceIndex(physical);
    memset(p, 0, sizeof *p);
    p->apiVersion = VK_MAKE_API_VERSION(0, 1, 2, 3 + index);
    p->driverVersion = 0x1234 + index;
    p->vendorID = 0x10de;
    p->deviceID = 0x100 + index;
    p->deviceType = (VkPhysicalDeviceType)config.deviceType;
    snprintf(p->deviceName, sizeof p->deviceName, "%s", config.deviceNames[index % QLMR_FAKE_MAX_DEVICES]);
    p->limits.maxComputeWorkGroupInvocations = 1024;
    p->limits.timestampPeriod = config.timestampPeriod;
    p->limits.maxImageArrayLayers = 2048;
    p->limits.maxImageDimension2D = 16384;
    for (int axis = 0; axis < 3; ++axis)
        p->limits.maxComputeWorkGroupCount[axis] = config.maxComputeWorkGroupCount[axis];
    p->limits.maxStorageBufferRange = config.maxStorageBufferRange;
    p->limits.maxUniformBufferRange = config.maxUniformBufferRange;
    p->limits.maxPushConstantsSize = config.maxPushConstantsSize;
}

static VKAPI_ATTR void VKAPI_CALL fakeGetPhysicalDeviceProperties(VkPhysicalDevice physical,
                                                                  VkPhysicalDeviceProperties* properties)
{
    fillProperties(physical, properties);
}

static VKAPI_ATTR void VKAPI_CALL fakeGetPhysicalDeviceProperties2(VkPhysicalDevice physical,
                                                                   VkPhysicalDeviceProperties2* properties)
{
    fillProperties(physical, &properties->properties);
    for (VkBaseOutStructure* next = (VkBaseOutStructure*)properties->pNext; next; next = next->pNext) {
        if (next->sType == VK_STRUCTURE_TYPE_PHYSICAL_DEVICE_SUBGROUP_PROPERTIES)
            ((VkPhysicalDeviceSubgroupProperties*)next)->subgroupSize = 32;
    }
}

static VKAPI_ATTR void VKAPI_CALL fakeGetPhysicalDeviceQueueFamilyProperties(VkPhysicalDevice physical,
                                                                             uint32_t* count,
                                                                             VkQueueFamilyProperties* properties)
{
    (void)physical;
    VkQueueFamilyProperties all[QLMR_FAKE_MAX_FAMILIES];
    memset(all, 0, sizeof all);
    for (uint32_t i = 0; i < QLMR_FAKE_MAX_FAMILIES; ++i) {
        all[i].queueFlags = config.families[i].flags;
        all[i].queueCount = 1;
        all[i].timestampValidBits = config.families[i].timestampValidBits;
    }
    copyOut(count, properties, all, config.familyCount, sizeof all[0]);
}

static VKAPI_ATTR void VKAPI_CALL fakeGetPhysicalDeviceMemoryProperties(VkPhysicalDevice physical,
                                                                        VkPhysicalDeviceMemoryProperties* memory)
{
    (void)physical;
    memset(memory, 0, sizeof *memory);
    memory->memoryTypeCount = 2;
    memory->memoryTypes[0].propertyFlags = VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT;
    memory->memoryTypes[1].propertyFlags =
        VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT |
        (config.hostCoherent ? VK_MEMORY_PROPERTY_HOST_COHERENT_BIT : VK_MEMORY_PROPERTY_HOST_CACHED_BIT) |
        (config.hostVisibleDeviceLocal ? VK_MEMORY_PROPERTY_DEVICE_LOCAL_BIT : 0);
    memory->memoryHeapCount = 1;
    memory->memoryHeaps[0].size = 1u << 30;
}

static VKAPI_ATTR void VKAPI_CALL fakeGetPhysicalDeviceFeatures(VkPhysicalDevice physical,
                                                                VkPhysicalDeviceFeatures* features)
{
    (void)physical;
    /* Everything the fake "supports", so a test sees which ones are enabled. */
    memset(features, 0, sizeof *features);
    features->robustBufferAccess = VK_TRUE;
    features->shaderInt64 = VK_TRUE;
    features->samplerAnisotropy = VK_TRUE;
    features->textureCompressionBC = config.textureCompressionBC ? VK_TRUE : VK_FALSE;
    features->shaderFloat64 = config.shaderFloat64 ? VK_TRUE : VK_FALSE;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeEnumerateDeviceExtensionProperties(VkPhysicalDevice physical,
                                                                              const char* layer, uint32_t* count,
                                                                              VkExtensionProperties* properties)
{
    (void)physical;
    (void)layer;
    VkExtensionProperties offered[4];
    uint32_t n = 0;
    memset(offered, 0, sizeof offered);
    strcpy(offered[n++].extensionName, "VK_KHR_maintenance1");
    if (config.offerPortabilitySubset)
        strcpy(offered[n++].extensionName, "VK_KHR_portability_subset");
    if (config.offerSwapchain)
        strcpy(offered[n++].extensionName, "VK_KHR_swapchain");
    return copyOut(count, properties, offered, n, sizeof offered[0]);
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeGetPhysicalDeviceSurfaceSupportKHR(VkPhysicalDevice physical,
                                                                             uint32_t family, VkSurfaceKHR surface,
                                                                             VkBool32* supported)
{
    (void)physical;
    FAKE_NEED(surface);
    *supported = family < config.familyCount && config.families[family].canPresent ? VK_TRUE : VK_FALSE;
    return VK_SUCCESS;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeGetPhysicalDeviceSurfaceCapabilitiesKHR(
    VkPhysicalDevice physical, VkSurfaceKHR surface, VkSurfaceCapabilitiesKHR* capabilities)
{
    (void)physical;
    (void)surface;
    memset(capabilities, 0, sizeof *capabilities);
    return VK_SUCCESS;
}

static VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL fakeGetDeviceProcAddr(VkDevice device, const char* name);

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreateDevice(VkPhysicalDevice physical, const VkDeviceCreateInfo* info,
                                                       const VkAllocationCallbacks* allocator, VkDevice* device)
{
    (void)physical;
    (void)allocator;
    fakeLog.deviceExtensionCount = info->enabledExtensionCount;
    for (uint32_t i = 0; i < info->enabledExtensionCount && i < QLMR_FAKE_MAX_NAMES; ++i)
        snprintf(fakeLog.deviceExtensions[i], VK_MAX_EXTENSION_NAME_SIZE, "%s", info->ppEnabledExtensionNames[i]);
    fakeLog.featuresGiven = info->pEnabledFeatures != NULL;
    if (info->pEnabledFeatures)
        fakeLog.enabledFeatures = *info->pEnabledFeatures;
    fakeLog.queueCreateCount = info->queueCreateInfoCount;
    for (uint32_t i = 0; i < info->queueCreateInfoCount && i < QLMR_FAKE_MAX_FAMILIES; ++i)
        fakeLog.queueFamilies[i] = info->pQueueCreateInfos[i].queueFamilyIndex;
    if (config.createDeviceResult != VK_SUCCESS)
        return config.createDeviceResult;
    ++fakeLog.devicesCreated;
    ++fakeLog.liveObjects;
    *device = (VkDevice)&deviceObject;
    return VK_SUCCESS;
}

/* ---- device level ------------------------------------------------------ */

static VKAPI_ATTR void VKAPI_CALL fakeDestroyDevice(VkDevice device, const VkAllocationCallbacks* allocator)
{
    (void)allocator;
    if (device)
        --fakeLog.liveObjects;
}

static VKAPI_ATTR void VKAPI_CALL fakeGetDeviceQueue(VkDevice device, uint32_t family, uint32_t index, VkQueue* queue)
{
    (void)index;
    FAKE_NEED(device);
    *queue = (VkQueue)&queueObjects[family % QLMR_FAKE_MAX_FAMILIES];
}

typedef struct FakeBuffer {
    VkDeviceSize size;
} FakeBuffer;

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreateBuffer(VkDevice device, const VkBufferCreateInfo* info,
                                                       const VkAllocationCallbacks* allocator, VkBuffer* buffer)
{
    (void)allocator;
    FAKE_NEED(device);
    FAKE_FAIL("vkCreateBuffer");
    FakeBuffer* created = (FakeBuffer*)calloc(1, sizeof(FakeBuffer));
    created->size = info->size;
    ++fakeLog.liveObjects;
    *buffer = (VkBuffer)created;
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeDestroyBuffer(VkDevice device, VkBuffer buffer,
                                                    const VkAllocationCallbacks* allocator)
{
    (void)device;
    (void)allocator;
    if (!buffer)
        return;
    free((FakeBuffer*)buffer);
    --fakeLog.liveObjects;
}

static VKAPI_ATTR void VKAPI_CALL fakeGetBufferMemoryRequirements(VkDevice device, VkBuffer buffer,
                                                                  VkMemoryRequirements* requirements)
{
    (void)device;
    FAKE_NEED(buffer);
    /* At least 4096 bytes, so the tests know the allocation sizes. */
    VkDeviceSize size = buffer ? ((FakeBuffer*)buffer)->size : 0;
    size = (size + 255) / 256 * 256;
    requirements->size = size < 4096 ? 4096 : size;
    requirements->alignment = 256;
    requirements->memoryTypeBits = 0x3;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeAllocateMemory(VkDevice device, const VkMemoryAllocateInfo* info,
                                                         const VkAllocationCallbacks* allocator,
                                                         VkDeviceMemory* memory)
{
    (void)allocator;
    FAKE_NEED(device);
    FAKE_FAIL("vkAllocateMemory");
    FakeMemory* block = (FakeMemory*)calloc(1, sizeof(FakeMemory));
    block->bytes = calloc(1, (size_t)info->allocationSize);
    block->size = (size_t)info->allocationSize;
    for (int i = 0; i < FAKE_MAX_BLOCKS; ++i)
        if (!blocks[i]) {
            blocks[i] = block;
            break;
        }
    ++fakeLog.liveObjects;
    *memory = (VkDeviceMemory)block;
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeFreeMemory(VkDevice device, VkDeviceMemory memory,
                                                 const VkAllocationCallbacks* allocator)
{
    (void)device;
    (void)allocator;
    if (!memory)
        return;
    FakeMemory* block = (FakeMemory*)memory;
    for (int i = 0; i < FAKE_MAX_BLOCKS; ++i)
        if (blocks[i] == block)
            blocks[i] = NULL;
    free(block->bytes);
    free(block);
    --fakeLog.liveObjects;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeBindBufferMemory(VkDevice device, VkBuffer buffer, VkDeviceMemory memory,
                                                           VkDeviceSize offset)
{
    (void)device;
    (void)offset;
    FAKE_NEED(buffer);
    FAKE_NEED(memory);
    FAKE_FAIL("vkBindBufferMemory");
    return VK_SUCCESS;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeMapMemory(VkDevice device, VkDeviceMemory memory, VkDeviceSize offset,
                                                    VkDeviceSize size, VkMemoryMapFlags flags, void** data)
{
    (void)device;
    (void)size;
    (void)flags;
    FAKE_NEED(memory);
    FAKE_FAIL("vkMapMemory");
    FakeMemory* block = (FakeMemory*)memory;
    block->mapped = 1;
    ++fakeLog.mappedBlocks;
    *data = (char*)block->bytes + offset;
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeUnmapMemory(VkDevice device, VkDeviceMemory memory)
{
    (void)device;
    FAKE_NEED(memory);
    if (memory && ((FakeMemory*)memory)->mapped) {
        ((FakeMemory*)memory)->mapped = 0;
        --fakeLog.mappedBlocks;
    }
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreateShaderModule(VkDevice device, const VkShaderModuleCreateInfo* info,
                                                             const VkAllocationCallbacks* allocator,
                                                             VkShaderModule* module)
{
    (void)allocator;
    FAKE_NEED(device);
    if (!info->pCode || info->codeSize == 0 || info->codeSize % 4 != 0 || info->pCode[0] != 0x07230203u)
        return VK_ERROR_INVALID_SHADER_NV;
    FAKE_FAIL("vkCreateShaderModule");
    ++fakeLog.shaderModulesCreated;
    *module = (VkShaderModule)newHandle();
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeDestroyShaderModule(VkDevice device, VkShaderModule module,
                                                          const VkAllocationCallbacks* allocator)
{
    (void)device;
    (void)allocator;
    if (module)
        ++fakeLog.shaderModulesDestroyed;
    releaseHandle((uint64_t)module);
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreateDescriptorSetLayout(VkDevice device,
                                                                    const VkDescriptorSetLayoutCreateInfo* info,
                                                                    const VkAllocationCallbacks* allocator,
                                                                    VkDescriptorSetLayout* layout)
{
    (void)device;
    (void)allocator;
    fakeLog.layoutBindings = info->bindingCount;
    FAKE_FAIL("vkCreateDescriptorSetLayout");
    *layout = (VkDescriptorSetLayout)newHandle();
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeDestroyDescriptorSetLayout(VkDevice device, VkDescriptorSetLayout layout,
                                                                 const VkAllocationCallbacks* allocator)
{
    (void)device;
    (void)allocator;
    releaseHandle((uint64_t)layout);
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreatePipelineLayout(VkDevice device,
                                                               const VkPipelineLayoutCreateInfo* info,
                                                               const VkAllocationCallbacks* allocator,
                                                               VkPipelineLayout* layout)
{
    (void)device;
    (void)allocator;
    FAKE_NEED(info->setLayoutCount == 1 ? info->pSetLayouts[0] : NULL);
    fakeLog.pushRanges = info->pushConstantRangeCount;
    fakeLog.pushRangeSize = info->pushConstantRangeCount ? info->pPushConstantRanges[0].size : 0;
    FAKE_FAIL("vkCreatePipelineLayout");
    *layout = (VkPipelineLayout)newHandle();
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeDestroyPipelineLayout(VkDevice device, VkPipelineLayout layout,
                                                            const VkAllocationCallbacks* allocator)
{
    (void)device;
    (void)allocator;
    releaseHandle((uint64_t)layout);
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreateComputePipelines(VkDevice device, VkPipelineCache cache,
                                                                 uint32_t count,
                                                                 const VkComputePipelineCreateInfo* infos,
                                                                 const VkAllocationCallbacks* allocator,
                                                                 VkPipeline* pipelines)
{
    (void)device;
    (void)cache;
    (void)allocator;
    for (uint32_t i = 0; i < count; ++i) {
        FAKE_NEED(infos[i].stage.module);
        FAKE_NEED(infos[i].layout);
    }
    FAKE_FAIL("vkCreateComputePipelines");
    for (uint32_t i = 0; i < count; ++i)
        pipelines[i] = (VkPipeline)newHandle();
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeDestroyPipeline(VkDevice device, VkPipeline pipeline,
                                                      const VkAllocationCallbacks* allocator)
{
    (void)device;
    (void)allocator;
    releaseHandle((uint64_t)pipeline);
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreateDescriptorPool(VkDevice device,
                                                               const VkDescriptorPoolCreateInfo* info,
                                                               const VkAllocationCallbacks* allocator,
                                                               VkDescriptorPool* pool)
{
    (void)device;
    (void)allocator;
    fakeLog.storagePoolSize = 0;
    fakeLog.uniformPoolSize = 0;
    for (uint32_t i = 0; i < info->poolSizeCount; ++i) {
        if (info->pPoolSizes[i].type == VK_DESCRIPTOR_TYPE_STORAGE_BUFFER)
            fakeLog.storagePoolSize += info->pPoolSizes[i].descriptorCount;
        if (info->pPoolSizes[i].type == VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER)
            fakeLog.uniformPoolSize += info->pPoolSizes[i].descriptorCount;
    }
    FAKE_FAIL("vkCreateDescriptorPool");
    *pool = (VkDescriptorPool)newHandle();
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeDestroyDescriptorPool(VkDevice device, VkDescriptorPool pool,
                                                            const VkAllocationCallbacks* allocator)
{
    (void)device;
    (void)allocator;
    releaseHandle((uint64_t)pool);
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeAllocateDescriptorSets(VkDevice device,
                                                                 const VkDescriptorSetAllocateInfo* info,
                                                                 VkDescriptorSet* sets)
{
    (void)device;
    FAKE_NEED(info->descriptorPool);
    FAKE_FAIL("vkAllocateDescriptorSets");
    for (uint32_t i = 0; i < info->descriptorSetCount; ++i)
        sets[i] = (VkDescriptorSet)(uint64_t)nextHandle++; /* freed with the pool */
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeUpdateDescriptorSets(VkDevice device, uint32_t writeCount,
                                                           const VkWriteDescriptorSet* writes, uint32_t copyCount,
                                                           const VkCopyDescriptorSet* copies)
{
    (void)device;
    (void)copyCount;
    (void)copies;
    for (uint32_t i = 0; i < writeCount; ++i) {
        FAKE_NEED(writes[i].dstSet);
        FAKE_NEED(writes[i].pBufferInfo ? writes[i].pBufferInfo->buffer : NULL);
    }
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreateCommandPool(VkDevice device, const VkCommandPoolCreateInfo* info,
                                                            const VkAllocationCallbacks* allocator,
                                                            VkCommandPool* pool)
{
    (void)device;
    (void)info;
    (void)allocator;
    FAKE_FAIL("vkCreateCommandPool");
    *pool = (VkCommandPool)newHandle();
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeDestroyCommandPool(VkDevice device, VkCommandPool pool,
                                                         const VkAllocationCallbacks* allocator)
{
    (void)device;
    (void)allocator;
    releaseHandle((uint64_t)pool);
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeAllocateCommandBuffers(VkDevice device,
                                                                 const VkCommandBufferAllocateInfo* info,
                                                                 VkCommandBuffer* buffers)
{
    (void)device;
    FAKE_NEED(info->commandPool);
    FAKE_FAIL("vkAllocateCommandBuffers");
    for (uint32_t i = 0; i < info->commandBufferCount; ++i)
        buffers[i] = (VkCommandBuffer)&commandBufferObject; /* freed with the pool */
    return VK_SUCCESS;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeBeginCommandBuffer(VkCommandBuffer buffer,
                                                             const VkCommandBufferBeginInfo* info)
{
    (void)info;
    FAKE_NEED(buffer);
    FAKE_FAIL("vkBeginCommandBuffer");
    return VK_SUCCESS;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeEndCommandBuffer(VkCommandBuffer buffer)
{
    FAKE_NEED(buffer);
    FAKE_FAIL("vkEndCommandBuffer");
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeCmdBindPipeline(VkCommandBuffer buffer, VkPipelineBindPoint point,
                                                      VkPipeline pipeline)
{
    (void)point;
    FAKE_NEED(buffer);
    FAKE_NEED(pipeline);
}

static VKAPI_ATTR void VKAPI_CALL fakeCmdBindDescriptorSets(VkCommandBuffer buffer, VkPipelineBindPoint point,
                                                            VkPipelineLayout layout, uint32_t first, uint32_t count,
                                                            const VkDescriptorSet* sets, uint32_t dynamicCount,
                                                            const uint32_t* dynamicOffsets)
{
    (void)point;
    (void)first;
    (void)dynamicCount;
    (void)dynamicOffsets;
    FAKE_NEED(buffer);
    FAKE_NEED(layout);
    for (uint32_t i = 0; i < count; ++i)
        FAKE_NEED(sets[i]);
}

static VKAPI_ATTR void VKAPI_CALL fakeCmdDispatch(VkCommandBuffer buffer, uint32_t x, uint32_t y, uint32_t z)
{
    FAKE_NEED(buffer);
    ++fakeLog.dispatches;
    fakeLog.groupsX = x;
    fakeLog.groupsY = y;
    fakeLog.groupsZ = z;
}

static VKAPI_ATTR void VKAPI_CALL fakeCmdPushConstants(VkCommandBuffer buffer, VkPipelineLayout layout,
                                                       VkShaderStageFlags stages, uint32_t offset, uint32_t size,
                                                       const void* values)
{
    (void)stages;
    (void)offset;
    (void)values;
    FAKE_NEED(buffer);
    FAKE_NEED(layout);
    ++fakeLog.pushCommands;
    fakeLog.pushBytes = size;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeQueueSubmit(VkQueue queue, uint32_t count, const VkSubmitInfo* submits,
                                                      VkFence fence)
{
    (void)count;
    (void)submits;
    FAKE_NEED(queue);
    FAKE_NEED(fence);
    FAKE_FAIL("vkQueueSubmit");
    ++fakeLog.submits;
    /* Stands in for the kernel's writes, so a test can see what is read back. */
    if (config.submitFillByte >= 0)
        for (int i = 0; i < FAKE_MAX_BLOCKS; ++i)
            if (blocks[i] && blocks[i]->mapped)
                memset(blocks[i]->bytes, config.submitFillByte, blocks[i]->size);
    return VK_SUCCESS;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreateFence(VkDevice device, const VkFenceCreateInfo* info,
                                                      const VkAllocationCallbacks* allocator, VkFence* fence)
{
    (void)device;
    (void)info;
    (void)allocator;
    FAKE_FAIL("vkCreateFence");
    *fence = (VkFence)newHandle();
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeDestroyFence(VkDevice device, VkFence fence,
                                                   const VkAllocationCallbacks* allocator)
{
    (void)device;
    (void)allocator;
    releaseHandle((uint64_t)fence);
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeDeviceWaitIdle(VkDevice device)
{
    FAKE_NEED(device);
    return VK_SUCCESS;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeWaitForFences(VkDevice device, uint32_t count, const VkFence* fences,
                                                        VkBool32 waitAll, uint64_t timeout)
{
    (void)device;
    (void)waitAll;
    (void)timeout;
    for (uint32_t i = 0; i < count; ++i)
        FAKE_NEED(fences[i]);
    FAKE_FAIL("vkWaitForFences");
    return VK_SUCCESS;
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeCreateQueryPool(VkDevice device, const VkQueryPoolCreateInfo* info,
                                                          const VkAllocationCallbacks* allocator, VkQueryPool* pool)
{
    (void)device;
    (void)info;
    (void)allocator;
    FAKE_FAIL("vkCreateQueryPool");
    *pool = (VkQueryPool)newHandle();
    return VK_SUCCESS;
}

static VKAPI_ATTR void VKAPI_CALL fakeDestroyQueryPool(VkDevice device, VkQueryPool pool,
                                                       const VkAllocationCallbacks* allocator)
{
    (void)device;
    (void)allocator;
    releaseHandle((uint64_t)pool);
}

static VKAPI_ATTR void VKAPI_CALL fakeCmdWriteTimestamp(VkCommandBuffer buffer, VkPipelineStageFlagBits stage,
                                                        VkQueryPool pool, uint32_t query)
{
    (void)stage;
    (void)query;
    FAKE_NEED(buffer);
    FAKE_NEED(pool);
}

static VKAPI_ATTR void VKAPI_CALL fakeCmdResetQueryPool(VkCommandBuffer buffer, VkQueryPool pool, uint32_t first,
                                                        uint32_t count)
{
    (void)first;
    (void)count;
    FAKE_NEED(buffer);
    FAKE_NEED(pool);
}

static VKAPI_ATTR void VKAPI_CALL fakeCmdPipelineBarrier(VkCommandBuffer buffer, VkPipelineStageFlags src,
                                                         VkPipelineStageFlags dst, VkDependencyFlags flags,
                                                         uint32_t memoryCount, const VkMemoryBarrier* memory,
                                                         uint32_t bufferCount, const VkBufferMemoryBarrier* buffers,
                                                         uint32_t imageCount, const VkImageMemoryBarrier* images)
{
    (void)src;
    (void)dst;
    (void)flags;
    (void)memoryCount;
    (void)memory;
    (void)bufferCount;
    (void)buffers;
    (void)imageCount;
    (void)images;
    FAKE_NEED(buffer);
}

static VKAPI_ATTR VkResult VKAPI_CALL fakeGetQueryPoolResults(VkDevice device, VkQueryPool pool, uint32_t first,
                                                              uint32_t count, size_t size, void* data,
                                                              VkDeviceSize stride, VkQueryResultFlags flags)
{
    (void)device;
    (void)first;
    (void)size;
    (void)flags;
    FAKE_NEED(pool);
    if (config.queryResultsResult != VK_SUCCESS)
        return config.queryResultsResult;
    uint64_t values[2] = {config.timestampStart, config.timestampStart + config.timestampTicks};
    for (uint32_t i = 0; i < count && i < 2; ++i)
        memcpy((char*)data + i * stride, &values[i], sizeof values[i]);
    return VK_SUCCESS;
}

/* ---- lookup ------------------------------------------------------------ */

typedef struct NamedFunction {
    const char* name;
    PFN_vkVoidFunction function;
} NamedFunction;

#define FAKE_ENTRY(name, function) {name, (PFN_vkVoidFunction)function}

static const NamedFunction instanceFunctions[] = {
    FAKE_ENTRY("vkDestroyInstance", fakeDestroyInstance),
    FAKE_ENTRY("vkEnumeratePhysicalDevices", fakeEnumeratePhysicalDevices),
    FAKE_ENTRY("vkGetPhysicalDeviceProperties", fakeGetPhysicalDeviceProperties),
    FAKE_ENTRY("vkGetPhysicalDeviceProperties2", fakeGetPhysicalDeviceProperties2),
    FAKE_ENTRY("vkGetPhysicalDeviceQueueFamilyProperties", fakeGetPhysicalDeviceQueueFamilyProperties),
    FAKE_ENTRY("vkGetPhysicalDeviceMemoryProperties", fakeGetPhysicalDeviceMemoryProperties),
    FAKE_ENTRY("vkGetPhysicalDeviceFeatures", fakeGetPhysicalDeviceFeatures),
    FAKE_ENTRY("vkCreateDevice", fakeCreateDevice),
    FAKE_ENTRY("vkGetDeviceProcAddr", fakeGetDeviceProcAddr),
    FAKE_ENTRY("vkEnumerateDeviceExtensionProperties", fakeEnumerateDeviceExtensionProperties),
};

static const NamedFunction surfaceFunctions[] = {
    FAKE_ENTRY("vkGetPhysicalDeviceSurfaceSupportKHR", fakeGetPhysicalDeviceSurfaceSupportKHR),
    FAKE_ENTRY("vkGetPhysicalDeviceSurfaceCapabilitiesKHR", fakeGetPhysicalDeviceSurfaceCapabilitiesKHR),
};

static const NamedFunction deviceFunctions[] = {
    FAKE_ENTRY("vkDestroyDevice", fakeDestroyDevice),
    FAKE_ENTRY("vkGetDeviceQueue", fakeGetDeviceQueue),
    FAKE_ENTRY("vkCreateBuffer", fakeCreateBuffer),
    FAKE_ENTRY("vkDestroyBuffer", fakeDestroyBuffer),
    FAKE_ENTRY("vkGetBufferMemoryRequirements", fakeGetBufferMemoryRequirements),
    FAKE_ENTRY("vkAllocateMemory", fakeAllocateMemory),
    FAKE_ENTRY("vkFreeMemory", fakeFreeMemory),
    FAKE_ENTRY("vkBindBufferMemory", fakeBindBufferMemory),
    FAKE_ENTRY("vkMapMemory", fakeMapMemory),
    FAKE_ENTRY("vkUnmapMemory", fakeUnmapMemory),
    FAKE_ENTRY("vkCreateShaderModule", fakeCreateShaderModule),
    FAKE_ENTRY("vkDestroyShaderModule", fakeDestroyShaderModule),
    FAKE_ENTRY("vkCreateDescriptorSetLayout", fakeCreateDescriptorSetLayout),
    FAKE_ENTRY("vkDestroyDescriptorSetLayout", fakeDestroyDescriptorSetLayout),
    FAKE_ENTRY("vkCreatePipelineLayout", fakeCreatePipelineLayout),
    FAKE_ENTRY("vkDestroyPipelineLayout", fakeDestroyPipelineLayout),
    FAKE_ENTRY("vkCreateComputePipelines", fakeCreateComputePipelines),
    FAKE_ENTRY("vkDestroyPipeline", fakeDestroyPipeline),
    FAKE_ENTRY("vkCreateDescriptorPool", fakeCreateDescriptorPool),
    FAKE_ENTRY("vkDestroyDescriptorPool", fakeDestroyDescriptorPool),
    FAKE_ENTRY("vkAllocateDescriptorSets", fakeAllocateDescriptorSets),
    FAKE_ENTRY("vkUpdateDescriptorSets", fakeUpdateDescriptorSets),
    FAKE_ENTRY("vkCreateCommandPool", fakeCreateCommandPool),
    FAKE_ENTRY("vkDestroyCommandPool", fakeDestroyCommandPool),
    FAKE_ENTRY("vkAllocateCommandBuffers", fakeAllocateCommandBuffers),
    FAKE_ENTRY("vkBeginCommandBuffer", fakeBeginCommandBuffer),
    FAKE_ENTRY("vkEndCommandBuffer", fakeEndCommandBuffer),
    FAKE_ENTRY("vkCmdBindPipeline", fakeCmdBindPipeline),
    FAKE_ENTRY("vkCmdBindDescriptorSets", fakeCmdBindDescriptorSets),
    FAKE_ENTRY("vkCmdDispatch", fakeCmdDispatch),
    FAKE_ENTRY("vkCmdPushConstants", fakeCmdPushConstants),
    FAKE_ENTRY("vkQueueSubmit", fakeQueueSubmit),
    FAKE_ENTRY("vkCreateFence", fakeCreateFence),
    FAKE_ENTRY("vkDestroyFence", fakeDestroyFence),
    FAKE_ENTRY("vkWaitForFences", fakeWaitForFences),
    FAKE_ENTRY("vkDeviceWaitIdle", fakeDeviceWaitIdle),
    FAKE_ENTRY("vkCreateQueryPool", fakeCreateQueryPool),
    FAKE_ENTRY("vkDestroyQueryPool", fakeDestroyQueryPool),
    FAKE_ENTRY("vkCmdWriteTimestamp", fakeCmdWriteTimestamp),
    FAKE_ENTRY("vkCmdResetQueryPool", fakeCmdResetQueryPool),
    FAKE_ENTRY("vkCmdPipelineBarrier", fakeCmdPipelineBarrier),
    FAKE_ENTRY("vkGetQueryPoolResults", fakeGetQueryPoolResults),
};

static PFN_vkVoidFunction findIn(const NamedFunction* table, size_t count, const char* name)
{
    for (size_t i = 0; i < count; ++i)
        if (strcmp(table[i].name, name) == 0)
            return table[i].function;
    return NULL;
}

#define FAKE_FIND(table, name) findIn(table, sizeof table / sizeof table[0], name)

static VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL fakeGetDeviceProcAddr(VkDevice device, const char* name)
{
    if (!device)
        return NULL;
    return FAKE_FIND(deviceFunctions, name);
}

FAKE_EXPORT VKAPI_ATTR PFN_vkVoidFunction VKAPI_CALL vkGetInstanceProcAddr(VkInstance instance, const char* name)
{
    ensureInitialised();
    /* Like the real loader: only the global entries without an instance. */
    if (!instance) {
        if (strcmp(name, "vkCreateInstance") == 0)
            return (PFN_vkVoidFunction)fakeCreateInstance;
        if (strcmp(name, "vkEnumerateInstanceExtensionProperties") == 0)
            return (PFN_vkVoidFunction)fakeEnumerateInstanceExtensionProperties;
        if (strcmp(name, "vkEnumerateInstanceVersion") == 0)
            return config.instanceVersion ? (PFN_vkVoidFunction)fakeEnumerateInstanceVersion : NULL;
        return NULL;
    }
    PFN_vkVoidFunction function = FAKE_FIND(instanceFunctions, name);
    if (!function && config.offerSurface)
        function = FAKE_FIND(surfaceFunctions, name);
    return function;
}
