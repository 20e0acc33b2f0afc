#pragma once

namespace qlmr {

// Gives each closed standard stream (input, output, error) /dev/null,
// opened for reading only. Started with one of them closed (">&-"), the
// launcher would otherwise hand that number to the next file it opens,
// log.txt for instance, and its console lines would land in that file.
// Opened read-only, the stream still refuses every write, as the closed one
// did, so nothing pretends to reach a console that is not there.
void occupyClosedStandardStreams();

} // namespace qlmr
