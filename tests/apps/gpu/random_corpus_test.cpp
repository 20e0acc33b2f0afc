// The random corpus's pass rule and its device record.
#include "random_corpus.h"

#include <gtest/gtest.h>

namespace qlmr {
namespace {

TEST(RandomCorpus, DevicePassesOnlyWithAllRendersSomeHitsAndNoMismatch)
{
    RandomDeviceTally t;
    t.renders = 4;
    t.hits = 10;
    t.uncertainCpu = 3;  // uncertain reference pixels alone do not fail
    EXPECT_TRUE(randomDevicePassed(t, 4));
    EXPECT_FALSE(randomDevicePassed(t, 5));
    std::uint64_t RandomDeviceTally::*counters[] = {&RandomDeviceTally::visibility, &RandomDeviceTally::depth,
                                                    &RandomDeviceTally::material, &RandomDeviceTally::normal,
                                                    &RandomDeviceTally::status};
    for (auto counter : counters) {
        RandomDeviceTally bad = t;
        bad.*counter = 1;
        EXPECT_FALSE(randomDevicePassed(bad, 4));
    }
    RandomDeviceTally noHits = t;
    noHits.hits = 0;
    EXPECT_FALSE(randomDevicePassed(noHits, 4));
}

TEST(RandomCorpus, DeviceObjectHasTheKeysInOrderWithoutSpaces)
{
    RandomDeviceTally t;
    t.renders = 2;
    t.hits = 310;
    t.maxDepthError = 1.2e-05;
    t.maxNormalError = 0.0003;
    t.gpuMs = 1.5;
    EXPECT_EQ(randomDeviceJson(0, t, true),
              "{\"index\":0,\"renders\":2,\"hits\":310,\"uncertain_cpu\":0,\"visibility\":0,\"depth\":0,"
              "\"material\":0,\"normal\":0,\"status_mismatch\":0,\"max_depth_error\":1.2e-05,"
              "\"max_normal_error\":0.0003,\"gpu_ms\":1.5,\"passed\":true}");
}

} // namespace
} // namespace qlmr
