#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace qlmr {

// Writes bytes as the whole content of the file at path, replacing any file
// there. The bytes go to a temporary file beside the target, which is
// renamed to path once they are all written: a failed write (a full disk, a
// folder that may not be written) removes it and leaves no partial file,
// and a file already at path stays as it was. A file at path that may not
// be written is refused (false) and kept; a replaced file's permissions
// carry over to the new one. A file that may be written in a folder that
// may not is rewritten in place. A link at path is followed and keeps
// naming the file; a device or pipe at path is written in place (a
// directory fails). True only when every byte reached the file.
bool replaceFile(const std::string& path, std::span<const std::uint8_t> bytes);

} // namespace qlmr
