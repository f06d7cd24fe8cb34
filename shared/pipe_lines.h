// Terminated text lines over a pipe: the framing of every control connection.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/pipe.h"

namespace zantor {

// What the line reader returns in place of a line when the pipe fails; a peer that sends it as a
// line is treated exactly like one that went away.
inline constexpr std::string_view kEndOfConnection = "514tw8#K#&!";

// The line terminator every caller uses.
inline constexpr std::string_view kCrLf = "\r\n";

// What no line carries: whatever a line holds of these breaks the framing.
inline constexpr std::string_view kLineBreakers("\0\r\n", 3);

// The reader's working buffer: received text plus a terminating NUL must fit.
inline constexpr std::size_t kLineBufferSize = 65536;

// A line that does not end within the reader's buffer.
class LineTooLongError : public std::out_of_range {
  public:
    using std::out_of_range::out_of_range;
};

// The next line from `pipe` without its terminator. `carry` is the text received beyond the
// previous line; the caller keeps it between calls. Lines already in `carry` are returned without
// reading. A failed read yields kEndOfConnection and leaves `carry` as it was. Throws
// LineTooLongError when the buffer is full (kLineBufferSize - 1 bytes) and holds no terminator, or
// `carry` is kLineBufferSize bytes or longer. A read never takes more than the buffer has room
// for, so a client that writes many lines at once is read in turns, never cut off.
// Text is taken up to the first NUL byte.
void ReadLnPipe(platform::Pipe& pipe, std::string_view terminator, std::string& carry,
                std::string& line);

// Writes line + terminator with one write. False on failure; the platform's last error says why.
// A line that holds NUL, CR or LF is no line: it is refused with kErrorInvalidParameter and
// nothing is written, since the peer would read it as a line cut short or as several lines, or
// (after a NUL, where the reader stops looking) wait for ever for its end.
bool WriteLnToPipe(platform::Pipe& pipe, std::string_view terminator, std::string_view line);

}  // namespace zantor
