// The text form of Kestrune.ini: reading it leniently, writing it in one fixed
// form, and replacing it on disk without ever leaving a half-written file.
// Main thread only (it is a plain value; nothing in it is shared).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrune {

// Entry sections answer with a key's first line, the options section with its
// last: a hand-edited options section is usually fixed by appending a line.
enum class TIniOccurrence { First, Last };

struct TIniSection {
    // As first spelt in the file; a section found by a name of another case
    // keeps this spelling, which callers compare exactly.
    std::string Name;
    // Every key line in file order (lines of joined sections appended).
    std::vector<std::pair<std::string, std::string>> Lines;

    // Keys are compared without regard to ASCII letter case.
    bool HasKey(std::string_view key) const;
    std::optional<std::string_view> Value(std::string_view key, TIniOccurrence which) const;
    std::string ReadString(std::string_view key, const std::string& fallback,
                           TIniOccurrence which) const;
    // The options section's integer reader: last occurrence, decimal or "0x".
    int32_t ReadInteger(std::string_view key, int32_t fallback) const;

    void Add(std::string key, std::string value);
};

// The outcome of reading the file from disk. A missing file is not a fault
// (first run); a file that is there but unreadable is, and says why.
enum class TIniLoadStatus { Loaded, Missing, Failed };

struct TIniLoadResult;

class TIniFile {
public:
    // Larger files are refused rather than read into memory: a settings file
    // is a few hundred bytes per entry.
    static constexpr std::size_t MaxFileSize = 64 * 1024 * 1024;

    // UTF-8 with or without the byte-order mark; CR, LF or CR LF end lines.
    // Sections whose names differ only in case are joined into the first.
    static TIniFile Parse(std::string_view bytes);
    static TIniLoadResult Load(const std::string& path);

    const std::vector<TIniSection>& Sections() const { return mSections; }
    // The section of that name, letter case aside; null when there is none.
    const TIniSection* FindSection(std::string_view name) const;

    // Appends a section for writing. It is not joined with an earlier one of
    // the same name, so entries whose names differ only in case stay apart.
    TIniSection& AddSection(std::string name);

    // Byte-order mark, "key=value" lines ended by CR LF, an empty line after
    // each section. Line breaks inside a name, key or value become spaces so
    // that no text can turn into lines of its own. A value that the reader
    // would change (blanks at either end) is written in double quotes, which
    // the reader takes off.
    std::string ToBytes() const;

    // Writes a temporary file beside `path` (private to its owner, or with the
    // mode of the file it replaces), flushes it to disk and renames it
    // over `path`, so the old file stays whole if anything fails. Returns
    // nothing on success, else the reason.
    std::optional<std::string> Save(const std::string& path) const;

private:
    std::vector<TIniSection> mSections;
};

struct TIniLoadResult {
    TIniLoadStatus Status = TIniLoadStatus::Missing;
    std::string Reason; // set when Failed
    TIniFile File;      // set when Loaded
};

// The replacing write behind TIniFile::Save, for any file that must never be
// seen half-written. Returns nothing on success, else the reason.
std::optional<std::string> ReplaceFileContents(const std::string& path, std::string_view bytes);

} // namespace kestrune
