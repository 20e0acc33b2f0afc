// QLMR Showcase: runs the engine programs one after the other and turns what
// they print and draw into a small web report.
#include "showcase_run.h"

int main(int argc, char** argv) { return qlmr::runShowcase(argc, argv); }
