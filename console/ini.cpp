#include "console/ini.h"

#include <cctype>
#include <optional>

#include "platform/files.h"
#include "platform/names.h"

namespace zantor {

using platform::Win32Error;

namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    return s;
}

std::string_view TrimRight(std::string_view s) {
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    return TrimRight(TrimLeft(s));
}

std::string Fold(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return folded;
}

// The section name of a header line.
std::optional<std::string_view> HeaderName(std::string_view line) {
    line = TrimLeft(line);
    if (line.empty() || line.front() != '[') return std::nullopt;
    std::size_t close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(line.substr(1, close - 1));
}

bool IsComment(std::string_view line) {
    line = TrimLeft(line);
    return !line.empty() && line.front() == ';';
}

// A key line's name and the text after its '='; nullopt for any other line.
struct KeyLine {
    std::string_view name;
    std::size_t valueStart;  // just past the '='
};

std::optional<KeyLine> ParseKeyLine(std::string_view line) {
    if (IsComment(line)) return std::nullopt;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return KeyLine{Trim(line.substr(0, eq)), eq + 1};
}

bool IsQuote(char c) {
    return c == '"' || c == '\'';
}

// What a value's text reads as.
std::string_view ReadValue(std::string_view raw) {
    std::string_view v = Trim(raw);
    if (v.size() >= 2 && IsQuote(v.front()) && v.back() == v.front()) v = v.substr(1, v.size() - 2);
    return v;
}

// The value's text: quoted when reading would otherwise change it.
std::string EncodeValue(std::string_view value) {
    if (value.empty() || ReadValue(value) == value) return std::string(value);
    return "\"" + std::string(value) + "\"";
}

bool HasAny(std::string_view s, std::string_view chars) {
    return s.find_first_of(chars) != std::string_view::npos;
}

constexpr std::string_view kLineBreaks("\r\n\0", 3);

bool CarriesName(std::string_view name) {
    return !name.empty() && !HasAny(name, kLineBreaks) && Trim(name) == name;
}

bool IsSectionName(std::string_view name) {
    return CarriesName(name) && name.find(']') == std::string_view::npos;
}

bool IsKeyName(std::string_view name) {
    return CarriesName(name) && name.find('=') == std::string_view::npos && name.front() != ';' &&
           name.front() != '[';
}

// Digits of `base` as far as they go, summed in 32 bits that wrap around.
std::uint32_t LeadingDigits(std::string_view text, std::uint32_t base) {
    std::uint32_t sum = 0;
    for (char c : text) {
        std::uint32_t digit = base;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            digit = static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            digit = static_cast<std::uint32_t>(c - 'A' + 10);
        if (digit >= base) break;
        sum = sum * base + digit;
    }
    return sum;
}

std::int32_t ProfileInt(std::string_view value) {
    value = TrimLeft(value);
    bool negative = false;
    if (!value.empty() && (value.front() == '+' || value.front() == '-')) {
        negative = value.front() == '-';
        value.remove_prefix(1);
    }
    std::uint32_t base = 10;
    if (value.size() >= 2 && value[0] == '0') {
        if (value[1] == 'x') base = 16;
        if (value[1] == 'o') base = 8;
        if (value[1] == 'b') base = 2;
        if (base != 10) value.remove_prefix(2);
    }
    std::uint32_t magnitude = LeadingDigits(value, base);
    return static_cast<std::int32_t>(negative ? 0u - magnitude : magnitude);
}

}  // namespace

IniFile IniFile::Parse(std::string_view text) {
    IniFile ini;
    if (text.starts_with(kBom)) {
        ini.bom_ = kBom;
        text.remove_prefix(kBom.size());
    }
    bool sawLineEnd = false;
    while (!text.empty()) {
        Line line;
        std::size_t lf = text.find('\n');
        if (lf == std::string_view::npos) {
            line.text = text;
            ini.finalLineEnd_ = false;
            text = {};
        } else {
            std::size_t textEnd = lf > 0 && text[lf - 1] == '\r' ? lf - 1 : lf;
            line.text = text.substr(0, textEnd);
            line.end = text.substr(textEnd, lf + 1 - textEnd);
            if (!sawLineEnd) ini.lineEnd_ = line.end;
            sawLineEnd = true;
            text.remove_prefix(lf + 1);
        }
        if (auto name = HeaderName(line.text)) {
            ini.firstSection_.try_emplace(Fold(*name), ini.sections_.size());
            ini.sections_.emplace_back();
        }
        ini.sections_.back().lines.push_back(std::move(line));
    }
    // The last line's end is only left out when the text is printed; in memory every line has
    // one, so lines added after it need no special case.
    if (!ini.finalLineEnd_) ini.sections_.back().lines.back().end = ini.lineEnd_;
    return ini;
}

