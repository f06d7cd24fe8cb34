// The files port's shared half: what each system's half would otherwise write again.
#include "platform/files_shared.h"

#include <utility>

#include "platform/errors.h"

namespace platform {

bool ReadWithinLimit(std::uint64_t sizeSeen, std::size_t maxBytes, const PieceReader& read,
                     std::string& contents) {
    bool tooLarge = sizeSeen > maxBytes;
    std::string data;
    // The size seen is room enough almost always: a large file is not copied as it grows.
    if (!tooLarge) data.reserve(static_cast<std::size_t>(sizeSeen));
    // Read to the end rather than to the size seen: a file that grows meanwhile, or one whose
    // size the system does not know, is still read whole, up to the limit.
    const bool complete = tooLarge || read([&](std::string_view piece) {
                              tooLarge = data.size() + piece.size() > maxBytes;
                              if (!tooLarge) data.append(piece);
                              return !tooLarge;
                          });
    if (tooLarge) return Fail(kErrorFileTooLarge), false;
    if (!complete) return false;
    contents = std::move(data);
    return true;
}

}  // namespace platform
