#include "base/IniFile.h"

#include "base/Text.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>
#include <unordered_map>

namespace kestrune {

namespace {

constexpr std::string_view Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) {
    return static_cast<unsigned char>(c) <= 32;
}

// A value is read trimmed, so one that begins or ends with blanks is written
// in quotes, which the reader takes off again. A value that already looks
// like that (quotes around blank-edged or quoted text) is quoted once more,
// so that it too reads back as it was. Other values are written as they are.
bool IsWrapped(std::string_view v) {
    if (v.size() < 2 || v.front() != '"' || v.back() != '"')
        return false;
    const std::string_view inner = v.substr(1, v.size() - 2);
    return (!inner.empty() && (IsBlank(inner.front()) || IsBlank(inner.back()))) ||
           (inner.size() >= 2 && inner.front() == '"' && inner.back() == '"');
}

bool NeedsQuotes(std::string_view v) {
    return (!v.empty() && (IsBlank(v.front()) || IsBlank(v.back()))) || IsWrapped(v);
}

std::string_view Unquoted(std::string_view v) {
    return IsWrapped(v) ? v.substr(1, v.size() - 2) : v;
}

// A line break inside a written text would end its line early and let the
// rest be read as a key or even a section of its own.
void AppendOneLine(std::string& out, std::string_view text) {
    for (char c : text)
        out += (c == '\r' || c == '\n') ? ' ' : c;
}

std::string SystemMessage(int error) {
    return std::generic_category().message(error);
}

} // namespace

bool TIniSection::HasKey(std::string_view key) const {
    for (const auto& line : Lines)
        if (SameIgnoringCase(line.first, key))
            return true;
    return false;
}

std::optional<std::string_view> TIniSection::Value(std::string_view key,
                                                   TIniOccurrence which) const {
    const std::pair<std::string, std::string>* found = nullptr;
    for (const auto& line : Lines) {
        if (!SameIgnoringCase(line.first, key))
            continue;
        found = &line;
        if (which == TIniOccurrence::First)
            break;
    }
    if (!found)
        return std::nullopt;
    return std::string_view(found->second);
}

std::string TIniSection::ReadString(std::string_view key, const std::string& fallback,
                                    TIniOccurrence which) const {
    auto value = Value(key, which);
    return value ? std::string(*value) : fallback;
}

int32_t TIniSection::ReadInteger(std::string_view key, int32_t fallback) const {
    auto value = Value(key, TIniOccurrence::Last);
    if (!value)
        return fallback;
    return ParseWholeNumber(*value, TRadix::DecimalOrHex).value_or(fallback);
}

void TIniSection::Add(std::string key, std::string value) {
    Lines.emplace_back(std::move(key), std::move(value));
}

TIniFile TIniFile::Parse(std::string_view bytes) {
    TIniFile file;
    if (bytes.substr(0, Bom.size()) == Bom)
        bytes.remove_prefix(Bom.size());
    std::unordered_map<std::string, std::size_t> byLowerName;
    std::optional<std::size_t> current; // none until the first section opens
    while (!bytes.empty()) {
        const std::size_t end = bytes.find_first_of("\r\n");
        std::string_view line = TrimBlanks(bytes.substr(0, end));
        if (end == std::string_view::npos)
            bytes = {};
        else
            bytes.remove_prefix(bytes.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1);

        if (line.empty() || line.front() == ';')
            continue;
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            const std::string_view name = TrimBlanks(line.substr(1, line.size() - 2));
            auto [it, added] = byLowerName.try_emplace(LowerAscii(name), file.mSections.size());
            if (added)
                file.mSections.push_back(TIniSection{std::string(name), {}});
            current = it->second;
            continue;
        }
        const std::size_t eq = line.find('=');
        if (!current || eq == std::string_view::npos)
            continue;
        file.mSections[*current].Add(std::string(TrimBlanks(line.substr(0, eq))),
                                     std::string(Unquoted(TrimBlanks(line.substr(eq + 1)))));
    }
    return file;
}

