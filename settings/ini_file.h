#pragma once

#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

// A write to the settings file that the system refused; the message names the
// file ("Unable to write to <path>").
class EIniFileError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// An INI file read and written entry by entry, the way the private-profile
// functions do it: section and key names match without regard to case, every
// read looks at the file as it is now, and every write goes to the file at
// once. A write replaces the whole file atomically (temporary file, then
// rename), so a crash or a full disk never leaves a truncated file.
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
    // EraseSection followed by a WriteString of each entry (distinct keys) in
    // one pass over the file: the section ends up at the end of the file.
    void ReplaceSection(const std::string& section,
                        const std::vector<std::pair<std::string, std::string>>& entries);

    // Runs `changes` (writes and erasures of this object) against one copy of
    // the file and replaces the file once at the end, so the file holds either
    // all of them or none. An error from `changes` discards them all.
    void Update(const std::function<void()>& changes);

private:
    std::vector<std::string> lines() const;
    void store(const std::vector<std::string>& lines);
    std::vector<std::string>& edit();
    void commit();

    std::string fileName_;
    bool updating_ = false;
    std::vector<std::string> pending_; // the file's lines while updating_
};

// Integer text as the settings file accepts it: optional sign, decimal digits
// or 0x and hexadecimal digits, within 32 bits.
bool parseIniInteger(const std::string& text, int32_t& value);
