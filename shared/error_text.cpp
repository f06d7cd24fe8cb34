#include "shared/error_text.h"

namespace zantor {

std::string JoinLines(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            continue;
        }
        result += text[i];
    }
    return result;
}

std::string SysErrorText(platform::Win32Error code) {
    std::string text = platform::FormatSystemMessage(code);
    if (text.empty()) return "Unknown error " + std::to_string(code) + ".";
    return JoinLines(text);
}

std::string LastErrorText() {
    return JoinLines(platform::FormatSystemMessage(platform::GetLastError()));
}

}  // namespace zantor