Win32Error IniFile::Load(const std::string& fileName) {
    std::string text;
    if (!platform::ReadFileContents(fileName.c_str(), text, kMaxFileSize)) {
        Win32Error e = platform::GetLastError();
        if (e != platform::kErrorFileNotFound && e != platform::kErrorPathNotFound) return e;
        *this = IniFile();
        platform::SetLastError(platform::kErrorSuccess);
        return platform::kErrorSuccess;
    }
    *this = Parse(text);
    return platform::kErrorSuccess;
}

Win32Error IniFile::Save(const std::string& fileName) const {
    if (platform::ReplaceFileContents(fileName.c_str(), Text())) return platform::kErrorSuccess;
    return platform::GetLastError();
}

std::string IniFile::Text() const {
    std::string text = bom_;
    for (const Section& section : sections_)
        for (const Line& line : section.lines) text.append(line.text).append(line.end);
    const Section& last = sections_.back();
    if (!finalLineEnd_ && !last.lines.empty())
        text.resize(text.size() - last.lines.back().end.size());
    return text;
}

const IniFile::Section* IniFile::FindSection(std::string_view name) const {
    if (!IsSectionName(name)) return nullptr;
    auto it = firstSection_.find(Fold(name));
    return it == firstSection_.end() ? nullptr : &sections_[it->second];
}

const IniFile::Line* IniFile::FindKey(std::string_view section, std::string_view key) const {
    const Section* found = FindSection(section);
    if (!found || !IsKeyName(key)) return nullptr;
    for (std::size_t i = 1; i < found->lines.size(); ++i) {
        auto keyLine = ParseKeyLine(found->lines[i].text);
        if (keyLine && platform::EqualsNoCase(keyLine->name, key)) return &found->lines[i];
    }
    return nullptr;
}

bool IniFile::HasKey(std::string_view section, std::string_view key) const {
    return FindKey(section, key) != nullptr;
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view defaultValue) const {
    const Line* line = FindKey(section, key);
    if (!line) return std::string(TrimRight(defaultValue));
    std::string_view text = line->text;
    return std::string(ReadValue(text.substr(ParseKeyLine(text)->valueStart)));
}

std::int32_t IniFile::GetInt(std::string_view section, std::string_view key,
                             std::int32_t defaultValue) const {
    if (!HasKey(section, key)) return defaultValue;
    std::string value = GetString(section, key, "");
    return value.empty() ? defaultValue : ProfileInt(value);
}

Win32Error IniFile::WriteString(std::string_view section, std::string_view key,
                                std::string_view value) {
    if (!IsSectionName(section) || !IsKeyName(key) || HasAny(value, kLineBreaks))
        return platform::Fail(platform::kErrorInvalidParameter);
    const std::string keyText = std::string(key) + "=" + EncodeValue(value);

    auto found = firstSection_.find(Fold(section));
    if (found == firstSection_.end()) {
        const Section& last = sections_.back();
        if (!last.lines.empty() && !Trim(last.lines.back().text).empty())
            sections_.back().lines.push_back({"", lineEnd_});
        firstSection_.emplace(Fold(section), sections_.size());
        sections_.push_back({{{"[" + std::string(section) + "]", lineEnd_}, {keyText, lineEnd_}}});
        return platform::kErrorSuccess;
    }

    std::vector<Line>& lines = sections_[found->second].lines;
    std::size_t lastKey = 0;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        auto keyLine = ParseKeyLine(lines[i].text);
        if (!keyLine) continue;
        lastKey = i;
        if (!platform::EqualsNoCase(keyLine->name, key)) continue;
        std::string_view raw = std::string_view(lines[i].text).substr(keyLine->valueStart);
        if (ReadValue(raw) == value) return platform::kErrorSuccess;
        // Everything up to the value stays: the name in its own case, the blanks around '='.
        std::size_t valueAt = keyLine->valueStart + (raw.size() - TrimLeft(raw).size());
        if (value.empty()) valueAt = keyLine->valueStart;
        lines[i].text = lines[i].text.substr(0, valueAt) + EncodeValue(value);
        return platform::kErrorSuccess;
    }
    std::size_t at = lastKey + 1;
    if (lastKey == 0)
        while (at < lines.size() && IsComment(lines[at].text)) ++at;
    lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(at), Line{keyText, lineEnd_});
    return platform::kErrorSuccess;
}

Win32Error IniFile::WriteInt(std::string_view section, std::string_view key, std::int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

}  // namespace zantor
