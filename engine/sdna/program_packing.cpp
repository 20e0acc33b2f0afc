#include "sdna/program_packing.h"

#include <bit>
#include <cstring>

namespace qlmr {

// The stream is uploaded as it lies in memory and read as little-endian words.
static_assert(std::endian::native == std::endian::little);

std::vector<SdnaPackedEntry> packProgramWithBounds(const SdnaProgram& program,
                                                   const ProgramBounds& bounds) {
    const std::size_t n = program.instructions.size();
    std::vector<SdnaPackedEntry> stream(n + bounds.records.size());

    for (std::size_t i = 0; i < n; ++i) {
        std::memcpy(stream[i].words.data(), &program.instructions[i], sizeof(SdnaInstruction));
        // As in the processor evaluators, an entry naming no held record, or
        // a record that would jump back, is no record: the kernel must never
        // read past the stream or start over for ever.
        if (i < bounds.recordOf.size() && bounds.recordOf[i] >= 0 &&
            static_cast<std::size_t>(bounds.recordOf[i]) < bounds.records.size() &&
            bounds.records[static_cast<std::size_t>(bounds.recordOf[i])].end > i) {
            stream[i].words[kPackedInstructionRecord] =
                static_cast<std::uint32_t>(n + static_cast<std::size_t>(bounds.recordOf[i]));
        }
    }

    for (std::size_t r = 0; r < bounds.records.size(); ++r) {
        const BoundRecord& record = bounds.records[r];
        std::array<std::uint32_t, 12>& w = stream[n + r].words;
        w[kPackedRecordEnd] = record.end;
        w[kPackedRecordBone] = record.bone;
        w[kPackedRecordSubtract] = record.subtract ? 1u : 0u;
        for (std::size_t axis = 0; axis < 3; ++axis) {
            w[kPackedRecordCentre + axis] = std::bit_cast<std::uint32_t>(record.centre[axis]);
        }
        w[kPackedRecordRadius] = std::bit_cast<std::uint32_t>(record.radius);
        w[kPackedRecordScale] = std::bit_cast<std::uint32_t>(record.scale);
        w[kPackedRecordSlack] = std::bit_cast<std::uint32_t>(record.slack);
    }
    return stream;
}

}  // namespace qlmr
