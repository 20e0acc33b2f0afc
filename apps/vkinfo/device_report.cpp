#include "device_report.h"

#include "gpu/embedded_shaders.h"
#include "gpu/one_shot_compute.h"

#include <cstdio>

namespace qlmr {

namespace {

constexpr std::uint32_t kSmokeWords = 1048576;    // 4 MiB of u32
constexpr std::uint32_t kSmokeSalt = 7;
constexpr std::uint32_t kSmokeCheckStride = 997;  // words checked on the host
constexpr std::uint32_t kSmokeRounds[] = {0, 256};

struct SmokePush {
    std::uint32_t count = kSmokeWords;
    std::uint32_t salt = kSmokeSalt;
    std::uint32_t rounds = 0;
};
static_assert(sizeof(SmokePush) == 12, "the kernel's push block is 12 bytes");

void printVersion(std::uint32_t v)
{
    std::printf("%u.%u.%u", (v >> 22) & 0x7Fu, (v >> 12) & 0x3FFu, v & 0xFFFu);
}

// Runs both smoke passes on an opened device; returns the failures counted.
// A failed run ends the device's passes; a mismatch is counted and the next
// pass still runs.
int runSmokeTests(VulkanContext& context)
{
    const SpirvCode shader = deviceSmokeShader();
    int failures = 0;
    for (std::uint32_t rounds : kSmokeRounds) {
        std::vector<std::uint32_t> words(kSmokeWords, 0u);
        SmokePush push;
        push.rounds = rounds;
        const ComputeResult result =
            runComputeOnBuffer(context, shader, words.data(), words.size() * sizeof(std::uint32_t),
                               linearDispatch(context, kSmokeWords), PushConstants{&push, sizeof push});
        if (!result.ok) {
            std::printf("  compute: %s\n", result.error.c_str());
            return failures + 1;
        }
        std::uint32_t mismatches = 0;
        for (std::uint32_t k = 0; k < kSmokeWords; k += kSmokeCheckStride)
            mismatches += words[k] != smokeWord(k, kSmokeSalt, rounds) ? 1u : 0u;
        std::printf("  smoke rounds=%-3u: %s, %.3f ms GPU%s", rounds, mismatches ? "MISMATCH" : "ok", result.gpuMs,
                    rounds == 0 ? "\n" : "");
        if (rounds != 0)
            std::printf(", ~%.0f G int-ops/s\n",
                        static_cast<double>(rounds) * kSmokeWords * 4.0 / (result.gpuMs * 1e6));
        if (mismatches)
            ++failures;
    }
    return failures;
}

} // namespace

const char* deviceClassWord(std::uint32_t deviceType)
{
    switch (deviceType) {
    case 1: return "integrated";
    case 2: return "discrete";
    case 3: return "virtual";
    case 4: return "cpu";
    default: return "other";
    }
}

std::string jsonStringLiteral(const std::string& text)
{
    static const char hex[] = "0123456789abcdef";
    std::string out = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += hex[byte >> 4];
            out += hex[byte & 0xF];
        } else {
            out += c;
        }
    }
    out += '"';
    return out;
}

std::uint32_t smokeWord(std::uint32_t i, std::uint32_t salt, std::uint32_t rounds)
{
    if (rounds == 0)
        return i * i + salt;
    std::uint32_t h = i;
    for (std::uint32_t l = 0; l < rounds; ++l)
        h = (h ^ (h >> 15)) * 739982445u + l;
    return h;
}

int printJsonReport(const std::vector<VulkanDeviceInfo>& devices)
{
    std::printf("{\"api\":\"Vulkan\",\"devices\":[");
    for (std::size_t i = 0; i < devices.size(); ++i) {
        const VulkanDeviceInfo& d = devices[i];
        std::printf("%s{\"index\":%u,\"name\":%s,\"class\":\"%s\",\"api_version\":%u,\"driver_version_raw\":%u,"
                    "\"vendor_id\":%u,\"device_id\":%u}",
                    i == 0 ? "" : ",", d.index, jsonStringLiteral(d.name).c_str(), deviceClassWord(d.deviceType),
                    d.apiVersion, d.driverVersion, d.vendorID, d.deviceID);
    }
    std::printf("]}\n");
    return devices.empty() ? 1 : 0;
}

int runTextReport(const std::vector<VulkanDeviceInfo>& devices)
{
    int failures = 0;
    for (const VulkanDeviceInfo& d : devices) {
        std::printf("GPU %u: %s (%s), Vulkan ", d.index, d.name.c_str(), deviceClassWord(d.deviceType));
        printVersion(d.apiVersion);
        std::printf(", subgroup %u, max workgroup %u, compute %s\n", d.subgroupSize,
                    d.maxComputeWorkGroupInvocations, d.hasCompute ? "yes" : "no");

        VulkanContext context;
        std::string error;
        if (!context.createInstance(&error) || !context.createDevice(d.index, &error)) {
            std::printf("  device: %s\n", error.c_str());
            ++failures;
            continue;
        }
        failures += runSmokeTests(context);
        context.destroy();
    }
    return failures ? 1 : 0;
}

} // namespace qlmr
