#include "platform/linux/pf/pf_settings.h"

#include <glob.h>

#include <algorithm>
#include <cctype>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string_view>

namespace platform::pf {

namespace fs = std::filesystem;

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool Space(char c) {
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

// Only printable text is quoted back, so a stray binary file makes a readable line.
std::string Shown(const std::string& word) {
    std::string shown;
    for (char c : word.substr(0, 40))
        shown += std::isprint(static_cast<unsigned char>(c)) ? c : '?';
    return shown;
}

std::optional<std::uint16_t> PortNumber(std::string_view text) {
    if (text.empty() || text.size() > 5) return std::nullopt;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

// What the configuration says about ports, file by file.
struct Config {
    std::set<std::uint16_t> ports;  // Port lines
    // ListenAddress lines: the port each names, or none (every Port then).
    std::vector<std::optional<std::uint16_t>> listens;
};

// sshd's own limit on nested Include lines.
constexpr int kIncludeDepth = 16;
// Far beyond any real configuration; a stray huge file is not read whole.
constexpr std::uintmax_t kMostBytes = 1 << 20;

bool ReadConfig(const fs::path& file, int depth, Config& config) {
    std::error_code ec;
    const auto size = fs::file_size(file, ec);
    if (ec || !fs::is_regular_file(file, ec)) return false;
    std::ifstream in(file);
    if (!in) return false;
    std::string text(static_cast<std::size_t>(std::min<std::uintmax_t>(size, kMostBytes)), '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // The keyword ends at white space or '='; one '=' may stand between it and its values.
        std::size_t at = 0;
        while (at < line.size() && Space(line[at])) ++at;
        if (at == line.size() || line[at] == '#') continue;
        std::size_t end = at;
        while (end < line.size() && !Space(line[end]) && line[end] != '=') ++end;
        const std::string keyword = Lower(line.substr(at, end - at));
        while (end < line.size() && Space(line[end])) ++end;
        if (end < line.size() && line[end] == '=') ++end;
        std::istringstream rest(line.substr(end));
        std::vector<std::string> values;
        for (std::string value; rest >> value;) values.push_back(value);
        if (values.empty()) continue;
        if (keyword == "port") {
            if (auto port = PortNumber(values[0])) config.ports.insert(*port);
        } else if (keyword == "listenaddress") {
            const std::string& address = values[0];
            std::optional<std::string_view> portText;
            if (address.starts_with('[')) {
                const std::size_t close = address.find("]:");
                if (close != std::string::npos)
                    portText = std::string_view(address).substr(close + 2);
            } else if (std::count(address.begin(), address.end(), ':') == 1) {
                portText = std::string_view(address).substr(address.find(':') + 1);
            }
            if (!portText) {
                config.listens.emplace_back();
            } else if (auto port = PortNumber(*portText)) {
                config.listens.emplace_back(port);
            }
        } else if (keyword == "include" && depth < kIncludeDepth) {
            for (const std::string& value : values) {
                const fs::path pattern =
                    fs::path(value).is_absolute() ? fs::path(value) : file.parent_path() / value;
                glob_t found{};
                if (::glob(pattern.c_str(), 0, nullptr, &found) == 0)
                    for (std::size_t i = 0; i < found.gl_pathc; ++i)
                        ReadConfig(found.gl_pathv[i], depth + 1, config);
                ::globfree(&found);
            }
        }
    }
    return true;
}

}  // namespace

Win32Error ReadDriverWord(const fs::path& root, const char* name,
                          std::initializer_list<const char*> words, std::string& word,
                          std::string& why) {
    word.clear();
    const fs::path file = root / "driver" / name;
    std::error_code ec;
    if (!fs::exists(file, ec)) return kErrorSuccess;
    // Only a plain file is read: not a directory, nor a pipe that might never end.
    std::string text;
    bool read = false;
    if (fs::is_regular_file(file, ec)) {
        std::ifstream in(file);
        std::stringstream all;
        all << in.rdbuf();
        read = static_cast<bool>(in);
        text = all.str();
    }
    if (!read) {
        why = file.string() + " cannot be read";
        return Fail(kErrorCantRead);
    }
    text.erase(text.begin(), std::find_if_not(text.begin(), text.end(), Space));
    text.erase(std::find_if_not(text.rbegin(), text.rend(), Space).base(), text.end());
    const std::string lower = Lower(text);
    std::string allowed;
    for (const char* w : words) {
        if (lower == w) {
            word = lower;
            return kErrorSuccess;
        }
        allowed += allowed.empty() ? w : std::string(" or ") + w;
    }
    why = file.string() + " says '" + Shown(text) + "'; it must say " + allowed;
    return Fail(kErrorInvalidData);
}

Win32Error ReadAntiLockout(const fs::path& root, bool& on, std::string& why) {
    on = true;
    std::string word;
    if (Win32Error e = ReadDriverWord(root, "antilockout", {"on", "off"}, word, why)) return e;
    on = word != "off";
    return kErrorSuccess;
}

SshdPorts FindSshdPorts(const fs::path& configFile) {
    SshdPorts result;
    Config config;
    if (!ReadConfig(configFile, 0, config)) {
        result.ports = {kSshdDefaultPort};
        result.source = "sshd's default: " + configFile.string() + " cannot be read";
        return result;
    }
    const bool named =
        !config.ports.empty() || std::any_of(config.listens.begin(), config.listens.end(),
                                             [](const auto& port) { return port.has_value(); });
    std::set<std::uint16_t> every = config.ports;
    if (every.empty()) every.insert(kSshdDefaultPort);
    std::set<std::uint16_t> ports;
    if (config.listens.empty()) ports = every;
    for (const auto& listen : config.listens) {
        if (listen)
            ports.insert(*listen);
        else
            ports.insert(every.begin(), every.end());
    }
    result.ports.assign(ports.begin(), ports.end());
    result.source = named ? "as " + configFile.string() + " says"
                          : "sshd's default: " + configFile.string() + " names none";
    return result;
}

}  // namespace platform::pf
