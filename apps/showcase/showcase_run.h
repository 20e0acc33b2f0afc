#pragma once

namespace qlmr {

// The whole launcher run: options, machine description, the four chapters
// and the report. Returns the exit code: 0 after the usage line, else 1
// when any chapter was skipped, 0 when all ran.
int runShowcase(int argc, char** argv);

} // namespace qlmr
