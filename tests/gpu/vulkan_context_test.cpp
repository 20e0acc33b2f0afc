#include "vulkan_test_support.h"

#include "gpu/dynamic_library.h"
#include "gpu/vulkan_context.h"
#include "gpu/vulkan_functions.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace qlmr {
namespace {

using test::FakeVulkanTest;
using test::OnDeviceTest;

std::vector<std::string> names(const char (*list)[VK_MAX_EXTENSION_NAME_SIZE], std::uint32_t count)
{
    std::vector<std::string> out;
    for (std::uint32_t i = 0; i < count; ++i)
        out.emplace_back(list[i]);
    return out;
}

bool tableIsEmpty(const VulkanFunctions& table)
{
    bool empty = true;
    forEachVulkanFunction(table, [&](const char*, VulkanFunctionGroup, const void* f) { empty = empty && !f; });
    return empty;
}

// ---- helpers without a driver ---------------------------------------------

TEST(VkResultText, NamesTheCallAndTheSignedResult)
{
    EXPECT_EQ(vkResultText("vkCreateDevice", VK_ERROR_INITIALIZATION_FAILED), "vkCreateDevice failed (VkResult -3)");
    EXPECT_EQ(vkResultText("vkQueueSubmit", VK_ERROR_DEVICE_LOST), "vkQueueSubmit failed (VkResult -4)");
    EXPECT_EQ(vkResultText("vkWaitForFences", VK_TIMEOUT), "vkWaitForFences failed (VkResult 2)");
}

TEST(VulkanFunctions, TableListsEveryEntryOnceInGroups)
{
    std::vector<std::string> seen;
    int groups[3] = {0, 0, 0};
    VulkanFunctions table{};
    forEachVulkanFunction(table, [&](const char* name, VulkanFunctionGroup group, const void*) {
        seen.emplace_back(name);
        ++groups[static_cast<int>(group)];
    });
    ASSERT_EQ(seen.size(), 98u);
    EXPECT_EQ(groups[0] + groups[1], 18);
    EXPECT_EQ(groups[2], 80);
    EXPECT_EQ(seen.front(), "vkCreateInstance");
    EXPECT_EQ(seen[17], "vkGetPhysicalDeviceSurfacePresentModesKHR");
    EXPECT_EQ(seen[18], "vkDestroyDevice");
    EXPECT_EQ(seen.back(), "vkQueueWaitIdle");
    for (std::size_t i = 0; i < seen.size(); ++i)
        for (std::size_t j = i + 1; j < seen.size(); ++j)
            EXPECT_NE(seen[i], seen[j]);
}

TEST(VulkanFunctions, LoaderFillsEachGroupFromTheResolver)
{
    VulkanFunctions table{};
    std::vector<std::string> asked;
    loadVulkanFunctions(table, VulkanFunctionGroup::Instance, [&](const char* name) {
        asked.emplace_back(name);
        return reinterpret_cast<PFN_vkVoidFunction>(&tableIsEmpty);
    });
    ASSERT_EQ(asked.size(), 15u);
    EXPECT_EQ(asked.front(), "vkDestroyInstance");
    EXPECT_EQ(table.vkCreateInstance, nullptr);
    EXPECT_NE(table.vkDestroyInstance, nullptr);
    EXPECT_EQ(table.vkDestroyDevice, nullptr);
}

// Reference: the lowest index whose bit is set and whose flags hold every wanted bit.
std::int32_t slowFindMemoryType(const VkPhysicalDeviceMemoryProperties& p, std::uint32_t bits, std::uint32_t wanted)
{
    for (std::uint32_t i = 0; i < p.memoryTypeCount; ++i) {
        bool allowed = ((bits >> i) & 1u) == 1u;
        bool hasAll = true;
        for (std::uint32_t b = 0; b < 32; ++b)
            if (((wanted >> b) & 1u) && !((p.memoryTypes[i].propertyFlags >> b) & 1u))
                hasAll = false;
        if (allowed && hasAll)
            return static_cast<std::int32_t>(i);
    }
    return -1;
}

TEST(VulkanContextMemory, FindMemoryTypeMatchesReference)
{
    std::mt19937 random(1234);
    for (int trial = 0; trial < 200; ++trial) {
        VulkanContext context;
        context.memoryProperties.memoryTypeCount = 1 + random() % VK_MAX_MEMORY_TYPES;
        for (std::uint32_t i = 0; i < context.memoryProperties.memoryTypeCount; ++i)
            context.memoryProperties.memoryTypes[i].propertyFlags = random() & 0x1Fu;
        const std::uint32_t bits = static_cast<std::uint32_t>(random());
        const std::uint32_t wanted = random() & 0x1Fu & static_cast<std::uint32_t>(random());
        EXPECT_EQ(context.findMemoryType(bits, wanted), slowFindMemoryType(context.memoryProperties, bits, wanted));
        EXPECT_EQ(context.findMemoryType(0, wanted), -1);
    }
}

TEST(VulkanContextLoader, MissingLoaderTouchesNothing)
{
    VulkanContext context;
    context.loaderNames = {"/nonexistent/libvulkan.so.1", "libqlmr-no-such-loader.so"};
    std::string error = "previous text";
    EXPECT_FALSE(context.createInstance(&error));
    EXPECT_EQ(error, "Vulkan loader not found");
    EXPECT_EQ(context.loader, nullptr);
    EXPECT_EQ(context.instance, VK_NULL_HANDLE);
    EXPECT_TRUE(tableIsEmpty(context.vk));
}

TEST(VulkanContextLoader, FirstLibraryOfAListOfNamesLoads)
{
    EXPECT_EQ(loadFirstLibrary({}), nullptr);
    EXPECT_EQ(loadFirstLibrary({"/nonexistent/libvulkan.so.1", "libqlmr-no-such-loader.so"}), nullptr);
    // A name that does not load is passed over for the next one.
    const LibraryHandle library = loadFirstLibrary({"libqlmr-no-such-loader.so", "libm.so.6"});
    ASSERT_NE(library, nullptr);
    EXPECT_NE(getProc(library, "cos"), nullptr);
    EXPECT_EQ(getProc(library, "vkGetInstanceProcAddr"), nullptr);
    freeLibrary(library);
    EXPECT_EQ(getProc(nullptr, "cos"), nullptr);
    freeLibrary(nullptr);
}

TEST(VulkanContextLoader, LibraryWithoutEntryPoint)
{
    VulkanContext context;
    context.loaderNames = {"libm.so.6"};
    std::string error;
    EXPECT_FALSE(context.createInstance(&error));
    EXPECT_EQ(error, "vkGetInstanceProcAddr missing");
    context.destroy();
    EXPECT_EQ(context.loader, nullptr);
}

// ---- the machine's device --------------------------------------------------

TEST_F(OnDeviceTest, ListsDevicesInDriverOrder)
{
    const std::vector<VulkanDeviceInfo> devices = context.listDevices();
    ASSERT_EQ(devices.size(), context.physicalDevices.size());
    ASSERT_FALSE(devices.empty());
    bool anyCompute = false;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        EXPECT_EQ(devices[i].index, i);
        EXPECT_FALSE(devices[i].name.empty());
        EXPECT_GE(devices[i].apiVersion, static_cast<std::uint32_t>(VK_API_VERSION_1_1));
        EXPECT_GT(devices[i].subgroupSize, 0u);
        EXPECT_GE(devices[i].maxComputeWorkGroupInvocations, 128u);
        anyCompute = anyCompute || devices[i].hasCompute;
    }
    EXPECT_TRUE(anyCompute);
}

