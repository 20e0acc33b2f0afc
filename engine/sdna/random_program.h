#pragma once
// Reproducible random shape programs: a 32-bit seed becomes a valid, bounded
// program and a matching pose list, the same on every machine, so that GPU
// and processor evaluators can be compared on many different programs. The
// grammar reaches every primitive, combinator, unary operator and both kinds
// of frame, with degenerate parameters and extreme scales.

#include <cstdint>
#include <random>
#include <vector>

#include "sdna/builder.h"
#include "sdna/program.h"

namespace qlmr {

struct RandomProgram {
    SdnaProgram program;
    std::vector<BonePose> pose;  // one per bone of the program
};

// A turn about y by an angle in [-3, 3) radians, a translation in
// [-0.25, 0.25) per axis, and a scale of 0.01 or 100 one time in twelve each,
// otherwise in [0.5, 1.5).
SdnaBuilder::Transform randomInstanceTransform(std::mt19937& generator);

// Finishes a generated program. A program that the builder or the validator
// rejects is a fault of its generator, not an input error: std::runtime_error
// carrying the builder's message is thrown.
SdnaProgram finishGeneratedProgram(SdnaBuilder& builder);

// The program and pose of one seed. Throws std::runtime_error with the
// builder's message if the generated program does not validate, which would
// be a fault of the generator.
RandomProgram randomProgram(std::uint32_t seed);

}  // namespace qlmr
