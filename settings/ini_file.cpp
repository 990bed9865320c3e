#include "settings/ini_file.h"

#include "platform/file_replace.h"

#include "platform/text.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

// A line without its line break.
std::string bare(const std::string& line) {
    size_t end = line.size();
    if (end > 0 && line[end - 1] == '\n')
        --end;
    if (end > 0 && line[end - 1] == '\r')
        --end;
    return line.substr(0, end);
}

std::string lineBreakOf(const std::string& line) {
    return line.substr(bare(line).size());
}

// The line break of new lines: that of the file's first line, else "\n".
std::string fileLineBreak(const std::vector<std::string>& lines) {
    for (const auto& line : lines)
        if (!line.empty() && line.back() == '\n')
            return lineBreakOf(line);
    return "\n";
}

// Gives a last line without a break its break before lines follow it.
void endLastLine(std::vector<std::string>& lines) {
    if (!lines.empty() && !lines.back().empty() && lines.back().back() != '\n')
        lines.back() += fileLineBreak(lines);
}

bool isBlankLine(const std::string& line) {
    return trimBlanks(bare(line)).empty();
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
        if (!sectionName(bare(lines[i]), name) || !sameName(name, section))
            continue;
        size_t end = i + 1;
        std::string other;
        while (end < lines.size() && !sectionName(bare(lines[end]), other))
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

// The read value of the first entry `key` of `section`; returns the index of
// its line, or 0 when there is none (a section line always comes first).
size_t findValue(const std::vector<std::string>& lines, const std::string& section,
                 const std::string& key, std::string& value) {
    for (const auto& range : findSections(lines, section)) {
        std::string k, raw;
        for (size_t i = range.header + 1; i < range.end; ++i)
            if (entry(bare(lines[i]), k, raw) && sameName(k, key)) {
                value = limitChars(unquoted(raw), maxValueChars);
                return i;
            }
    }
    return 0;
}

void eraseSections(std::vector<std::string>& lines, const std::vector<SectionRange>& sections) {
    for (auto it = sections.rbegin(); it != sections.rend(); ++it)
        lines.erase(lines.begin() + static_cast<std::ptrdiff_t>(it->header),
                    lines.begin() + static_cast<std::ptrdiff_t>(it->end));
}

// A new section at the end of the file, a blank line before it.
void appendSection(std::vector<std::string>& lines, const std::string& section,
                   const std::vector<std::string>& body) {
    const std::string br = fileLineBreak(lines);
    endLastLine(lines);
    if (!lines.empty() && !isBlankLine(lines.back()))
        lines.push_back(br);
    lines.push_back("[" + section + "]" + br);
    lines.insert(lines.end(), body.begin(), body.end());
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

TIniText parseIniText(const std::string& bytes) {
    TIniText text;
    size_t pos = 0;
    if (bytes.rfind("\xEF\xBB\xBF", 0) == 0) {
        text.bom = bytes.substr(0, 3);
        pos = 3;
    }
    while (pos < bytes.size()) {
        const size_t newline = bytes.find('\n', pos);
        const size_t end = newline == std::string::npos ? bytes.size() : newline + 1;
        text.lines.push_back(bytes.substr(pos, end - pos));
        pos = end;
    }
    return text;
}

std::string iniTextBytes(const TIniText& text) {
    std::string bytes = text.bom;
    for (const auto& line : text.lines)
        bytes += line;
    return bytes;
}

TIniText TIniFile::text() const {
    if (updating_)
        return pending_;
    // Non-blocking, so that a pipe put in the file's place cannot hold the reader.
    const int fd = open(fileName_.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return {};
        throw EIniFileError(
            Format("Unable to read %s: %s", fileName_.c_str(), std::strerror(errno)));
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        throw EIniFileError(Format("Unable to read %s: %s", fileName_.c_str(),
                                   S_ISDIR(st.st_mode) ? std::strerror(EISDIR) : "not a file"));
    }
    std::string bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(fd, buffer, sizeof buffer);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            close(fd);
            throw EIniFileError(
                Format("Unable to read %s: %s", fileName_.c_str(), std::strerror(error)));
        }
        bytes.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return parseIniText(bytes);
}

bool iniReadValue(const TIniText& text, const std::string& section, const std::string& key,
                  std::string& value) {
    return findValue(text.lines, section, key, value) != 0;
}

std::vector<std::string> iniSectionKeys(const TIniText& text, const std::string& section) {
    std::vector<std::string> keys;
    for (const auto& range : findSections(text.lines, section)) {
        std::string k, raw;
        for (size_t i = range.header + 1; i < range.end; ++i)
            if (entry(bare(text.lines[i]), k, raw) &&
                std::none_of(keys.begin(), keys.end(),
                             [&k](const std::string& known) { return sameName(known, k); }))
                keys.push_back(k);
    }
    return keys;
}

std::string TIniFile::ReadString(const std::string& section, const std::string& key,
                                 const std::string& defaultValue) const {
    std::string value;
    return iniReadValue(text(), section, key, value) ? value : defaultValue;
}

int32_t TIniFile::ReadInteger(const std::string& section, const std::string& key,
                              int32_t defaultValue) const {
    int32_t value;
    return parseIniInteger(ReadString(section, key, ""), value) ? value : defaultValue;
}

std::vector<std::string> TIniFile::ReadSection(const std::string& section) const {
    return iniSectionKeys(text(), section);
}

TIniText& TIniFile::edit() {
    if (!updating_)
        pending_ = text();
    return pending_;
}

void TIniFile::commit() {
    if (!updating_)
        store(pending_);
}

void TIniFile::WriteString(const std::string& section, const std::string& key,
                           const std::string& value) {
    auto& all = edit().lines;
    const std::string stored = storedValue(value);
    const std::string br = fileLineBreak(all);
    const std::string line = trimBlanks(key) + "=" + stored + br;
    const auto sections = findSections(all, section);
    if (sections.empty()) {
        appendSection(all, section, {line});
    } else {
        bool replaced = false;
        for (const auto& range : sections) {
            std::string k, raw;
            for (size_t i = range.header + 1; i < range.end && !replaced; ++i)
                if (entry(bare(all[i]), k, raw) && sameName(k, key)) {
                    // The name keeps its spelling, the line its break.
                    all[i] = k + "=" + stored + lineBreakOf(all[i]);
                    replaced = true;
                }
        }
        if (!replaced) {
            // After the last non-blank line of the first such section.
            size_t at = sections.front().end;
            while (at > sections.front().header + 1 && isBlankLine(all[at - 1]))
                --at;
            if (at == all.size())
                endLastLine(all);
            all.insert(all.begin() + static_cast<std::ptrdiff_t>(at), line);
        }
    }
    commit();
}

void TIniFile::WriteInteger(const std::string& section, const std::string& key, int32_t value) {
    WriteString(section, key, std::to_string(value));
}

void TIniFile::EraseSection(const std::string& section) {
    auto& all = edit().lines;
    eraseSections(all, findSections(all, section));
    commit();
}

void TIniFile::ReplaceSection(const std::string& section,
                              const std::vector<std::pair<std::string, std::string>>& entries) {
    auto& all = edit().lines;
    const std::string br = fileLineBreak(all);
    std::vector<std::string> body;
    for (const auto& [key, value] : entries) {
        std::string current;
        const size_t at = findValue(all, section, key, current);
        if (at != 0 && current == value) {
            body.push_back(all[at]);
            if (body.back().back() != '\n')
                body.back() += br;
        } else {
            body.push_back(trimBlanks(key) + "=" + storedValue(value) + br);
        }
    }
    auto sections = findSections(all, section);
    if (sections.empty() || entries.empty()) {
        eraseSections(all, sections);
        if (!entries.empty())
            appendSection(all, section, body);
        commit();
        return;
    }
    // The first copy keeps its place, its section line and the blank lines
    // that end it; the others go.
    const SectionRange first = sections.front();
    sections.erase(sections.begin());
    eraseSections(all, sections);
    size_t bodyEnd = first.end;
    while (bodyEnd > first.header + 1 && isBlankLine(all[bodyEnd - 1]))
        --bodyEnd;
    all.erase(all.begin() + static_cast<std::ptrdiff_t>(first.header + 1),
              all.begin() + static_cast<std::ptrdiff_t>(bodyEnd));
    if (first.header + 1 == all.size())
        endLastLine(all);
    all.insert(all.begin() + static_cast<std::ptrdiff_t>(first.header + 1), body.begin(),
               body.end());
    commit();
}

void TIniFile::Update(const std::function<void()>& changes) {
    pending_ = text();
    updating_ = true;
    try {
        changes();
    } catch (...) {
        updating_ = false;
        pending_ = {};
        throw;
    }
    updating_ = false;
    store(pending_);
    pending_ = {};
}

void TIniFile::store(const TIniText& text) {
    if (replaceFileContents(writeTarget(fileName_), iniTextBytes(text)) != 0)
        throw EIniFileError(Format("Unable to write to %s", fileName_.c_str()));
}
