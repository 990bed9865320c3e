#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// A write to the settings file that the system refused ("Unable to write to
// <path>"), or a file that exists but cannot be read ("Unable to read <path>:
// <reason>"); the message names the file.
class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The text of an INI file split into lines, each kept with its line break
// exactly as read (the last one may have none), so that joining them gives the
// file's bytes back. Bytes are taken as they are: the file is UTF-8 as the
// program writes it, and anything else in it is kept byte for byte.
struct TIniText {
    std::string bom; // a UTF-8 byte order mark that began the file
    std::vector<std::string> lines;
};
TIniText parseIniText(const std::string& bytes);
std::string iniTextBytes(const TIniText& text);
// Reads of a text as TIniFile reads its file: the value of the first entry
// `key` in a section `section` (false when there is none), and the key names
// of every copy of a section in file order, each name once.
bool iniReadValue(const TIniText& text, const std::string& section, const std::string& key,
                  std::string& value);
std::vector<std::string> iniSectionKeys(const TIniText& text, const std::string& section);

// An INI file read and written entry by entry, the way the private-profile
// functions do it: section and key names match without regard to case, every
// read looks at the file as it is now, and every write goes to the file at
// once. A write replaces the whole file atomically (temporary file, then
// rename), so a crash or a full disk never leaves a truncated file, and
// changes only the lines it edits: every other byte is written back as read.
// A missing file reads as empty; a file that exists but cannot be read (a
// folder in its place, no permission) fails reads and writes with
// EIniFileError rather than passing for empty and being overwritten.
class TIniFile {
public:
    explicit TIniFile(std::string fileName);

    const std::string& FileName() const { return fileName_; }

    // Values are read up to 2047 characters; blanks around a value and one
    // pair of matching quotes are removed.
    std::string ReadString(const std::string& section, const std::string& key,
                           const std::string& defaultValue) const;
    // Decimal, or hexadecimal with a 0x prefix; anything else gives the default.
    int32_t ReadInteger(const std::string& section, const std::string& key,
                        int32_t defaultValue) const;
    // Key names of a section in file order.
    std::vector<std::string> ReadSection(const std::string& section) const;

    // Writes fail with EIniFileError; what was written before stays.
    void WriteString(const std::string& section, const std::string& key, const std::string& value);
    void WriteInteger(const std::string& section, const std::string& key, int32_t value);
    void EraseSection(const std::string& section);
    // Makes `entries` the content of the section, in their order, with the
    // section erased where else it occurs. A line whose key and value read as
    // the new ones is kept as it stands, with its spelling, blanks, quotes,
    // line break and any bytes past the 2047 characters a read returns.
    void ReplaceSection(const std::string& section,
                        const std::vector<std::pair<std::string, std::string>>& entries);
    // Runs `changes` (writes and erasures of this object) against one copy of
    // the file and replaces the file once at the end, so the file holds either
    // all of them or none. An error from `changes` discards them all.
    void Update(const std::function<void()>& changes);

private:
    TIniText text() const;
    void store(const TIniText& text);
    TIniText& edit();
    void commit();

    std::string fileName_;
    bool updating_ = false;
    TIniText pending_; // the file's text while updating_ or editing
};

// Integer text as the settings file accepts it: optional sign, decimal digits
// or 0x and hexadecimal digits, within 32 bits.
bool parseIniInteger(const std::string& text, int32_t& value);
