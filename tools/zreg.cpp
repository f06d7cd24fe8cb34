// zreg: export, import and delete registry keys as .reg text, on this or a named computer.
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"
#include "shared/error_text.h"
#include "tools/regfile.h"

namespace {

using platform::Win32Error;

constexpr const char* kUsage =
    R"(Usage: zreg [--computer NAME] export KEY [FILE]
       zreg [--computer NAME] import FILE
       zreg [--computer NAME] delete KEY
       zreg --help

Reads and changes the registry of this computer or, with --computer, of the computer NAME
("PC1" or "\\PC1"; another computer is a directory of ZANTOR_NETWORK).

  export KEY [FILE]  writes KEY with its values and every key below it as .reg text to FILE,
                     or to standard output
  import FILE        applies a .reg file ("-" reads standard input); the changes to each hive
                     land together or not at all
  delete KEY         deletes KEY with everything below it

KEY is a path such as HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\ZantorSvc\Parameters;
HKLM and HKCU stand for HKEY_LOCAL_MACHINE and HKEY_CURRENT_USER. A remote computer has
HKEY_LOCAL_MACHINE only.

The .reg text: the line "Windows Registry Editor Version 5.00", a blank line, then for each key
a line [KEY] followed by its values, one a line:
  @="text"                 the default value
  "Name"="text"            REG_SZ; write \\ for a backslash and \" for a quote
  "Name"=dword:0000000a    REG_DWORD in hex
  "Name"=hex:01,02         REG_BINARY; hex(N): for type N; a trailing \ continues the line
  "Name"=-                 deletes the value (import)
  [-KEY]                   deletes the key and everything below it (import)

Exit status: 0 done, 1 the operation failed, 2 the command line is wrong.
)";

int Usage(const std::string& problem) {
    std::cerr << "zreg: " << problem << "\nTry 'zreg --help'.\n";
    return 2;
}

int Failure(std::string_view where, const zantor::RegFileError& error, Win32Error code) {
    std::cerr << "zreg: " << where;
    if (error.line > 0) std::cerr << " line " << error.line;
    std::cerr << (where.empty() && error.line == 0 ? "" : ": ") << error.reason << ": Error ["
              << code << "] " << zantor::SysErrorText(code) << "\n";
    return 1;
}

Win32Error ReadAll(const std::string& name, std::string* text) {
    std::FILE* f = name == "-" ? stdin : std::fopen(name.c_str(), "rb");
    if (!f) return platform::ErrorFromErrno(errno);
    char buf[65536];
    std::size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text->append(buf, n);
    bool failed = std::ferror(f) != 0;
    int err = errno;
    if (f != stdin) std::fclose(f);
    return failed ? platform::ErrorFromErrno(err) : platform::kErrorSuccess;
}

Win32Error WriteAll(const std::string& name, const std::string& text) {
    std::FILE* f = name.empty() ? stdout : std::fopen(name.c_str(), "wb");
    if (!f) return platform::ErrorFromErrno(errno);
    bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
    ok = (f == stdout ? std::fflush(f) : std::fclose(f)) == 0 && ok;
    return ok ? platform::kErrorSuccess : platform::ErrorFromErrno(errno);
}

int Export(const std::string& computer, const std::string& key, const std::string& file) {
    zantor::RegFile reg;
    zantor::RegFileError error;
    if (Win32Error e = zantor::ExportRegKey(computer, key, &reg, &error))
        return Failure("", error, e);
    if (Win32Error e = WriteAll(file, zantor::PrintRegFile(reg)))
        return Failure("", {0, "cannot write " + file}, e);
    return 0;
}

int Import(const std::string& computer, const std::string& file) {
    std::string text;
    std::string shown = file == "-" ? "standard input" : file;
    if (Win32Error e = ReadAll(file, &text)) return Failure("", {0, "cannot read " + shown}, e);
    zantor::RegFile reg;
    zantor::RegFileError error;
    if (Win32Error e = zantor::ParseRegFile(text, &reg, &error)) return Failure(shown, error, e);
    if (Win32Error e = zantor::ImportRegFile(computer, reg, &error))
        return Failure(error.line > 0 ? shown : "", error, e);
    return 0;
}

int Delete(const std::string& computer, const std::string& key) {
    zantor::RegFileError error;
    if (Win32Error e = zantor::DeleteRegKey(computer, key, &error)) return Failure("", error, e);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string computer;
    std::size_t i = 0;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    if (i < args.size() && args[i] == "--computer") {
        if (i + 1 >= args.size()) return Usage("--computer needs a computer name");
        computer = args[i + 1];
        i += 2;
    }
    if (i >= args.size()) return Usage("a command is missing");
    const std::string command = args[i++];
    const std::size_t left = args.size() - i;
    if (command == "export" && (left == 1 || left == 2))
        return Export(computer, args[i], left == 2 ? args[i + 1] : std::string());
    if (command == "import" && left == 1) return Import(computer, args[i]);
    if (command == "delete" && left == 1) return Delete(computer, args[i]);
    if (command == "export" || command == "import" || command == "delete")
        return Usage("wrong number of arguments for " + command);
    return Usage("unknown command '" + command + "'");
}
