#include "shared/pipe_lines.h"

#include <cstring>

namespace zantor {

void ReadLnPipe(platform::Pipe& pipe, std::string_view terminator, std::string& carry,
                std::string& line) {
    if (carry.size() >= kLineBufferSize)
        throw LineTooLongError("carry-over text of " + std::to_string(carry.size()) + " bytes");
    // The buffer lives in the call; only text up to the first NUL counts, as it would in a C
    // string, and the buffered count goes on past it.
    char buffer[kLineBufferSize];
    std::size_t count = carry.size();
    std::memcpy(buffer, carry.data(), count);
    buffer[count] = '\0';
    std::size_t searched = 0;  // the terminator cannot start before this
    for (;;) {
        std::string_view text(buffer, std::strlen(buffer));
        std::size_t from = searched;
        auto at = text.find(terminator, from);
        if (at != std::string_view::npos) {
            line.assign(text.substr(0, at));
            std::string_view rest = text.substr(at + terminator.size());
            carry.assign(rest);
            return;
        }
        // Only the tail that a terminator could still complete is searched again.
        searched = text.size() >= terminator.size() ? text.size() - terminator.size() + 1 : 0;

        // A read asks for no more than the buffer has room for (the NUL included), so complete
        // lines are always taken out before anything is refused: only a full buffer without a
        // line end is a line too long.
        const std::size_t room = kLineBufferSize - 1 - count;
        if (room == 0)
            throw LineTooLongError("no line end within " + std::to_string(count) + " bytes");
        std::size_t got = 0;
        if (pipe.Read(buffer + count, room, &got) != platform::kErrorSuccess) {
            line.assign(kEndOfConnection);
            return;
        }
        count += got;
        buffer[count] = '\0';
    }
}

bool WriteLnToPipe(platform::Pipe& pipe, std::string_view terminator, std::string_view line) {
    if (line.find_first_of(kLineBreakers) != std::string_view::npos)
        return platform::Fail(platform::kErrorInvalidParameter), false;
    std::string text;
    text.reserve(line.size() + terminator.size());
    text.append(line).append(terminator);
    return pipe.Write(text.data(), text.size()) == platform::kErrorSuccess;
}

}  // namespace zantor
