// This program's standard streams as a command-line program sees them: whether a person watches
// one, so that output meant for the eye (a progress line rewritten in place) goes only there.
#pragma once

namespace platform {

enum class StandardStream { kInput, kOutput, kError };

// True when the stream is a terminal; false for a file, a pipe, or a stream that is closed.
bool IsTerminal(StandardStream stream);

}  // namespace platform
