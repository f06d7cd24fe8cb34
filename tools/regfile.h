// Registry export files (.reg): the parser, the canonical printer, and import into and export
// from the registry port.
//
// The text form, one item a line (CR LF or LF):
//
//   Windows Registry Editor Version 5.00        header ("REGEDIT4" is read as well)
//                                               blank lines and lines starting with ';' are skipped
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Example]       a key, created on import
//   @="default value"                           the key's default value (the empty name)
//   "Count"=dword:0000000a                      REG_DWORD, 1 to 8 hex digits
//   "Path"="C:\\dir \"quoted\""                 REG_SZ; \\ and \" are the only escapes
//   "Blob"=hex:01,ff,\                          REG_BINARY; a trailing backslash continues the
//     00                                        list on the next line
//   "Other"=hex(2):25,41,25                     any other type by number, the stored bytes
//   "Old"=-                                     deletes the value
//   [-HKEY_CURRENT_USER\Software\Gone]          deletes the key and everything below it
//
// Roots may be written HKEY_LOCAL_MACHINE or HKLM, HKEY_CURRENT_USER or HKCU, in any letter case;
// the printer writes the long forms. Text is 8-bit and stored as it is. The printer is canonical:
// a string holding NUL, CR or LF is written as hex(1), a REG_DWORD as dword, and printing a parsed
// canonical text gives the same text back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/registry.h"

namespace zantor {

// A value line: a value to set, or with `remove` one to delete.
struct RegFileValue {
    std::string name;  // "" is the default value, written @
    bool remove = false;
    platform::DWORD type = platform::REG_NONE;
    std::string data;  // the bytes as the registry keeps them
    int line = 0;      // where it stood in the parsed text; 0 when built in code
};

// A key section and the value lines below it.
struct RegFileKey {
    std::string path;  // the whole path, its root in the long form and no trailing backslash
    bool remove = false;
    std::vector<RegFileValue> values;
    int line = 0;
};

struct RegFile {
    std::vector<RegFileKey> keys;
};

// Where and why parsing, importing or exporting failed.
struct RegFileError {
    int line = 0;  // the line of the text, 0 when no line is to blame
    std::string reason;
};

// Parses a .reg text. On failure returns kErrorInvalidData (or the failure's number) and fills
// `error` with the first bad line; `file` then holds what came before it.
platform::Win32Error ParseRegFile(std::string_view text, RegFile* file, RegFileError* error);

// The canonical text of `file`.
std::string PrintRegFile(const RegFile& file);

// "HKLM\A\B" into its predefined root key, the path below it ("A\B", no outer backslashes) and the
// whole path in canonical form ("HKEY_LOCAL_MACHINE\A\B"). False for an unknown root or an empty
// key name inside the path.
bool SplitRegPath(std::string_view path, platform::HKEY* root, std::string* below,
                  std::string* canonical);

// The key at `path` on `computer` ("" for this one) with all its values and everything below it,
// parent keys before their subkeys, subkeys in the registry's enumeration order, read as one
// consistent state.
platform::Win32Error ExportRegKey(std::string_view computer, std::string_view path, RegFile* file,
                                  RegFileError* error);

// Applies `file` to the registry of `computer`. The changes to each hive land together or not at
// all. Deleting a key or value that is not there is no failure; deleting a whole root is refused
// (kErrorAccessDenied). `error` names the line of the first failure.
platform::Win32Error ImportRegFile(std::string_view computer, const RegFile& file,
                                   RegFileError* error);

// Deletes the key at `path` on `computer` with everything below it; kErrorFileNotFound when it
// is not there, kErrorAccessDenied for a root.
platform::Win32Error DeleteRegKey(std::string_view computer, std::string_view path,
                                  RegFileError* error);

}  // namespace zantor
