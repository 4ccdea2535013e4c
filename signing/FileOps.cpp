// The file operations that are the same on every platform; what differs is in
// FileOpsPosix.cpp and FileOpsWindows.cpp.
#include "ByteIo.h"
#include "FileErrors.h"
#include "FileIdentity.h"
#include "FileOps.h"
#include "FileOpsPlatform.h"
#include "FileStreams.h"
#include "PendingOutput.h"
#include "RunOutputs.h"
#include "TestHooks.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iterator>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

namespace {

class CFileErrorCategory : public std::error_category {
public:
    const char* name() const noexcept override { return "quorvane"; }
    std::string message(int value) const override {
        switch (static_cast<FileError>(value)) {
        case FileError::NotRegularFile:
            return "not a regular file";
        case FileError::NameTooLong:
            return "file name too long";
        case FileError::WrittenThisRun:
            return "written earlier in this run";
        case FileError::OutsideOutputFolder:
            return "outside the output folder";
        case FileError::ReadOnly:
            return "the file is read-only";
        case FileError::SourceChanged:
            return "changed while it was read";
        case FileError::OutputIsSource:
            return "the output is the source itself";
        case FileError::LinkInOutputFolder:
            return "a link inside the output folder, not followed";
        }
        return "unknown error";
    }
};

} // namespace

const std::error_category& FileErrorCategory() {
    static const CFileErrorCategory category;
    return category;
}

std::error_code make_error_code(FileError error) {
    return {static_cast<int>(error), FileErrorCategory()};
}

std::string ErrorText(const std::error_code& error) {
    std::string text =
        error.category() == FileErrorCategory() ? error.message() : platform::MessageOf(error);
    // Some runtimes end their texts with a period or a line break.
    while (!text.empty() &&
           (text.back() == '\n' || text.back() == '\r' || text.back() == '.' || text.back() == ' '))
        text.pop_back();
    return text;
}

bool IsDirectory(const fs::path& path) {
    if (path.empty())
        return false;
    std::error_code error;
    return fs::is_directory(LongPath(platform::WithoutTrailingSeparators(path)), error);
}

bool CanReadFile(const fs::path& path) {
    return platform::HasAccess(path, platform::Access::Read);
}

bool StaysInside(const fs::path& subfolder) {
    if (subfolder.has_root_path())
        return false;
    for (const fs::path& part : subfolder)
        if (part == "..")
            return false;
    return true;
}

bool SameFile(const fs::path& a, const fs::path& b) {
    std::error_code error;
    return fs::equivalent(LongPath(a), LongPath(b), error);
}

void CRunOutputs::Add(const fs::path& output, const fs::path& source) {
    const std::optional<std::uint64_t> key = OutputKeyOf(output);
    if (!key)
        return;
    m_recent.push_back(*key);
    // Merged when the new keys are a quarter of the old: each key is moved a few times.
    if (m_recent.size() >= std::max<std::size_t>(256, m_sorted.size() / 4)) {
        std::sort(m_recent.begin(), m_recent.end());
        std::vector<std::uint64_t> merged;
        merged.reserve(m_sorted.size() + m_recent.size());
        std::merge(m_sorted.begin(), m_sorted.end(), m_recent.begin(), m_recent.end(),
                   std::back_inserter(merged));
        m_sorted.swap(merged);
        m_recent.clear();
    }
    // In the order written: an output written again names its later source.
    m_sources.emplace_back(*key, source);
    if (m_sources.size() > kRemembered)
        m_sources.pop_front();
}

bool CRunOutputs::Holds(std::uint64_t key) const {
    return std::binary_search(m_sorted.begin(), m_sorted.end(), key) ||
           std::find(m_recent.begin(), m_recent.end(), key) != m_recent.end();
}

const fs::path* CRunOutputs::WrittenFrom(const fs::path& output) const {
    if (m_sorted.empty() && m_recent.empty())
        return nullptr;
    const std::optional<std::uint64_t> key = OutputKeyOf(output);
    if (!key || !Holds(*key))
        return nullptr;
    for (auto known = m_sources.rbegin(); known != m_sources.rend(); ++known)
        if (known->first == *key)
            return &known->second;
    return &m_forgotten;
}

std::optional<std::string> CFileStreams::Read(const fs::path& file, std::u16string_view name,
                                              std::error_code& error) {
    return platform::ReadStream(file, name, error);
}