TIniLoadResult TIniFile::Load(const std::string& path) {
    TIniLoadResult result;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        if (error == ENOENT || error == ENOTDIR)
            return result; // Missing
        result.Status = TIniLoadStatus::Failed;
        result.Reason = "cannot open " + path + ": " + SystemMessage(error);
        return result;
    }
    // Each failure names the system's reason, taken before anything else can
    // change errno.
    auto fail = [&](int error, const char* detail = nullptr) {
        ::close(fd);
        result.Status = TIniLoadStatus::Failed;
        result.Reason = "cannot read " + path + ": " + (detail ? detail : SystemMessage(error));
        return result;
    };
    // O_NONBLOCK only keeps a FIFO from holding up the open; such files are
    // refused here before anything is read.
    struct stat info {};
    if (::fstat(fd, &info) != 0)
        return fail(errno);
    if (S_ISDIR(info.st_mode))
        return fail(EISDIR);
    if (!S_ISREG(info.st_mode))
        return fail(0, "not a regular file");

    const std::string tooLarge =
        "larger than " + std::to_string(MaxFileSize / (1024 * 1024)) + " MB";
    std::string bytes;
    char block[65536];
    for (;;) {
        const ssize_t n = ::read(fd, block, sizeof block);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail(errno);
        if (n == 0)
            break;
        bytes.append(block, static_cast<std::size_t>(n));
        if (bytes.size() > MaxFileSize)
            return fail(0, tooLarge.c_str());
    }
    ::close(fd);
    result.Status = TIniLoadStatus::Loaded;
    result.File = Parse(bytes);
    return result;
}

const TIniSection* TIniFile::FindSection(std::string_view name) const {
    for (const auto& section : mSections)
        if (SameIgnoringCase(section.Name, name))
            return &section;
    return nullptr;
}

TIniSection& TIniFile::AddSection(std::string name) {
    mSections.push_back(TIniSection{std::move(name), {}});
    return mSections.back();
}

std::string TIniFile::ToBytes() const {
    std::string out(Bom);
    for (const auto& section : mSections) {
        out += '[';
        AppendOneLine(out, section.Name);
        out += "]\r\n";
        for (const auto& [key, value] : section.Lines) {
            AppendOneLine(out, key);
            out += '=';
            if (NeedsQuotes(value)) {
                out += '"';
                AppendOneLine(out, value);
                out += '"';
            } else {
                AppendOneLine(out, value);
            }
            out += "\r\n";
        }
        out += "\r\n";
    }
    return out;
}

std::optional<std::string> TIniFile::Save(const std::string& path) const {
    return ReplaceFileContents(path, ToBytes());
}

std::optional<std::string> ReplaceFileContents(const std::string& path, std::string_view bytes) {
    // Through a symbolic link, replace the file it names and keep the link.
    std::error_code ec;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(path, ec);
    const std::string target = ec || resolved.empty() ? path : resolved.string();
    std::string dir = std::filesystem::path(target).parent_path().string();
    if (dir.empty())
        dir = ".";

    struct stat old {};
    const bool hadOld = ::stat(target.c_str(), &old) == 0 && S_ISREG(old.st_mode);

    // The name is unique within this process, and O_EXCL steps over a stale
    // one left by a crash of another.
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    int error = 0;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        temp = target + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        // Private until it is known to replace a file that was not: the
        // file may hold proxy passwords.
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        error = errno;
        if (fd < 0 && error != EEXIST)
            break;
    }
    if (fd < 0)
        return "cannot create a temporary file beside " + target + ": " + SystemMessage(error);
    if (hadOld)
        (void)::fchmod(fd, old.st_mode & 07777); // a file kept private stays private

    auto fail = [&](const char* what, const std::string& file, int err) {
        if (fd >= 0)
            ::close(fd);
        ::unlink(temp.c_str());
        return std::string(what) + file + ": " + SystemMessage(err);
    };
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return fail("cannot write ", temp, errno);
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    if (::fsync(fd) != 0)
        return fail("cannot write ", temp, errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0)
        return fail("cannot write ", temp, errno);
    if (::rename(temp.c_str(), target.c_str()) != 0)
        return fail("cannot replace ", target, errno);

    // Make the rename itself durable; the new contents are already safe, so a
    // failure here is not worth reporting.
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        (void)::fsync(dirFd);
        ::close(dirFd);
    }
    return std::nullopt;
}

} // namespace kestrune
