#include "console/ini.h"

#include <algorithm>
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

// -1, 0 or 1 as `a` sorts before, with or after `b` when letters are compared in one case.
int CompareFolded(std::string_view a, std::string_view b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
        const int x = std::tolower(static_cast<unsigned char>(a[i]));
        const int y = std::tolower(static_cast<unsigned char>(b[i]));
        if (x != y) return x < y ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : a.size() < b.size() ? -1 : 1;
}

// Offsets and sizes are held in 32 and 30 bits: far above kMaxFileSize.
constexpr std::size_t kMaxText = std::size_t{1} << 30;

}  // namespace

IniFile::Record IniFile::Make(Kind kind, std::size_t offset, std::size_t size) {
    return Record{static_cast<std::uint32_t>(offset),
                  static_cast<std::uint32_t>(size) | (static_cast<std::uint32_t>(kind) << 30)};
}

IniFile IniFile::Parse(std::string text) {
    IniFile ini;
    // Beyond what any record can point to, a text is not read: Load refuses such files long
    // before.
    if (text.size() >= kMaxText) text.resize(kMaxText - 4);
    std::size_t pos = 0;
    if (std::string_view(text).starts_with(kBom)) {
        ini.bom_ = kBom;
        pos = kBom.size();
    }
    ini.text_ = std::move(text);
    const std::string& t = ini.text_;
    std::size_t run = std::string::npos;  // where the current run of other lines began
    auto endRun = [&](std::size_t at) {
        if (run == std::string::npos) return;
        ini.records_.push_back(Make(Kind::kLines, run, at - run));
        run = std::string::npos;
    };
    bool sawLineEnd = false;
    while (pos < t.size()) {
        const std::size_t lf = t.find('\n', pos);
        std::size_t end = t.size(), next = t.size();
        if (lf == std::string::npos) {
            ini.finalLineEnd_ = false;
        } else {
            end = lf > pos && t[lf - 1] == '\r' ? lf - 1 : lf;
            next = lf + 1;
            if (!sawLineEnd) ini.lineEnd_ = t.substr(end, next - end);
            sawLineEnd = true;
        }
        const std::string_view line(t.data() + pos, end - pos);
        if (HeaderName(line)) {
            endRun(pos);
            ini.records_.push_back(Make(Kind::kHeader, pos, line.size()));
            ini.sections_.push_back(static_cast<std::uint32_t>(ini.records_.size() - 1));
        } else if (ParseKeyLine(line)) {
            endRun(pos);
            ini.records_.push_back(Make(Kind::kKey, pos, line.size()));
        } else if (run == std::string::npos) {
            run = pos;
        }
        pos = next;
    }
    // The last line's end is only left out when the text is printed; in memory every line has
    // one, so lines added after it need no special case.
    if (!ini.finalLineEnd_) ini.text_ += ini.lineEnd_;
    endRun(ini.text_.size());

    for (std::size_t k = 1; k < ini.sections_.size(); ++k)
        ini.byName_.push_back(static_cast<std::uint32_t>(k));
    std::stable_sort(ini.byName_.begin(), ini.byName_.end(), [&](std::uint32_t a, std::uint32_t b) {
        return CompareFolded(ini.SectionName(a), ini.SectionName(b)) < 0;
    });
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
    *this = Parse(std::move(text));
    return platform::kErrorSuccess;
}

Win32Error IniFile::Save(const std::string& fileName) const {
    if (platform::ReplaceFileContents(fileName.c_str(), Text())) return platform::kErrorSuccess;
    return platform::GetLastError();
}

std::string_view IniFile::EndOf(const Record& r) const {
    const std::size_t at = r.offset + r.size();
    return std::string_view(text_).substr(at, text_[at] == '\r' ? 2 : 1);
}

std::string_view IniFile::SectionName(std::size_t section) const {
    return *HeaderName(TextOf(records_[sections_[section]]));
}

std::string IniFile::Text() const {
    std::string text = bom_;
    text.reserve(text_.size() + bom_.size());
    for (const Record& r : records_) {
        text += TextOf(r);
        if (r.kind() != Kind::kLines) text += EndOf(r);
    }
    if (!finalLineEnd_ && !records_.empty()) text.resize(text.size() - lineEnd_.size());
    return text;
}

std::size_t IniFile::FindSection(std::string_view name) const {
    if (!IsSectionName(name)) return 0;
    const auto found = std::lower_bound(
        byName_.begin(), byName_.end(), name,
        [&](std::uint32_t k, std::string_view n) { return CompareFolded(SectionName(k), n) < 0; });
    if (found == byName_.end() || CompareFolded(SectionName(*found), name) != 0) return 0;
    return *found;
}

const IniFile::Record* IniFile::FindKey(std::string_view section, std::string_view key) const {
    const std::size_t k = FindSection(section);
    if (k == 0 || !IsKeyName(key)) return nullptr;
    for (std::size_t i = First(k) + 1; i < Last(k); ++i) {
        const Record& r = records_[i];
        if (r.kind() == Kind::kKey && platform::EqualsNoCase(ParseKeyLine(TextOf(r))->name, key))
            return &r;
    }
    return nullptr;
}

bool IniFile::HasSection(std::string_view section) const {
    return FindSection(section) != 0;
}

bool IniFile::HasKey(std::string_view section, std::string_view key) const {
    return FindKey(section, key) != nullptr;
}

std::string IniFile::GetString(std::string_view section, std::string_view key,
                               std::string_view defaultValue) const {
    const Record* r = FindKey(section, key);
    if (!r) return std::string(TrimRight(defaultValue));
    const std::string_view line = TextOf(*r);
    return std::string(ReadValue(line.substr(ParseKeyLine(line)->valueStart)));
}

