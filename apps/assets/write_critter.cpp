// Build-time tool: writes the built-in critter as a shape-program file.
//   write_critter OUTPUT [--no-base]
// By default the critter stands on its ground slab.
#include "sdna/container_writer.h"
#include "sdna/critter.h"

#include <cstdio>
#include <cstring>
#include <string>

int main(int argc, char** argv)
{
    std::string output;
    bool base = true;
    bool usable = true;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--no-base") == 0)
            base = false;
        else if (output.empty())
            output = argv[i];
        else
            usable = false; // a second path
    }
    if (output.empty() || !usable) {
        std::fprintf(stderr, "usage: write_critter OUTPUT [--no-base]\n");
        return 1;
    }
    const qlmr::SdnaProgram critter = qlmr::buildCritter(base);
    std::string error;
    if (!qlmr::writeSdnaFile(output, critter, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }
    return 0;
}
