#pragma once

#include "gpu/fake_loader/fake_vulkan.h"
#include "gpu/vulkan_context.h"

#include <gtest/gtest.h>

#include <string>

namespace qlmr::test {

// A context with device 0 of the machine opened. Without a device the test
// is skipped, or fails in CI, where lavapipe must be there.
class OnDeviceTest : public ::testing::Test {
protected:
    void SetUp() override;
    VulkanContext context;
};

// The fake loader, loaded by path and reset before every test. `context`
// loads the same module, so the test sees what the engine asked of it.
class FakeVulkanTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    QlmrFakeConfig& config() { return *configFn(); }
    const QlmrFakeLog& log() { return *logFn(); }
    // createInstance and createDevice(0), asserting both succeed.
    void openDevice();

    VulkanContext context;

private:
    void* module = nullptr;
    QlmrFakeConfigFn configFn = nullptr;
    QlmrFakeLogFn logFn = nullptr;
};

} // namespace qlmr::test
