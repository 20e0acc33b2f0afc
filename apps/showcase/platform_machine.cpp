#include "platform_machine.h"

#include <cpuid.h>
#include <fstream>
#include <sstream>
#include <sys/utsname.h>
#include <thread>

namespace qlmr {

CpuidRegisters readCpuid(std::uint32_t leaf, std::uint32_t subleaf) {
    CpuidRegisters r;
    __cpuid_count(leaf, subleaf, r.eax, r.ebx, r.ecx, r.edx);
    return r;
}

std::uint64_t readExtendedControlRegister0() {
    std::uint32_t low = 0, high = 0;
    // Spelled as an instruction so the file needs no -mxsave.
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

std::string cpuBrand() { return cpuBrandFrom(readCpuid); }

bool hasAvx2() { return avx2UsableFrom(readCpuid, readExtendedControlRegister0); }

std::string osVersion() {
    std::ifstream file("/etc/os-release", std::ios::binary);
    std::ostringstream text;
    if (file)
        text << file.rdbuf();
    utsname names{};
    const std::string release = uname(&names) == 0 ? names.release : "";
    return osDescription(prettyNameFromOsRelease(text.str()), release);
}

unsigned hardwareThreadCount() {
    const unsigned count = std::thread::hardware_concurrency();
    return count < 1 ? 1 : count;
}

std::filesystem::path executableDirectory() {
    std::error_code error;
    const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::filesystem::current_path(error);
    return self.parent_path();
}

} // namespace qlmr
