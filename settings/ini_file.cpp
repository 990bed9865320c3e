#include "settings/ini_file.h"

#include "platform/file_replace.h"

#include "platform/text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr size_t maxValueChars = 2047;

bool isBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string trimBlanks(const std::string& text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isBlank(text[begin]))
        ++begin;
    while (end > begin && isBlank(text[end - 1]))
        --end;
    return text.substr(begin, end - begin);
}

bool sameName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

bool isQuote(char c) {
    return c == '"' || c == '\'';
}

// The name of a section line ("[name]"), or false for other lines.
bool sectionName(const std::string& line, std::string& name) {
    const std::string t = trimBlanks(line);
    if (t.empty() || t.front() != '[')
        return false;
    const size_t close = t.find(']');
    name = trimBlanks(t.substr(1, close == std::string::npos ? std::string::npos : close - 1));
    return true;
}

// Key and raw value of an entry line ("key=value").
bool entry(const std::string& line, std::string& key, std::string& value) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos)
        return false;
    key = trimBlanks(line.substr(0, eq));
    value = line.substr(eq + 1);
    return !key.empty();
}

std::string unquoted(const std::string& raw) {
    std::string v = trimBlanks(raw);
    if (v.size() >= 2 && isQuote(v.front()) && v.front() == v.back())
        v = v.substr(1, v.size() - 2);
    return v;
}

// Cuts a UTF-8 text after `limit` characters.
std::string limitChars(const std::string& text, size_t limit) {
    size_t chars = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (chars == limit)
                return text.substr(0, i);
            ++chars;
        }
    }
    return text;
}

// A value as written: line breaks would start new lines of the file, and
// blanks at the ends or enclosing quotes would be lost when read back, so such
// a value is written inside quotes.
std::string storedValue(const std::string& value) {
    std::string v = value;
    std::replace_if(
        v.begin(), v.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    const bool needsQuotes = (!v.empty() && (isBlank(v.front()) || isBlank(v.back()))) ||
                             (v.size() >= 2 && isQuote(v.front()) && v.front() == v.back());
    return needsQuotes ? "\"" + v + "\"" : v;
}

struct SectionRange {
    size_t header; // index of the section line
    size_t end;    // one past its last line
};

std::vector<SectionRange> findSections(const std::vector<std::string>& lines,
                                       const std::string& section) {
    std::vector<SectionRange> found;
    std::string name;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (!sectionName(lines[i], name) || !sameName(name, section))
            continue;
        size_t end = i + 1;
        std::string other;
        while (end < lines.size() && !sectionName(lines[end], other))
            ++end;
        found.push_back({i, end});
    }
    return found;
}

// The file a write replaces: a symbolic link is followed, so a settings file
// kept elsewhere stays where it is.
std::string writeTarget(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        if (char* real = realpath(path.c_str(), nullptr)) {
            std::string target = real;
            free(real);
            return target;
        }
    }
    return path;
}

} // namespace

bool parseIniInteger(const std::string& text, int32_t& value) {
    std::string t = trimBlanks(text);
    bool negative = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        negative = t[0] == '-';
        t.erase(0, 1);
    }
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.erase(0, 2);
    }
    if (t.empty())
        return false;
    int64_t magnitude = 0;
    for (char c : t) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        magnitude = magnitude * base + digit;
        if (magnitude > int64_t(INT32_MAX) + 1)
            return false;
    }
    const int64_t result = negative ? -magnitude : magnitude;
    if (result > INT32_MAX || result < INT32_MIN)
        return false;
    value = static_cast<int32_t>(result);
    return true;
}

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

std::vector<std::string> TIniFile::lines() const {
    if (updating_)
        return pending_;
    std::vector<std::string> result;
    std::ifstream in(fileName_, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        result.push_back(std::move(line));
    }
    if (!result.empty() && result[0].rfind("\xEF\xBB\xBF", 0) == 0)
        result[0].erase(0, 3);
    return result;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
    const auto all = lines();
    for (const auto& range : findSections(all, section)) {
        std::string k, raw;
        for (size_t i = range.header + 1; i < range.end; ++i)
            if (entry(all[i], k, raw) && sameName(k, key))
                return limitChars(unquoted(raw), maxValueChars);
    }
    return defaultValue;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t defaultValue) const {
    int32_t value;
    return parseIniInteger(ReadString(section, key, ""), value) ? value : defaultValue;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    const auto all = lines();
    std::vector<std::string> keys;
    for (const auto& range : findSections(all, section)) {
        std::string k, raw;
        for (size_t i = range.header + 1; i < range.end; ++i)
            if (entry(all[i], k, raw) &&
                std::none_of(keys.begin(), keys.end(),
                             [&k](const std::string& known) { return sameName(known, k); }))
                keys.push_back(k);
    }
    return keys;
}

std::vector<std::string>& TIniFile::edit() {
    if (!updating_)
        pending_ = lines();
    return pending_;
}

void TIniFile::commit() {
    if (!updating_)
        store(pending_);
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    auto& all = edit();
    const std::string stored = storedValue(value);
    const std::string line = trimBlanks(key) + "=" + stored;
    const auto sections = findSections(all, section);
    if (sections.empty()) {
        if (!all.empty() && !trimBlanks(all.back()).empty())
            all.emplace_back();
        all.push_back("[" + section + "]");
        all.push_back(line);
    } else {
        bool replaced = false;
        for (const auto& range : sections) {
            std::string k, raw;
            for (size_t i = range.header + 1; i < range.end && !replaced; ++i)
                if (entry(all[i], k, raw) && sameName(k, key)) {
                    all[i] = k + "=" + stored; // the name keeps its spelling
                    replaced = true;
                }
        }
        if (!replaced) {
            // After the last non-blank line of the first such section.
            size_t at = sections.front().end;
            while (at > sections.front().header + 1 && trimBlanks(all[at - 1]).empty())
                --at;
            all.insert(all.begin() + static_cast<std::ptrdiff_t>(at), line);
        }
    }
    commit();
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::EraseSection(const std::string& section) {
    auto& all = edit();
    const auto sections = findSections(all, section);
    for (auto it = sections.rbegin(); it != sections.rend(); ++it)
        all.erase(all.begin() + static_cast<std::ptrdiff_t>(it->header),
                  all.begin() + static_cast<std::ptrdiff_t>(it->end));
    commit();
}

void TIniFile::ReplaceSection(const std::string& section,
                              const std::vector<std::pair<std::string, std::string>>& entries) {
    auto& all = edit();
    const auto sections = findSections(all, section);
    for (auto it = sections.rbegin(); it != sections.rend(); ++it)
        all.erase(all.begin() + static_cast<std::ptrdiff_t>(it->header),
                  all.begin() + static_cast<std::ptrdiff_t>(it->end));
    if (!entries.empty()) {
        if (!all.empty() && !trimBlanks(all.back()).empty())
            all.emplace_back();
        all.push_back("[" + section + "]");
        for (const auto& [key, value] : entries)
            all.push_back(trimBlanks(key) + "=" + storedValue(value));
    }
    commit();
}

void TIniFile::Update(const std::function<void()>& changes) {
    pending_ = lines();
    updating_ = true;
    try {
        changes();
    } catch (...) {
        updating_ = false;
        pending_.clear();
        throw;
    }
    updating_ = false;
    store(pending_);
    pending_.clear();
}

void TIniFile::store(const std::vector<std::string>& all) {
    std::string text;
    for (const auto& line : all)
        text += line + "\n";

    if (replaceFileContents(writeTarget(fileName_), text) != 0)
        throw EIniFileError(Format("Unable to write to %s", fileName_.c_str()));
}
