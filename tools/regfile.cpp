#include "tools/regfile.h"

#include "platform/names.h"

#include <array>
#include <cctype>
#include <map>
#include <memory>
#include <optional>

namespace zantor {

using namespace platform;

namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr std::size_t kHexLineWidth = 78;
constexpr int kMaxDepth = 512;

struct Root {
    std::string_view longName;
    std::string_view shortName;
    HKEY key;
};

const std::array<Root, 2>& Roots() {
    static const std::array<Root, 2> roots{{
        {"HKEY_LOCAL_MACHINE", "HKLM", HKEY_LOCAL_MACHINE},
        {"HKEY_CURRENT_USER", "HKCU", HKEY_CURRENT_USER},
    }};
    return roots;
}

std::string_view TrimLeft(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    return s;
}

std::string_view Trim(std::string_view s) {
    s = TrimLeft(s);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// 1 to `maxDigits` hex digits and nothing else.
std::optional<std::uint32_t> ParseHex(std::string_view s, std::size_t maxDigits) {
    if (s.empty() || s.size() > maxDigits) return std::nullopt;
    std::uint32_t v = 0;
    for (char c : s) {
        int d = HexDigit(c);
        if (d < 0) return std::nullopt;
        v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    return v;
}

std::string Hex(std::uint32_t v, int digits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    do {
        s.insert(s.begin(), kDigits[v & 0xf]);
        v >>= 4;
    } while (v != 0 || static_cast<int>(s.size()) < digits);
    return s;
}

std::string Quote(std::string_view text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out + "\"";
}

// The lines of a text, numbered from 1, without their CR LF or LF.
class Lines {
  public:
    explicit Lines(std::string_view text) : text_(text) {}
    bool Next(std::string_view* line) {
        if (pos_ >= text_.size()) return false;
        std::size_t end = text_.find('\n', pos_);
        if (end == std::string_view::npos) end = text_.size();
        *line = text_.substr(pos_, end - pos_);
        if (!line->empty() && line->back() == '\r') line->remove_suffix(1);
        pos_ = end + 1;
        ++number_;
        return true;
    }
    int number() const { return number_; }

  private:
    std::string_view text_;
    std::size_t pos_ = 0;
    int number_ = 0;
};

class Parser {
  public:
    Parser(std::string_view text, RegFile* file, RegFileError* error)
        : lines_(text), file_(file), error_(error) {}

    Win32Error Run() {
        std::string_view line;
        if (!NextItem(&line)) return Bad("the header line is missing");
        if (line.substr(0, 3) == "\xef\xbb\xbf") line.remove_prefix(3);
        if (Trim(line) != kHeader && Trim(line) != kOldHeader)
            return Bad("the first line is not \"" + std::string(kHeader) + "\"");
        while (NextItem(&line)) {
            Win32Error e = line.front() == '[' ? Section(line) : ValueLine(line);
            if (e) return e;
        }
        return kErrorSuccess;
    }

  private:
    // The next line that is neither blank nor a comment, trimmed on the left.
    bool NextItem(std::string_view* line) {
        while (lines_.Next(line)) {
            *line = TrimLeft(*line);
            if (!line->empty() && line->front() != ';') return true;
        }
        return false;
    }

    Win32Error Bad(std::string reason, Win32Error code = kErrorInvalidData) {
        error_->line = lines_.number();
        error_->reason = std::move(reason);
        return Fail(code);
    }

    Win32Error Section(std::string_view line) {
        line = Trim(line);
        if (line.back() != ']') return Bad("a key line must end with ']'");
        std::string_view path = line.substr(1, line.size() - 2);
        RegFileKey key;
        key.line = lines_.number();
        if (!path.empty() && path.front() == '-') {
            key.remove = true;
            path.remove_prefix(1);
        }
        HKEY root = nullptr;
        std::string below;
        if (!SplitRegPath(path, &root, &below, &key.path))
            return Bad("\"" + std::string(path) + "\" is not a key of HKEY_LOCAL_MACHINE or " +
                       "HKEY_CURRENT_USER");
        file_->keys.push_back(std::move(key));
        return kErrorSuccess;
    }

    // A quoted text at the start of `s`; `s` is left after its closing quote.
    Win32Error QuotedText(std::string_view& s, std::string* out) {
        out->clear();
        for (std::size_t i = 1; i < s.size(); ++i) {
            if (s[i] == '"') {
                s.remove_prefix(i + 1);
                return kErrorSuccess;
            }
            if (s[i] == '\\') {
                if (++i == s.size() || (s[i] != '\\' && s[i] != '"'))
                    return Bad("only \\\\ and \\\" may follow a backslash in a quoted text");
            }
            *out += s[i];
        }
        return Bad("a quoted text has no closing quote");
    }

    Win32Error ValueLine(std::string_view line) {
        if (file_->keys.empty()) return Bad("a value line comes before the first key line");
        RegFileKey& key = file_->keys.back();
        if (key.remove) return Bad("a value line follows a key that is being deleted");
        RegFileValue value;
        value.line = lines_.number();
        if (line.front() == '@') {
            line.remove_prefix(1);
        } else if (line.front() == '"') {
            if (Win32Error e = QuotedText(line, &value.name)) return e;
        } else {
            return Bad("a line must be a key in [ ], a value, a comment or blank");
        }
        line = TrimLeft(line);
        if (line.empty() || line.front() != '=') return Bad("'=' must follow the value's name");
        line = Trim(line.substr(1));
        if (Win32Error e = Data(line, &value)) return e;
        key.values.push_back(std::move(value));
        return kErrorSuccess;
    }

    Win32Error Data(std::string_view s, RegFileValue* value) {
        if (s == "-") {
            value->remove = true;
            return kErrorSuccess;
        }
        if (!s.empty() && s.front() == '"') {
            value->type = REG_SZ;
            if (Win32Error e = QuotedText(s, &value->data)) return e;
            if (!Trim(s).empty()) return Bad("text follows the closing quote");
            return kErrorSuccess;
        }
        if (StartsWithNoCase(s, "dword:")) {
            auto v = ParseHex(s.substr(6), 8);
            if (!v) return Bad("a dword needs 1 to 8 hex digits");
            value->type = REG_DWORD;
            value->data = std::string(4, '\0');
            for (int i = 0; i < 4; ++i) value->data[i] = static_cast<char>((*v >> (8 * i)) & 0xff);
            return kErrorSuccess;
        }
        if (StartsWithNoCase(s, "hex:")) {
            value->type = REG_BINARY;
            return HexBytes(s.substr(4), value);
        }
        if (StartsWithNoCase(s, "hex(")) {
            auto close = s.find("):");
            auto type = close == std::string_view::npos ? std::nullopt
                                                        : ParseHex(s.substr(4, close - 4), 8);
            if (!type) return Bad("hex( must hold the type as 1 to 8 hex digits and end in \"):\"");
            value->type = *type;
            if (Win32Error e = HexBytes(s.substr(close + 2), value)) return e;
            if (value->type == REG_DWORD && value->data.size() != 4)
                return Bad("a value of type 4 needs 4 bytes");
            return kErrorSuccess;
        }
        return Bad("the value must be \"text\", dword:, hex:, hex(type): or -");
    }

    // Comma-separated bytes, continued over the following lines while a line ends in '\'.
    Win32Error HexBytes(std::string_view first, RegFileValue* value) {
        std::string list(Trim(first));
        while (!list.empty() && list.back() == '\\') {
            list.pop_back();
            std::string_view next;
            if (!lines_.Next(&next)) return Bad("the file ends inside a continued hex list");
            list += Trim(next);
        }
        std::string_view rest = list;
        while (!rest.empty()) {
            std::size_t comma = rest.find(',');
            auto byte = ParseHex(Trim(rest.substr(0, comma)), 2);
            if (!byte) return Bad("a hex list holds bytes of 1 or 2 hex digits between commas");
            value->data += static_cast<char>(*byte);
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
            if (rest.empty()) return Bad("a hex list must not end in a comma");
        }
        return kErrorSuccess;
    }

    Lines lines_;
    RegFile* file_;
    RegFileError* error_;
};

bool Printable(std::string_view text) {
    return text.find_first_of(std::string_view("\0\r\n", 3)) == std::string_view::npos;
}

void PrintHex(std::string prefix, std::string_view bytes, std::string* out) {
    std::string line = std::move(prefix);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (line.size() + 3 > kHexLineWidth) {
            *out += line + "\\\n";
            line = "  ";
        }
        line += Hex(static_cast<unsigned char>(bytes[i]), 2);
        if (i + 1 < bytes.size()) line += ',';
    }
    *out += line + "\n";
}

void PrintValue(const RegFileValue& v, std::string* out) {
    std::string head = (v.name.empty() ? std::string("@") : Quote(v.name)) + "=";
    if (v.remove) {
        *out += head + "-\n";
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
        std::uint32_t n = 0;
        for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
        *out += head + "dword:" + Hex(n, 8) + "\n";
    } else if (v.type == REG_SZ && Printable(v.data)) {
        *out += head + Quote(v.data) + "\n";
    } else if (v.type == REG_BINARY) {
        PrintHex(head + "hex:", v.data, out);
    } else {
        PrintHex(head + "hex(" + Hex(v.type, 1) + "):", v.data, out);
    }
}

Win32Error Failed(RegFileError* error, int line, std::string reason, Win32Error code) {
    error->line = line;
    error->reason = std::move(reason);
    return Fail(code);
}

// The open root keys of one computer's hives, opened as they are first needed; with a `kind`,
// each hive's calls from its opening on are part of one transaction of that kind.
class Hives {
  public:
    explicit Hives(std::string_view computer,
                   std::optional<RegTransaction::Kind> kind = std::nullopt)
        : computer_(computer), kind_(kind) {}
    ~Hives() {
        for (auto& [predefined, open] : open_) {
            open.transaction.reset();
            RegCloseKey(open.root);
        }
    }
    Hives(const Hives&) = delete;
    Hives& operator=(const Hives&) = delete;

    // The root handle for `predefined`.
    Win32Error Root(HKEY predefined, HKEY* root) {
        auto it = open_.find(predefined);
        if (it == open_.end()) {
            Open open;
            if (Win32Error e = RegConnectRegistryA(computer_, predefined, &open.root)) return e;
            it = open_.emplace(predefined, std::move(open)).first;
            if (kind_) {
                it->second.transaction = std::make_unique<RegTransaction>(it->second.root, *kind_);
                if (Win32Error e = it->second.transaction->Begin_result()) return e;
            }
        }
        *root = it->second.root;
        return kErrorSuccess;
    }

    // Where a key path lies: the open root of its hive and the path below that root.
    struct Place {
        HKEY root = nullptr;
        std::string below, canonical;
    };

    // Splits `path` and opens its hive's root (see Root). Failures are reported into `error` with
    // `line`; a path that is not one fails with `badPath`.
    Win32Error Locate(std::string_view path, int line, Win32Error badPath, Place* place,
                      RegFileError* error) {
        HKEY predefined = nullptr;
        if (!SplitRegPath(path, &predefined, &place->below, &place->canonical))
            return Failed(error, line, "\"" + std::string(path) + "\" is not a key path", badPath);
        if (Win32Error e = Root(predefined, &place->root))
            return Failed(error, line, "cannot reach the hive of " + place->canonical, e);
        return kErrorSuccess;
    }

    Win32Error Commit() {
        for (auto& [predefined, open] : open_)
            if (open.transaction)
                if (Win32Error e = open.transaction->Commit()) return e;
        return kErrorSuccess;
    }

  private:
    struct Open {
        HKEY root = nullptr;
        std::unique_ptr<RegTransaction> transaction;
    };
    std::string computer_;
    std::optional<RegTransaction::Kind> kind_;
    std::map<HKEY, Open> open_;
};

// Closes a key handle when it goes.
struct KeyCloser {
    HKEY key = nullptr;
    ~KeyCloser() {
        if (key) RegCloseKey(key);
    }
};

Win32Error CollectKey(HKEY key, const std::string& path, int depth, RegFile* file,
                      RegFileError* error) {
    // Deeper than any path the registry accepts: a damaged store, not something to recurse into.
    if (depth > kMaxDepth)
        return Failed(error, 0, "keys nest too deep below " + path, kErrorRegistryCorrupt);
    RegFileKey section;
    section.path = path;
    for (DWORD i = 0;; ++i) {
        RegFileValue v;
        Win32Error e = RegEnumValueA(key, i, &v.name, &v.type, &v.data);
        if (e == kErrorNoMoreItems) break;
        if (e) return Failed(error, 0, "cannot read the values of " + path, e);
        section.values.push_back(std::move(v));
    }
    file->keys.push_back(std::move(section));
    std::vector<std::string> names;
    if (Win32Error e = RegListSubkeys(key, &names))
        return Failed(error, 0, "cannot list the subkeys of " + path, e);
    for (const std::string& name : names) {
        KeyCloser sub;
        std::string subPath = path + "\\" + name;
        if (Win32Error e = RegOpenKeyExA(key, name, &sub.key))
            return Failed(error, 0, "cannot open " + subPath, e);
        if (Win32Error e = CollectKey(sub.key, subPath, depth + 1, file, error)) return e;
    }
    return kErrorSuccess;
}

Win32Error ImportKey(Hives& hives, const RegFileKey& section, RegFileError* error) {
    Hives::Place at;
    if (Win32Error e = hives.Locate(section.path, section.line, kErrorInvalidData, &at, error))
        return e;
    const std::string& canonical = at.canonical;
    if (section.remove) {
        if (at.below.empty())
            return Failed(error, section.line, "a root key cannot be deleted", kErrorAccessDenied);
        Win32Error e = RegDeleteTreeA(at.root, at.below);
        if (e && e != kErrorFileNotFound)
            return Failed(error, section.line, "cannot delete " + canonical, e);
        return kErrorSuccess;
    }
    KeyCloser key;
    if (Win32Error e = RegCreateKeyExA(at.root, at.below, &key.key))
        return Failed(error, section.line, "cannot create " + canonical, e);
    for (const RegFileValue& v : section.values) {
        std::string what = (v.name.empty() ? std::string("@") : Quote(v.name)) + " of " + canonical;
        if (v.remove) {
            Win32Error e = RegDeleteValueA(key.key, v.name);
            if (e && e != kErrorFileNotFound)
                return Failed(error, v.line, "cannot delete " + what, e);
        } else if (Win32Error e = RegSetValueExA(key.key, v.name, v.type, v.data)) {
            return Failed(error, v.line, "cannot set " + what, e);
        }
    }
    return kErrorSuccess;
}

}  // namespace

Win32Error ParseRegFile(std::string_view text, RegFile* file, RegFileError* error) {
    file->keys.clear();
    return Parser(text, file, error).Run();
}

std::string PrintRegFile(const RegFile& file) {
    std::string out = std::string(kHeader) + "\n\n";
    for (const RegFileKey& key : file.keys) {
        out += (key.remove ? "[-" : "[") + key.path + "]\n";
        for (const RegFileValue& v : key.values) PrintValue(v, &out);
        out += "\n";
    }
    return out;
}

bool SplitRegPath(std::string_view path, HKEY* root, std::string* below, std::string* canonical) {
    std::string_view first = path.substr(0, path.find('\\'));
    std::string_view rest = path.substr(first.size());
    if (!rest.empty()) rest.remove_prefix(1);
    if (!rest.empty() && rest.back() == '\\') rest.remove_suffix(1);
    // An empty key name anywhere, also at the end (a path ending in two backslashes), names no
    // key.
    if (rest.find("\\\\") != std::string_view::npos ||
        (!rest.empty() && (rest.front() == '\\' || rest.back() == '\\')))
        return false;
    for (const Root& r : Roots()) {
        if (EqualsNoCase(first, r.longName) || EqualsNoCase(first, r.shortName)) {
            *root = r.key;
            *below = rest;
            *canonical = std::string(r.longName) + (rest.empty() ? "" : "\\") + std::string(rest);
            return true;
        }
    }
    return false;
}

Win32Error ExportRegKey(std::string_view computer, std::string_view path, RegFile* file,
                        RegFileError* error) {
    file->keys.clear();
    // A snapshot gives the walk one consistent state to read without holding off the writers
    // (the service) however long the walk takes.
    Hives hives(computer, RegTransaction::Kind::kReadSnapshot);
    Hives::Place at;
    if (Win32Error e = hives.Locate(path, 0, kErrorInvalidParameter, &at, error)) return e;
    {
        KeyCloser key;
        if (Win32Error e = RegOpenKeyExA(at.root, at.below, &key.key))
            return Failed(error, 0, "cannot open " + at.canonical, e);
        if (Win32Error e = CollectKey(key.key, at.canonical, 0, file, error)) return e;
    }
    if (Win32Error e = hives.Commit())
        return Failed(error, 0, "cannot read one consistent state of " + at.canonical, e);
    return kErrorSuccess;
}

Win32Error ImportRegFile(std::string_view computer, const RegFile& file, RegFileError* error) {
    Hives hives(computer, RegTransaction::Kind::kGroupedWrites);
    for (const RegFileKey& section : file.keys)
        if (Win32Error e = ImportKey(hives, section, error)) return e;
    if (Win32Error e = hives.Commit()) return Failed(error, 0, "cannot save the changes", e);
    return kErrorSuccess;
}

Win32Error DeleteRegKey(std::string_view computer, std::string_view path, RegFileError* error) {
    Hives hives(computer);
    Hives::Place at;
    if (Win32Error e = hives.Locate(path, 0, kErrorInvalidParameter, &at, error)) return e;
    if (at.below.empty())
        return Failed(error, 0, "a root key cannot be deleted", kErrorAccessDenied);
    if (Win32Error e = RegDeleteTreeA(at.root, at.below))
        return Failed(error, 0, "cannot delete " + at.canonical, e);
    return kErrorSuccess;
}

}  // namespace zantor
