// The processor render of a shape program on threads of its own.
#include "sdna_cpu_render.h"

#include "sdna/critter.h"
#include "support/limited_run.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <span>
#include <vector>

namespace qlmr {
namespace {

void renderCritter(SdnaCpuResult& result, const SdnaProgram& program)
{
    renderSdnaCpu(result, program, {2.6f, 1.5f, 2.4f}, {0.0f, 0.5f, 0.0f}, 24, 16, {}, nullptr, 0);
}

// Renders the critter with the address space limited to what the process
// holds plus a little: room for the image but not for another thread's
// stack. 0 when the image equals `expected`, 1 when it differs.
int renderInTightAddressSpace(const SdnaProgram& program, const SdnaCpuResult& expected)
{
    SdnaCpuResult result;
    std::ifstream statm("/proc/self/statm");
    unsigned long long pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<rlim_t>(sysconf(_SC_PAGESIZE)) + (4u << 20);
    const rlimit addressSpace{limit, limit};
    if (setrlimit(RLIMIT_AS, &addressSpace) != 0)
        return 2;
    renderCritter(result, program);
    const bool same = result.colour == expected.colour && result.depth == expected.depth &&
                      result.normal == expected.normal && result.totalSteps == expected.totalSteps;
    return same ? 0 : 1;
}

// A machine without the memory for another thread's stack: the rows go to
// the threads that did start (the caller's at least) and the image is the
// same, instead of the process ending with running threads left behind.
// The pose handed as a pointer and a count is the pose the render uses;
// a null pointer with no count renders unposed.
TEST(SdnaCpuRender, PoseAsPointerAndCountIsThePoseRendered)
{
    const SdnaProgram program = buildCritter(false);
    const std::vector<BonePose> pose = critterPose(program.boneCount, 0.45f);
    const Vec3 eye{2.6f, 1.5f, 2.4f};
    const Vec3 target{0.0f, 0.5f, 0.0f};
    SdnaCpuResult posed, posedFromPointer, rest, restFromNull;
    renderSdnaCpu(posed, program, eye, target, 24, 16, std::span<const BonePose>(pose), nullptr, 0);
    renderSdnaCpu(posedFromPointer, program, eye, target, 24, 16, pose.data(), pose.size(), nullptr, false);
    renderSdnaCpu(rest, program, eye, target, 24, 16, {}, nullptr, 0);
    renderSdnaCpu(restFromNull, program, eye, target, 24, 16, nullptr, 0, nullptr, false);
    ASSERT_NE(posed.depth, rest.depth) << "the pose moves no pixel of this view";
    EXPECT_EQ(posedFromPointer.depth, posed.depth);
    EXPECT_EQ(posedFromPointer.colour, posed.colour);
    EXPECT_EQ(restFromNull.depth, rest.depth);
    EXPECT_EQ(restFromNull.colour, rest.colour);
}

TEST(SdnaCpuRender, ThreadsThatCannotStartLeaveTheRowsToTheOthers)
{
    if (!test::addressSpaceLimitsWork())
        GTEST_SKIP() << "no address-space limit in this build";
    const SdnaProgram program = buildCritter(false);
    SdnaCpuResult expected;
    renderCritter(expected, program);
    EXPECT_EXIT(std::_Exit(renderInTightAddressSpace(program, expected)), ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace qlmr