TEST_F(OnDeviceTest, OpensDeviceZeroWithEveryCoreEntry)
{
    EXPECT_NE(context.device, VK_NULL_HANDLE);
    EXPECT_NE(context.computeQueue, VK_NULL_HANDLE);
    EXPECT_EQ(context.presentQueue, VK_NULL_HANDLE);
    EXPECT_EQ(context.presentQueueFamily, -1);
    EXPECT_FALSE(context.swapchain);
    EXPECT_GT(context.timestampPeriod, 0.0f);
    EXPECT_GE(context.maxImageArrayLayers, 256u);
    EXPECT_GT(context.memoryProperties.memoryTypeCount, 0u);
    EXPECT_GE(context.findMemoryType(~0u, VK_MEMORY_PROPERTY_HOST_VISIBLE_BIT | VK_MEMORY_PROPERTY_HOST_COHERENT_BIT),
              0);
    EXPECT_EQ(context.findMemoryType(0, 0), -1);
    // A misspelt name in the list would stay null on every driver. The
    // window-system entries need extensions this context did not enable.
    forEachVulkanFunction(context.vk, [&](const char* name, VulkanFunctionGroup, const void* f) {
        const bool windowSystem = std::strstr(name, "KHR") != nullptr;
        if (!windowSystem) {
            EXPECT_NE(f, nullptr) << name;
        }
    });
}

