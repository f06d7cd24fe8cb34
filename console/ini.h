// INI (profile) files: the console's configuration files, read and written key by key the way the
// Windows profile functions do, so that a file saved over keeps everything it does not rewrite.
//
// A file is loaded into an IniFile, read and changed in memory, and saved back in one step
// (platform ReplaceFileContents): a save that fails leaves the file exactly as it was, so a
// caller that writes many keys and saves once never leaves half of them behind.
//
// The text, one line at a time (a line ends at LF; a CR before the LF belongs to the line end):
//
//   ; comment                  a line whose first non-blank character is ';'
//   [Section]                  a header: after leading blanks '[', the name, and the line's
//                              first ']'; blanks around the name are not part of it and whatever
//                              follows the ']' is ignored. A '[' line without ']' is an ordinary
//                              line.
//   Key = value                a key line: the name is what stands before the first '=', the
//                              value what follows it
//   anything else              (no '=', blank lines) kept, never read
//
// Blanks are space, tab, CR, VT and FF. Text is 8-bit and kept as it is; a UTF-8 byte-order mark
// at the start is skipped for reading and kept.
//
// Reading:
// - Section and key names match in any letter case (ASCII letters).
// - The first section of a name is the one read and written; a later section of the same name is
//   kept as it is and never read. Within a section the first line of a key is the one read and
//   written; later lines of the same key are kept and never read.
// - Lines before the first header belong to no section: they are kept and never read.
// - A value is read without the blanks at either end, and then without one pair of enclosing
//   quotes when it is at least two characters long and starts and ends with the same quote
//   character (' or ").
// - A missing section or key gives the default, without its trailing blanks (as the profile
//   functions give it).
// - GetInt reads the value as GetPrivateProfileInt does: a missing key and an empty value give the
//   default. Otherwise leading blanks are skipped, then an optional '+' or '-', then a base prefix
//   "0x" (hexadecimal), "0o" (octal) or "0b" (binary), in lower case only, else decimal, then as
//   many digits of that base as follow; the rest of the value is ignored ("12abc" is 12). A value
//   with no digits there is 0, not the default ("abc" is 0). The digits are summed in 32 bits
//   that wrap around, the sign is applied, and the 32 bits are read as a signed number, so
//   "4294967297" is 1, "2147483648" is -2147483648 and "-3" is -3.
//
// Writing (WriteString, WriteInt):
// - A key that exists is rewritten in its line, in its place: the line keeps everything before
//   its value (indentation, the name in its own letter case, the blanks around '='). A write that
//   would not change what the key reads leaves its line exactly as it was.
// - A new key goes at the end of its section: after the section's last key line or, in a section
//   without keys, after its header and the comment lines directly below it; blank lines and
//   comments that end a section stay where they are.
// - A new section is appended at the end of the file, after one blank line when the file does not
//   already end with a blank line.
// - New lines end as the file's first line does (CR LF or LF); a new file's lines end in CR LF. A
//   file that did not end with a line end still does not.
// - A value that reading would change (blanks at either end, or an enclosing pair of quotes) is
//   written inside double quotes, so that it reads back as it was written.
// - Refused, with kErrorInvalidParameter and nothing changed: a value holding CR, LF or NUL, which
//   no line can carry; a section name that is empty or holds CR, LF, NUL or ']' or has blanks at
//   either end; a key name that is empty, holds CR, LF, NUL or '=', has blanks at either end, or
//   starts with ';' or '['. Reads with such names find nothing and give the default.
//
// Memory: the text is held once, as read; a header or key line costs 8 bytes more, and a run of
// other lines (comments, blank lines) 8 bytes in all. Lookups of sections are by binary search,
// of keys by a walk over their section; ForEachKey walks a section once.
//
// Errors are Win32 numbers (platform/errors.h), also left as the thread's last error. Threads: an
// IniFile is a plain value; share one only as any other value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

namespace zantor {

class IniFile {
  public:
    // Files larger than this are refused on loading (kErrorFileTooLarge): a configuration of 256
    // addresses with a hundred filters each is about 3 MB.
    static constexpr std::size_t kMaxFileSize = 64u << 20;

    // An empty document.
    IniFile() = default;

    // The document that `text` holds.
    static IniFile Parse(std::string text);

    // Loads the file (a Windows path, as platform/files.h takes it). A missing file, or one in a
    // missing directory, loads as an empty document and is no failure. Any other failure (a
    // directory, an unknown computer, no access, too large) returns its number and leaves the
    // document as it was.
    platform::Win32Error Load(const std::string& fileName);

    // Writes the document to the file in one step; on failure the file is as it was before.
    platform::Win32Error Save(const std::string& fileName) const;

    // The document's text, as Save writes it.
    std::string Text() const;

    bool HasKey(std::string_view section, std::string_view key) const;
    std::string GetString(std::string_view section, std::string_view key,
                          std::string_view defaultValue) const;
    std::int32_t GetInt(std::string_view section, std::string_view key,
                        std::int32_t defaultValue) const;
    bool HasSection(std::string_view section) const;

    // Every key line of the section in file order, later lines of a name included: the name as
    // written and the value as GetString reads it (both valid until the document changes).
    void ForEachKey(
        std::string_view section,
        const std::function<void(std::string_view name, std::string_view value)>& fn) const;

    platform::Win32Error WriteString(std::string_view section, std::string_view key,
                                     std::string_view value);
    // The number in decimal.
    platform::Win32Error WriteInt(std::string_view section, std::string_view key,
                                  std::int32_t value);

  private:
    enum class Kind : std::uint32_t { kLines = 0, kHeader = 1, kKey = 2 };
    // A header or key line (its text, without the line end that follows it in text_), or a run
    // of other lines with their line ends.
    struct Record {
        std::uint32_t offset;
        std::uint32_t packed;  // the kind in the top two bits, the size below
        Kind kind() const { return static_cast<Kind>(packed >> 30); }
        std::uint32_t size() const { return packed & ((1u << 30) - 1); }
    };
    static Record Make(Kind kind, std::size_t offset, std::size_t size);

    std::string_view TextOf(const Record& r) const { return {text_.data() + r.offset, r.size()}; }
    // The line end after a header or key line.
    std::string_view EndOf(const Record& r) const;
    std::string_view SectionName(std::size_t section) const;
    // The records of section `section`: [first, last); 0 is the lines before any header.
    std::size_t First(std::size_t section) const { return sections_[section]; }
    std::size_t Last(std::size_t section) const {
        return section + 1 < sections_.size() ? sections_[section + 1] : records_.size();
    }
    // The section's number, or 0 when there is none of that name.
    std::size_t FindSection(std::string_view name) const;
    const Record* FindKey(std::string_view section, std::string_view key) const;
    // Appends `line` + `end` to text_ and returns the record of the line.
    platform::Win32Error AppendLine(Kind kind, std::string_view line, std::string_view end,
                                    Record& record);
    void Insert(std::size_t section, std::size_t at, Record record);
    bool EndsWithBlankLine() const;

    std::string bom_;
    std::string text_;                        // the file's bytes, then the lines writes add
    std::vector<Record> records_;             // in document order
    std::vector<std::uint32_t> sections_{0};  // the first record of each section
    std::vector<std::uint32_t> byName_;       // section numbers, by folded name, then number
    std::string lineEnd_ = "\r\n";            // for new lines: the first line's end
    bool finalLineEnd_ = true;                // whether the text ends with a line end
};

}  // namespace zantor
