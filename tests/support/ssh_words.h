// Names that no computer of the test network has are hosts reached over SSH, and their error
// messages carry what ssh said about them ("Could not resolve hostname ..."), which depends on the
// machine's resolver. Tests that compare whole messages compare them without those words.
#pragma once

#include <regex>
#include <string>

namespace zantor::test {

// `text` without the words of ssh that a message's error text carries (" ssh NAME: ..." up to
// the parenthesis or the end of the line that closes it).
inline std::string WithoutSshWords(const std::string& text) {
    static const std::regex words(" ssh [^ :]+: [^)\n]*");
    return std::regex_replace(text, words, "");
}

}  // namespace zantor::test