std::int32_t IniFile::GetInt(std::string_view section, std::string_view key,
                             std::int32_t defaultValue) const {
    if (!HasKey(section, key)) return defaultValue;
    std::string value = GetString(section, key, "");
    return value.empty() ? defaultValue : ProfileInt(value);
}

void IniFile::ForEachKey(
    std::string_view section,
    const std::function<void(std::string_view name, std::string_view value)>& fn) const {
    const std::size_t k = FindSection(section);
    if (k == 0) return;
    for (std::size_t i = First(k) + 1; i < Last(k); ++i) {
        if (records_[i].kind() != Kind::kKey) continue;
        const std::string_view line = TextOf(records_[i]);
        const KeyLine key = *ParseKeyLine(line);
        fn(key.name, ReadValue(line.substr(key.valueStart)));
    }
}

Win32Error IniFile::AppendLine(Kind kind, std::string_view line, std::string_view end,
                               Record& record) {
    if (text_.size() + line.size() + end.size() >= kMaxText)
        return platform::Fail(platform::kErrorNotEnoughMemory);
    const std::size_t offset = text_.size();
    text_.append(line).append(end);
    record = Make(kind, offset, kind == Kind::kLines ? line.size() + end.size() : line.size());
    return platform::kErrorSuccess;
}

void IniFile::Insert(std::size_t section, std::size_t at, Record record) {
    records_.insert(records_.begin() + static_cast<std::ptrdiff_t>(at), record);
    for (std::size_t k = section + 1; k < sections_.size(); ++k) ++sections_[k];
}

bool IniFile::EndsWithBlankLine() const {
    const Record& last = records_.back();
    if (last.kind() != Kind::kLines) return false;
    std::string_view run = TextOf(last);
    run.remove_suffix(1);  // every line in memory ends with LF
    const std::size_t lf = run.rfind('\n');
    return Trim(lf == std::string_view::npos ? run : run.substr(lf + 1)).empty();
}

Win32Error IniFile::WriteString(std::string_view section, std::string_view key,
                                std::string_view value) {
    if (!IsSectionName(section) || !IsKeyName(key) || HasAny(value, kLineBreaks))
        return platform::Fail(platform::kErrorInvalidParameter);
    const std::string keyText = std::string(key) + "=" + EncodeValue(value);
    Record line{};

    const std::size_t k = FindSection(section);
    if (k == 0) {
        Record blank{}, header{};
        const bool separate = !records_.empty() && !EndsWithBlankLine();
        if (Win32Error e =
                separate ? AppendLine(Kind::kLines, "", lineEnd_, blank) : platform::kErrorSuccess)
            return e;
        if (Win32Error e =
                AppendLine(Kind::kHeader, "[" + std::string(section) + "]", lineEnd_, header))
            return e;
        if (Win32Error e = AppendLine(Kind::kKey, keyText, lineEnd_, line)) return e;
        if (separate) records_.push_back(blank);
        records_.push_back(header);
        sections_.push_back(static_cast<std::uint32_t>(records_.size() - 1));
        const auto number = static_cast<std::uint32_t>(sections_.size() - 1);
        // After every section of the same name: the first one stays the one that is read.
        byName_.insert(std::upper_bound(byName_.begin(), byName_.end(), section,
                                        [&](std::string_view n, std::uint32_t s) {
                                            return CompareFolded(n, SectionName(s)) < 0;
                                        }),
                       number);
        records_.push_back(line);
        return platform::kErrorSuccess;
    }

    std::size_t lastKey = 0;
    for (std::size_t i = First(k) + 1; i < Last(k); ++i) {
        if (records_[i].kind() != Kind::kKey) continue;
        lastKey = i;
        const std::string_view text = TextOf(records_[i]);
        const KeyLine keyLine = *ParseKeyLine(text);
        if (!platform::EqualsNoCase(keyLine.name, key)) continue;
        std::string_view raw = text.substr(keyLine.valueStart);
        if (ReadValue(raw) == value) return platform::kErrorSuccess;
        // Everything up to the value stays: the name in its own case, the blanks around '='.
        std::size_t valueAt = keyLine.valueStart + (raw.size() - TrimLeft(raw).size());
        if (value.empty()) valueAt = keyLine.valueStart;
        const std::string rewritten = std::string(text.substr(0, valueAt)) + EncodeValue(value);
        const std::string end(EndOf(records_[i]));
        if (Win32Error e = AppendLine(Kind::kKey, rewritten, end, line)) return e;
        records_[i] = line;
        return platform::kErrorSuccess;
    }
    if (Win32Error e = AppendLine(Kind::kKey, keyText, lineEnd_, line)) return e;
    std::size_t at = lastKey + 1;
    if (lastKey == 0) {
        // A section without keys: the new key goes below the header and the comments directly
        // under it, so the lines after them (the run that holds them is cut in two there).
        at = First(k) + 1;
        if (at < Last(k) && records_[at].kind() == Kind::kLines) {
            const Record run = records_[at];
            const std::string_view lines = TextOf(run);
            std::size_t comments = 0;
            while (comments < lines.size()) {
                const std::size_t lf = lines.find('\n', comments);
                if (!IsComment(lines.substr(comments, lf - comments))) break;
                comments = lf + 1;
            }
            if (comments == lines.size()) {
                ++at;
            } else if (comments > 0) {
                records_[at] = Make(Kind::kLines, run.offset, comments);
                Insert(k, at + 1, Make(Kind::kLines, run.offset + comments, run.size() - comments));
                ++at;
            }
        }
    }
    Insert(k, at, line);
    return platform::kErrorSuccess;
}

Win32Error IniFile::WriteInt(std::string_view section, std::string_view key, std::int32_t value) {
    return WriteString(section, key, std::to_string(value));
}

}  // namespace zantor
