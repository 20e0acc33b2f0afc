#include "vulkan_test_support.h"

#include "support/test_support.h"

#include <dlfcn.h>

#ifndef QLMR_FAKE_VULKAN_PATH
#error "QLMR_FAKE_VULKAN_PATH must name the fake loader module"
#endif

namespace qlmr::test {

void OnDeviceTest::SetUp()
{
    std::string error;
    if (context.createInstance(&error) && context.createDevice(0, &error))
        return;
    if (runningInCi())
        FAIL() << "no Vulkan device in CI: " << error;
    GTEST_SKIP() << "no Vulkan device: " << error;
}

void FakeVulkanTest::SetUp()
{
    module = dlopen(QLMR_FAKE_VULKAN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module, nullptr) << dlerror();
    configFn = reinterpret_cast<QlmrFakeConfigFn>(dlsym(module, "qlmrFakeConfig"));
    logFn = reinterpret_cast<QlmrFakeLogFn>(dlsym(module, "qlmrFakeLog"));
    auto reset = reinterpret_cast<QlmrFakeResetFn>(dlsym(module, "qlmrFakeReset"));
    ASSERT_TRUE(configFn && logFn && reset);
    reset();
    context.loaderNames = {QLMR_FAKE_VULKAN_PATH};
}

void FakeVulkanTest::TearDown()
{
    context.destroy();
    if (module)
        dlclose(module);
}

void FakeVulkanTest::openDevice()
{
    std::string error;
    ASSERT_TRUE(context.createInstance(&error)) << error;
    ASSERT_TRUE(context.createDevice(0, &error)) << error;
}

} // namespace qlmr::test
