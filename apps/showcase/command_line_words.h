#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qlmr {

// The words of an argument text, split the way a child's runtime splits the
// command line it was started with: blanks and tabs separate words; a double
// quote starts or ends a quoted stretch, in which blanks belong to the word
// (so "" is an empty word, and "" inside a quoted stretch is one literal
// quote); 2n backslashes before a double quote stand for n backslashes and
// the quote keeps its meaning, 2n + 1 for n backslashes and a literal quote;
// backslashes before anything else are plain characters.
std::vector<std::string> splitCommandLine(std::string_view text);

} // namespace qlmr
