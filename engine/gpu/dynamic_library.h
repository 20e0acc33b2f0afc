#pragma once

#include <string>
#include <vector>

namespace qlmr {

// A shared library opened at run time; null when nothing is loaded.
using LibraryHandle = void*;

// Opens the names in order and returns the first library that loads, else
// null. A name with a slash is a path; a bare name goes through the normal
// library search (LD_LIBRARY_PATH, the cache, the system directories).
LibraryHandle loadFirstLibrary(const std::vector<std::string>& names);

// The address of an exported symbol, or null.
void* getProc(LibraryHandle library, const char* name);

// Closes a library; does nothing for null.
void freeLibrary(LibraryHandle library);

} // namespace qlmr
