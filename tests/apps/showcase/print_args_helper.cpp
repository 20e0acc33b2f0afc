// Test helper: prints the working directory, then each argument in angle
// brackets on its own line, then exits with the code given by the
// environment variable QLMR_HELPER_EXIT (0 when unset).
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

int main(int argc, char** argv) {
    char directory[4096] = {};
    if (getcwd(directory, sizeof directory) == nullptr)
        directory[0] = '\0';
    std::printf("cwd %s\n", directory);
    for (int i = 0; i < argc; ++i)
        std::printf("<%s>\n", argv[i]);
    const char* code = std::getenv("QLMR_HELPER_EXIT");
    return code ? std::atoi(code) : 0;
}