bool CFileStreams::Write(const fs::path& file, std::u16string_view name, const std::string& bytes,
                         std::error_code& error) {
    return platform::WriteStream(file, name, bytes, error);
}

CFileStreams& DefaultFileStreams() {
    static CFileStreams plain;
    CFileStreams* hooked = ActiveTestHooks().fileStreams;
    return hooked != nullptr ? *hooked : plain;
}

void CByteIo::Begin(std::FILE*, std::FILE*) {}

std::size_t CByteIo::Read(std::FILE* file, void* buffer, std::size_t bytes) {
    return FileRead(file, buffer, bytes);
}

std::size_t CByteIo::Write(std::FILE* file, const void* buffer, std::size_t bytes) {
    return FileWrite(file, buffer, bytes);
}

bool CByteIo::Flush(std::FILE* file) {
    return std::fflush(file) == 0 && !std::ferror(file);
}

namespace {

// Records why a copy failed: the error of the call that failed (errno was cleared before it),
// an input/output error where it set none (a short read or write).
bool Failed(CopyFault& fault, bool reading) {
    fault.reading = reading;
    fault.error = LastError();
    if (!fault.error)
        fault.error = std::make_error_code(std::errc::io_error);
    return false;
}

} // namespace

std::error_code CheckUnchanged(std::FILE* source, const FileFacts& opened) {
    std::error_code error;
    const std::optional<FileFacts> now = platform::FactsOf(source, error);
    if (!now)
        return error ? error : std::make_error_code(std::errc::io_error);
    if (now->size != opened.size || now->modified != opened.modified ||
        now->changed != opened.changed)
        return FileError::SourceChanged;
    return {};
}

bool CopyToEnd(CByteIo& io, std::FILE* source, std::FILE* target, std::vector<std::uint8_t>& buffer,
               const CopyProgress& progress, CopyFault* fault) {
    CopyFault ignored;
    CopyFault& why = fault != nullptr ? *fault : ignored;
    io.Begin(source, target);
    if (!io.SeesEveryByte()) {
        if (const std::optional<bool> copied =
                platform::SystemCopyToEnd(io, source, target, buffer, progress, why))
            return *copied;
    }
    buffer.resize(kCopyBlockBytes);
    std::uint64_t copied = 0;
    for (;;) {
        ClearLastError();
        const std::size_t got = io.Read(source, buffer.data(), buffer.size());
        if (got < buffer.size() && (std::ferror(source) || !std::feof(source)))
            return Failed(why, true);
        ClearLastError();
        if (got > 0 && io.Write(target, buffer.data(), got) != got)
            return Failed(why, false);
        copied += got;
        if (got > 0 && progress && !progress(copied))
            return false;
        if (got < buffer.size())
            return true;
    }
}

bool EndRequestWaiting() {
    return platform::EndRequestWaiting();
}

void StopInCopyIfTestAsks(const fs::path& source) {
    static std::atomic<bool> stopped{false};
    const fs::path& name = ActiveTestHooks().stopInCopyOf;
    if (!name.empty() && source.filename() == name && !stopped.exchange(true))
        platform::StopForTest();
}

CByteIo& DefaultByteIo() {
    static CByteIo plain;
    CByteIo* hooked = ActiveTestHooks().byteIo;
    return hooked != nullptr ? *hooked : plain;
}

bool CopyCount(CByteIo& io, std::FILE* source, std::FILE* target, std::int64_t count,
               std::vector<std::uint8_t>& buffer, CopyFault* fault, const CopyProgress& progress) {
    std::uint64_t copied = 0;
    CopyFault ignored;
    CopyFault& why = fault != nullptr ? *fault : ignored;
    io.Begin(source, target);
    buffer.resize(kCopyBlockBytes);
    while (count > 0) {
        const std::size_t want = count < static_cast<std::int64_t>(buffer.size())
                                     ? static_cast<std::size_t>(count)
                                     : buffer.size();
        ClearLastError();
        const std::size_t got = io.Read(source, buffer.data(), want);
        // A source that ends early is one that changed since its size was known.
        if (got != want && !std::ferror(source) && std::feof(source)) {
            why = {true, make_error_code(FileError::SourceChanged)};
            return false;
        }
        if (got != want)
            return Failed(why, true);
        ClearLastError();
        if (io.Write(target, buffer.data(), got) != got)
            return Failed(why, false);
        count -= static_cast<std::int64_t>(got);
        copied += got;
        if (progress && !progress(copied))
            return false;
    }
    return true;
}
