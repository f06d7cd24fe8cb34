// INI files and log lines, as the console reads them from files anyone may have written: any text
// prints back as it was read; a key written reads back as written, also after the document is
// printed and read again; and a text's lines are the same whether held whole or told in pieces.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "console/ini.h"
#include "console/text_lines.h"
#include "platform/errors.h"

namespace {

void Check(bool holds) {
    if (!holds) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    zantor::IniFile ini = zantor::IniFile::Parse(text);
    Check(ini.Text() == text);

    // Writes whose names and values come from the input's own bytes: sections and keys it has,
    // and new ones.
    const std::string_view t(text);
    for (std::size_t at = 0; at + 3 <= t.size() && at < 64; at += 3) {
        const std::string section(t.substr(at, 1 + t[at] % 3));
        const std::string key(t.substr(at + 1, 1 + t[at + 1] % 4));
        const std::string value(t.substr(at + 2, t[at + 2] % 8));
        if (ini.WriteString(section, key, value) != platform::kErrorSuccess) continue;
        Check(ini.HasSection(section) && ini.GetString(section, key, "?") == value);
        const zantor::IniFile again = zantor::IniFile::Parse(ini.Text());
        Check(again.Text() == ini.Text());
        Check(again.GetString(section, key, "?") == value);
    }

    const zantor::console::TTextLines whole = zantor::console::TTextLines::FromText(text);
    std::vector<std::string> told(1);
    zantor::console::TLineStream stream;
    auto out = [&](std::string_view part, bool ends) {
        told.back() += part;
        if (ends) told.emplace_back();
    };
    const std::size_t piece = size ? 1 + data[0] % 7 : 1;
    for (std::size_t at = 0; at < text.size(); at += piece) stream.Feed(t.substr(at, piece), out);
    stream.Finish(out);
    told.pop_back();
    Check(whole == told);
    for (std::size_t i = 0; i < whole.size(); ++i) Check(whole[i] == told[i]);
    return 0;
}
