// Inside the files port: what each system's half (linux/files_posix.cpp, win32/files_win32.cpp)
// takes from the shared half (files.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace platform {

// Reads a file from its start to its end, handing each piece to `piece` until it returns false;
// false, with the last error set, when a read failed.
using PieceReader = std::function<bool(const std::function<bool(std::string_view)>& piece)>;

// ReadFileContents once the file is open: its whole contents through `read`, when they are at
// most `maxBytes`. `sizeSeen`, the size the file had when it was opened, is what memory is taken
// for; a file larger than the limit fails with kErrorFileTooLarge before anything is read, and
// so does one that grows beyond it meanwhile.
bool ReadWithinLimit(std::uint64_t sizeSeen, std::size_t maxBytes, const PieceReader& read,
                     std::string& contents);

}  // namespace platform
