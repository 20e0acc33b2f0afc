// qlmr-vkinfo: lists the machine's Vulkan devices and checks that each one
// runs compute work. "--json" alone prints the list as one JSON object;
// anything else prints one line per device and runs the smoke test.
#include "device_report.h"

#include "common/file_size_limit.h"
#include "common/report_output.h"

#include "gpu/vulkan_context.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    qlmr::failWritesPastFileSizeLimit();
    const bool json = argc == 2 && std::strcmp(argv[1], "--json") == 0;

    qlmr::VulkanContext context;
    std::string error;
    if (!context.createInstance(&error)) {
        std::printf("Vulkan unavailable: %s\n", error.c_str());
        return 1;
    }
    const std::vector<qlmr::VulkanDeviceInfo> devices = context.listDevices();
    const int exitCode = json ? qlmr::printJsonReport(devices) : qlmr::runTextReport(devices);
    context.destroy();
    return qlmr::exitCodeWithReport(stdout, stderr, exitCode);
}