// The queue takes raster work whenever some family offers graphics with
// compute and timestamps, and double precision is on whenever offered.
TEST_F(OnDeviceTest, TakesRasterWorkAndDoublesWhereTheDeviceOffersThem)
{
    std::uint32_t count = 0;
    context.vk.vkGetPhysicalDeviceQueueFamilyProperties(context.physicalDevice, &count, nullptr);
    std::vector<VkQueueFamilyProperties> families(count);
    context.vk.vkGetPhysicalDeviceQueueFamilyProperties(context.physicalDevice, &count, families.data());
    bool offered = false;
    for (const VkQueueFamilyProperties& family : families)
        offered = offered || ((family.queueFlags & VK_QUEUE_GRAPHICS_BIT) && (family.queueFlags & VK_QUEUE_COMPUTE_BIT) &&
                              family.timestampValidBits != 0);
    ASSERT_LT(context.computeQueueFamily, count);
    EXPECT_EQ(context.graphicsQueue, offered);
    EXPECT_EQ(context.graphicsQueue, (families[context.computeQueueFamily].queueFlags & VK_QUEUE_GRAPHICS_BIT) != 0);
    VkPhysicalDeviceFeatures features{};
    context.vk.vkGetPhysicalDeviceFeatures(context.physicalDevice, &features);
    EXPECT_EQ(context.shaderFloat64, features.shaderFloat64 == VK_TRUE);
}

TEST_F(OnDeviceTest, IndexEqualToCountIsBad)
{
    VulkanContext second;
    std::string error;
    ASSERT_TRUE(second.createInstance(&error)) << error;
    EXPECT_FALSE(second.createDevice(static_cast<std::uint32_t>(second.physicalDevices.size()), &error));
    EXPECT_EQ(error, "bad GPU index");
    EXPECT_EQ(second.device, VK_NULL_HANDLE);
}

TEST_F(OnDeviceTest, DestroyClearsEverythingAndCanRunAgain)
{
    context.destroy();
    EXPECT_EQ(context.device, VK_NULL_HANDLE);
    EXPECT_EQ(context.instance, VK_NULL_HANDLE);
    EXPECT_EQ(context.loader, nullptr);
    EXPECT_TRUE(context.physicalDevices.empty());
    EXPECT_TRUE(tableIsEmpty(context.vk));
    context.destroy();
    std::string error;
    EXPECT_TRUE(context.createInstance(&error)) << error;
}

// ---- the fake loader ---------------------------------------------------------

TEST_F(FakeVulkanTest, FallsBackToTheNextLoaderName)
{
    context.loaderNames = {"/nonexistent/libvulkan.so.1", QLMR_FAKE_VULKAN_PATH};
    std::string error;
    EXPECT_TRUE(context.createInstance(&error)) << error;
    EXPECT_EQ(log().instancesCreated, 1u);
}

TEST_F(FakeVulkanTest, CreatesAVulkan11InstanceWithoutLayers)
{
    std::string error;
    ASSERT_TRUE(context.createInstance(&error)) << error;
    EXPECT_EQ(log().requestedApiVersion, static_cast<std::uint32_t>(VK_API_VERSION_1_1));
    EXPECT_STREQ(log().applicationName, "Quillmere");
    EXPECT_EQ(log().instanceLayerCount, 0u);
    EXPECT_EQ(log().instanceFlags, 0u);
    EXPECT_EQ(log().instanceExtensionCount, 0u);
    EXPECT_TRUE(context.enabledInstanceExtensions.empty());
}

