/* A stand-in for the Vulkan loader, built as a shared library for the tests.
 * It exports vkGetInstanceProcAddr and serves one instance with up to four
 * fake devices whose properties come from a configuration the test sets, so
 * the tests reach the failure paths a real driver never shows. It records
 * what the engine asked of it and counts live objects, so a test can see
 * leaks and wrong create parameters. Nothing is executed on "the GPU". */
#ifndef QLMR_FAKE_VULKAN_H
#define QLMR_FAKE_VULKAN_H

#ifndef VK_NO_PROTOTYPES
#define VK_NO_PROTOTYPES
#endif
#include <vulkan/vulkan.h>

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QLMR_FAKE_MAX_DEVICES 4
#define QLMR_FAKE_MAX_FAMILIES 4
#define QLMR_FAKE_MAX_NAMES 8

typedef struct QlmrFakeFamily {
    VkQueueFlags flags;
    uint32_t timestampValidBits;
    int canPresent;
} QlmrFakeFamily;

typedef struct QlmrFakeConfig {
    uint32_t instanceVersion;         /* 0: vkEnumerateInstanceVersion is not offered */
    int offerPortabilityEnumeration;  /* instance extension */
    int offerSurface;                 /* instance extension VK_KHR_surface */
    VkResult createInstanceResult;
    uint32_t deviceCount;
    char deviceNames[QLMR_FAKE_MAX_DEVICES][VK_MAX_PHYSICAL_DEVICE_NAME_SIZE];
    uint32_t deviceType;
    uint32_t familyCount;
    QlmrFakeFamily families[QLMR_FAKE_MAX_FAMILIES];
    int textureCompressionBC;
    int shaderFloat64;
    int offerPortabilitySubset;       /* device extensions */
    int offerSwapchain;
    VkResult createDeviceResult;
    int hostCoherent;                 /* the host-visible memory type is also coherent */
    int hostVisibleDeviceLocal;       /* the host-visible memory type is also device-local */
    float timestampPeriod;
    uint64_t timestampTicks;          /* t1 - t0 reported by the query pool */
    uint64_t timestampStart;          /* t0 */
    VkResult queryResultsResult;
    int submitFillByte;               /* >= 0: a submit fills every mapped block with it; -1 off */
    char failCall[64];                /* name of a call that fails ... */
    uint32_t failAfter;               /* ... after this many successful calls ... */
    VkResult failResult;              /* ... with this result */
    uint32_t maxComputeWorkGroupCount[3]; /* the devices' dispatch limit per axis */
    uint32_t maxStorageBufferRange;   /* bytes one storage buffer binding may cover */
    uint32_t maxUniformBufferRange;   /* bytes one uniform buffer binding may cover */
    uint32_t maxPushConstantsSize;    /* bytes of push constants a pipeline layout may declare */
} QlmrFakeConfig;

typedef struct QlmrFakeLog {
    VkInstanceCreateFlags instanceFlags;
    uint32_t requestedApiVersion;
    char applicationName[64];
    uint32_t instanceExtensionCount;
    char instanceExtensions[QLMR_FAKE_MAX_NAMES][VK_MAX_EXTENSION_NAME_SIZE];
    uint32_t instanceLayerCount;
    uint32_t deviceExtensionCount;
    char deviceExtensions[QLMR_FAKE_MAX_NAMES][VK_MAX_EXTENSION_NAME_SIZE];
    int featuresGiven;
    VkPhysicalDeviceFeatures enabledFeatures;
    uint32_t queueCreateCount;
    uint32_t queueFamilies[QLMR_FAKE_MAX_FAMILIES];
    int64_t liveObjects;              /* created minus destroyed, every kind */
    int64_t mappedBlocks;
    uint32_t nullHandleUses;          /* a null handle reached a call that needs a real one */
    uint32_t pushRanges;              /* of the last pipeline layout */
    uint32_t pushRangeSize;
    uint32_t pushCommands;
    uint32_t pushBytes;
    uint32_t storagePoolSize;
    uint32_t uniformPoolSize;
    uint32_t layoutBindings;
    uint32_t dispatches;
    uint32_t groupsX, groupsY, groupsZ;
    uint32_t submits;
    uint32_t instancesCreated;
    uint32_t devicesCreated;
    uint32_t shaderModulesCreated;
    uint32_t shaderModulesDestroyed;
} QlmrFakeLog;

typedef QlmrFakeConfig* (*QlmrFakeConfigFn)(void);
typedef const QlmrFakeLog* (*QlmrFakeLogFn)(void);
typedef void (*QlmrFakeResetFn)(void);

/* The configuration the next calls read; change it between calls. */
QlmrFakeConfig* qlmrFakeConfig(void);
/* What the engine asked for since the last reset. */
const QlmrFakeLog* qlmrFakeLog(void);
/* Restores the defaults (one discrete device with one compute family,
 * coherent memory, Vulkan 1.3) and the environment overrides, clears the log.
 * Environment (read by programs that load the fake as libvulkan.so.1):
 * QLMR_FAKE_DEVICES, QLMR_FAKE_DEVICE_NAME (device 0), QLMR_FAKE_TIMESTAMP_BITS,
 * QLMR_FAKE_QUERY_RESULT, QLMR_FAKE_INSTANCE_VERSION, QLMR_FAKE_FAIL_CALL (fails
 * with VK_ERROR_OUT_OF_DEVICE_MEMORY on its first call). */
void qlmrFakeReset(void);

#ifdef __cplusplus
}
#endif

#endif