struct InstanceVersionCase {
    std::uint32_t version;  // 0: the entry is not offered
    bool accepted;
};

class FakeInstanceVersion : public FakeVulkanTest, public ::testing::WithParamInterface<InstanceVersionCase> {};

TEST_P(FakeInstanceVersion, Requires11)
{
    config().instanceVersion = GetParam().version;
    std::string error;
    const bool created = context.createInstance(&error);
    EXPECT_EQ(created, GetParam().accepted) << error;
    if (!GetParam().accepted) {
        EXPECT_EQ(error, "Vulkan 1.1 instance required");
        EXPECT_EQ(log().instancesCreated, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, FakeInstanceVersion,
                         ::testing::Values(InstanceVersionCase{0, false},
                                           InstanceVersionCase{VK_API_VERSION_1_0, false},
                                           InstanceVersionCase{VK_MAKE_API_VERSION(0, 1, 0, 4095), false},
                                           InstanceVersionCase{VK_API_VERSION_1_1, true},
                                           InstanceVersionCase{VK_API_VERSION_1_3, true}));

TEST_F(FakeVulkanTest, PortabilityEnumerationSetsTheCreateFlag)
{
    config().offerPortabilityEnumeration = 1;
    // Requested twice and offered: enabled once. Requested and not offered: skipped.
    context.requestedInstanceExtensions = {"VK_KHR_get_physical_device_properties2",
                                           "VK_KHR_get_physical_device_properties2", "VK_EXT_debug_utils"};
    std::string error;
    ASSERT_TRUE(context.createInstance(&error)) << error;
    EXPECT_EQ(log().instanceFlags, static_cast<VkInstanceCreateFlags>(VK_INSTANCE_CREATE_ENUMERATE_PORTABILITY_BIT_KHR));
    EXPECT_EQ(log().instanceFlags, 1u);
    const std::vector<std::string> expected = {"VK_KHR_get_physical_device_properties2",
                                               "VK_KHR_portability_enumeration"};
    EXPECT_EQ(names(log().instanceExtensions, log().instanceExtensionCount), expected);
    EXPECT_EQ(context.enabledInstanceExtensions, expected);
}

TEST_F(FakeVulkanTest, FailedInstanceCreationReportsTheResult)
{
    config().createInstanceResult = VK_ERROR_INCOMPATIBLE_DRIVER;
    std::string error;
    EXPECT_FALSE(context.createInstance(&error));
    EXPECT_EQ(error, "vkCreateInstance failed (VkResult -9)");
    EXPECT_EQ(context.instance, VK_NULL_HANDLE);
    context.destroy();
    EXPECT_EQ(log().liveObjects, 0);
}

TEST_F(FakeVulkanTest, NoDevicesKeepsTheInstanceUntilDestroy)
{
    config().deviceCount = 0;
    std::string error;
    EXPECT_FALSE(context.createInstance(&error));
    EXPECT_EQ(error, "no Vulkan devices");
    EXPECT_NE(context.instance, VK_NULL_HANDLE);
    EXPECT_EQ(log().liveObjects, 1);
    context.destroy();
    EXPECT_EQ(log().liveObjects, 0);
}

// A context holds one instance: a second createInstance, with or without a
// device open, is refused and creates nothing; after destroy it runs again.
// A retry after a failure that left no instance loads the loader afresh.
TEST_F(FakeVulkanTest, OneInstancePerContext)
{
    std::string error;
    ASSERT_TRUE(context.createInstance(&error)) << error;
    EXPECT_FALSE(context.createInstance(&error));
    EXPECT_EQ(error, "a Vulkan instance is already created on this context");
    ASSERT_TRUE(context.createDevice(0, &error)) << error;
    EXPECT_FALSE(context.createInstance(&error));
    EXPECT_EQ(log().instancesCreated, 1u);
    EXPECT_NE(context.device, VK_NULL_HANDLE);
    context.destroy();
    EXPECT_EQ(log().liveObjects, 0);

    config().deviceCount = 0;
    EXPECT_FALSE(context.createInstance(&error));
    EXPECT_EQ(error, "no Vulkan devices");
    EXPECT_FALSE(context.createInstance(&error));
    EXPECT_EQ(error, "a Vulkan instance is already created on this context");
    context.destroy();
    EXPECT_EQ(log().liveObjects, 0);

    config().deviceCount = 1;
    config().instanceVersion = VK_API_VERSION_1_0;
    EXPECT_FALSE(context.createInstance(&error));
    EXPECT_EQ(error, "Vulkan 1.1 instance required");
    config().instanceVersion = VK_API_VERSION_1_1;
    ASSERT_TRUE(context.createInstance(&error)) << error;
    EXPECT_EQ(log().instancesCreated, 3u);
}

TEST_F(FakeVulkanTest, DescribesEveryDevice)
{
    config().deviceCount = 3;
    config().deviceType = 9;  // unknown types are kept as they are
    std::strcpy(config().deviceNames[2], "Third \"one\"");
    std::string error;
    ASSERT_TRUE(context.createInstance(&error)) << error;
    const std::vector<VulkanDeviceInfo> devices = context.listDevices();
    ASSERT_EQ(devices.size(), 3u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(devices[i].index, i);
        EXPECT_EQ(devices[i].deviceType, 9u);
        EXPECT_EQ(devices[i].apiVersion, VK_MAKE_API_VERSION(0, 1, 2, 3 + i));
        EXPECT_EQ(devices[i].driverVersion, 0x1234u + i);
        EXPECT_EQ(devices[i].vendorID, 0x10deu);
        EXPECT_EQ(devices[i].deviceID, 0x100u + i);
        EXPECT_EQ(devices[i].subgroupSize, 32u);
        EXPECT_EQ(devices[i].maxComputeWorkGroupInvocations, 1024u);
        EXPECT_TRUE(devices[i].hasCompute);
    }
    EXPECT_EQ(devices[0].name, "Fake GPU 0");
    EXPECT_EQ(devices[2].name, "Third \"one\"");
}

TEST_F(FakeVulkanTest, ComputeWithoutTimestampsCannotBeOpened)
{
    config().families[0].timestampValidBits = 0;
    std::string error;
    ASSERT_TRUE(context.createInstance(&error)) << error;
    EXPECT_TRUE(context.listDevices().at(0).hasCompute);
    EXPECT_FALSE(context.createDevice(0, &error));
    EXPECT_EQ(error, "no compute queue with timestamps");
    EXPECT_EQ(log().devicesCreated, 0u);
}

// Without a surface: the first family with compute, timestamps and
// graphics, so the raster passes can share the queue; else the first one
// with compute and timestamps, and the context says it takes no raster work.
struct QueueChoiceCase {
    const char* name;
    std::uint32_t familyCount;
    QlmrFakeFamily families[QLMR_FAKE_MAX_FAMILIES];
    std::uint32_t family;
    bool graphics;
};

const QueueChoiceCase kQueueChoiceCases[] = {
    {"first compute family with timestamps", 3,
     {{VK_QUEUE_GRAPHICS_BIT, 64, 0}, {VK_QUEUE_COMPUTE_BIT, 0, 0}, {VK_QUEUE_COMPUTE_BIT | VK_QUEUE_TRANSFER_BIT, 36, 0}},
     2, false},
    {"a later family with graphics wins", 3,
     {{VK_QUEUE_COMPUTE_BIT, 64, 0}, {VK_QUEUE_GRAPHICS_BIT | VK_QUEUE_COMPUTE_BIT, 0, 0},
      {VK_QUEUE_GRAPHICS_BIT | VK_QUEUE_COMPUTE_BIT, 64, 0}},
     2, true},
    {"graphics without compute does not count", 2,
     {{VK_QUEUE_GRAPHICS_BIT, 64, 0}, {VK_QUEUE_COMPUTE_BIT, 64, 0}}, 1, false},
    {"one family does everything", 1, {{VK_QUEUE_GRAPHICS_BIT | VK_QUEUE_COMPUTE_BIT, 64, 0}}, 0, true},
};

class FakeQueueChoice : public FakeVulkanTest, public ::testing::WithParamInterface<QueueChoiceCase> {};

TEST_P(FakeQueueChoice, PrefersGraphicsWithCompute)
{
    const QueueChoiceCase& c = GetParam();
    config().familyCount = c.familyCount;
    for (std::uint32_t i = 0; i < c.familyCount; ++i)
        config().families[i] = c.families[i];
    openDevice();
    EXPECT_EQ(context.computeQueueFamily, c.family);
    ASSERT_EQ(log().queueCreateCount, 1u);
    EXPECT_EQ(log().queueFamilies[0], c.family);
    EXPECT_EQ(context.graphicsQueue, c.graphics);
    std::string error;
    EXPECT_EQ(context.requireGraphicsQueue(&error), c.graphics);
    EXPECT_EQ(error, c.graphics ? "" : "no queue family with graphics and compute");
}

INSTANTIATE_TEST_SUITE_P(Cases, FakeQueueChoice, ::testing::ValuesIn(kQueueChoiceCases),
                         [](const ::testing::TestParamInfo<QueueChoiceCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

// Texture compression and double precision are enabled when offered,
// every other feature stays off.
TEST_F(FakeVulkanTest, EnablesOnlyTheFeaturesInUseWhenSupported)
{
    for (int bc = 0; bc < 2; ++bc) {
        for (int float64 = 0; float64 < 2; ++float64) {
            SCOPED_TRACE(std::to_string(bc) + " " + std::to_string(float64));
            context.destroy();
            config().textureCompressionBC = bc;
            config().shaderFloat64 = float64;
            openDevice();
            ASSERT_TRUE(log().featuresGiven);
            VkPhysicalDeviceFeatures expected{};
            expected.textureCompressionBC = bc ? VK_TRUE : VK_FALSE;
            expected.shaderFloat64 = float64 ? VK_TRUE : VK_FALSE;
            EXPECT_EQ(std::memcmp(&log().enabledFeatures, &expected, sizeof expected), 0);
            EXPECT_EQ(context.textureCompressionBC, bc == 1);
            EXPECT_EQ(context.shaderFloat64, float64 == 1);
        }
    }
}

TEST_F(FakeVulkanTest, DeviceExtensionsWithoutASurface)
{
    config().offerPortabilitySubset = 1;
    config().offerSwapchain = 1;
    // Swapchain is only enabled with a surface, even when requested.
    context.requestedDeviceExtensions = {"VK_KHR_swapchain", "VK_KHR_maintenance1", "VK_EXT_not_offered"};
    openDevice();
    const std::vector<std::string> expected = {"VK_KHR_maintenance1", "VK_KHR_portability_subset"};
    EXPECT_EQ(names(log().deviceExtensions, log().deviceExtensionCount), expected);
    EXPECT_EQ(context.enabledDeviceExtensions, expected);
    EXPECT_FALSE(context.swapchain);
}

TEST_F(FakeVulkanTest, FailedDeviceCreationReportsTheResult)
{
    config().createDeviceResult = VK_ERROR_INITIALIZATION_FAILED;
    std::string error;
    ASSERT_TRUE(context.createInstance(&error)) << error;
    EXPECT_FALSE(context.createDevice(0, &error));
    EXPECT_EQ(error, "vkCreateDevice failed (VkResult -3)");
    EXPECT_EQ(context.device, VK_NULL_HANDLE);
    context.destroy();
    EXPECT_EQ(log().liveObjects, 0);
}

TEST_F(FakeVulkanTest, DestroyTwiceReleasesOnce)
{
    openDevice();
    EXPECT_EQ(log().liveObjects, 2);  // instance and device
    context.destroy();
    EXPECT_EQ(log().liveObjects, 0);
    EXPECT_TRUE(tableIsEmpty(context.vk));
    EXPECT_EQ(context.getInstanceProcAddr, nullptr);
    context.destroy();
    EXPECT_EQ(log().liveObjects, 0);
}

TEST_F(FakeVulkanTest, OneDevicePerContext)
{
    openDevice();
    std::string error;
    EXPECT_FALSE(context.createDevice(0, &error));
    EXPECT_EQ(log().devicesCreated, 1u);
}

// ---- presentation path -------------------------------------------------------

struct PresentCase {
    const char* name;
    std::uint32_t familyCount;
    QlmrFakeFamily families[QLMR_FAKE_MAX_FAMILIES];
    int offerSurface;
    int offerSwapchain;
    const char* error;                // null: the device opens
    std::uint32_t computeFamily;
    std::int32_t presentFamily;
    std::uint32_t queueCreateCount;
};

constexpr VkQueueFlags kCompute = VK_QUEUE_COMPUTE_BIT;
constexpr VkQueueFlags kGraphics = VK_QUEUE_GRAPHICS_BIT;

const PresentCase kPresentCases[] = {
    {"one family does everything", 1, {{kCompute | kGraphics, 64, 1}}, 1, 1, nullptr, 0, 0, 1},
    {"presenting compute family wins over graphics",
     2, {{kCompute | kGraphics, 64, 0}, {kCompute, 64, 1}}, 1, 1, nullptr, 1, 1, 1},
    {"graphics breaks the tie between presenting families",
     2, {{kCompute, 64, 1}, {kCompute | kGraphics, 64, 1}}, 1, 1, nullptr, 1, 1, 1},
    {"separate present family, a later graphics one replaces the first",
     4, {{kCompute, 64, 0}, {VK_QUEUE_TRANSFER_BIT, 0, 1}, {kGraphics, 64, 1}, {VK_QUEUE_TRANSFER_BIT, 0, 1}},
     1, 1, nullptr, 0, 2, 2},
    {"nobody presents", 1, {{kCompute | kGraphics, 64, 0}}, 1, 1, "no queue family can present to the surface", 0, -1,
     0},
    {"no swapchain", 1, {{kCompute | kGraphics, 64, 1}}, 1, 0, "VK_KHR_swapchain is not available", 0, 0, 0},
    {"no surface extension", 1, {{kCompute | kGraphics, 64, 1}}, 0, 1,
     "VK_KHR_surface is not enabled on the instance", 0, 0, 0},
};

class FakePresentation : public FakeVulkanTest, public ::testing::WithParamInterface<PresentCase> {};

TEST_P(FakePresentation, ChoosesQueueFamilies)
{
    const PresentCase& c = GetParam();
    config().familyCount = c.familyCount;
    for (std::uint32_t i = 0; i < c.familyCount; ++i)
        config().families[i] = c.families[i];
    config().offerSurface = c.offerSurface;
    config().offerSwapchain = c.offerSwapchain;
    std::string error;
    ASSERT_TRUE(context.createInstance(&error)) << error;
    context.surface = reinterpret_cast<VkSurfaceKHR>(std::uintptr_t{0xabc});
    const bool opened = context.createDevice(0, &error);
    if (c.error) {
        EXPECT_FALSE(opened);
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(log().devicesCreated, 0u);
        return;
    }
    ASSERT_TRUE(opened) << error;
    EXPECT_EQ(context.computeQueueFamily, c.computeFamily);
    EXPECT_EQ(context.presentQueueFamily, c.presentFamily);
    EXPECT_EQ(log().queueCreateCount, c.queueCreateCount);
    EXPECT_TRUE(context.swapchain);
    EXPECT_NE(context.presentQueue, VK_NULL_HANDLE);
    EXPECT_EQ(context.presentQueue == context.computeQueue, c.presentFamily == static_cast<std::int32_t>(c.computeFamily));
    EXPECT_EQ(context.enabledDeviceExtensions, std::vector<std::string>{"VK_KHR_swapchain"});
}

INSTANTIATE_TEST_SUITE_P(Cases, FakePresentation, ::testing::ValuesIn(kPresentCases),
                         [](const ::testing::TestParamInfo<PresentCase>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });

} // namespace
} // namespace qlmr
