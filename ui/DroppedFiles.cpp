#include "DroppedFiles.h"

#include "FileOps.h"

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <memory>
#include <type_traits>

namespace {

struct FindCloser {
    void operator()(HANDLE find) const { ::FindClose(find); }
};
using UniqueFind = std::unique_ptr<std::remove_pointer_t<HANDLE>, FindCloser>;

std::vector<std::wstring> FilesInFolder(const std::wstring& folder) {
    std::wstring prefix = folder;
    if (prefix.back() != L'\\' && prefix.back() != L'/')
        prefix += L'\\';
    const std::wstring pattern = LongPath(prefix + L'*').native();
    WIN32_FIND_DATAW data{};
    const HANDLE first = ::FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data,
                                            FindExSearchNameMatch, nullptr, 0);
    if (first == INVALID_HANDLE_VALUE)
        return {};
    const UniqueFind find(first);
    constexpr DWORD kSkipped =
        FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
    std::vector<std::wstring> names;
    do {
        if (!(data.dwFileAttributes & kSkipped))
            names.emplace_back(data.cFileName);
    } while (::FindNextFileW(find.get(), &data));
    std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
        return ::StrCmpLogicalW(a.c_str(), b.c_str()) < 0;
    });
    for (std::wstring& name : names)
        name.insert(0, prefix);
    return names;
}

} // namespace

DroppedFiles FilesOfDrop(const std::vector<std::wstring>& paths) {
    DroppedFiles result;
    for (const std::wstring& path : paths) {
        const DWORD attributes =
            path.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesW(LongPath(path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            result.missing.push_back(path);
        } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
            std::vector<std::wstring> files = FilesInFolder(path);
            result.files.insert(result.files.end(), files.begin(), files.end());
        } else {
            result.files.push_back(path);
        }
    }
    return result;
}

std::uint64_t FileSizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (path.empty() ||
        !::GetFileAttributesExW(LongPath(path).c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::wstring PathKey(const std::wstring& path) {
    std::wstring key = path;
    if (!key.empty())
        ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, path.c_str(),
                        static_cast<int>(path.size()), key.data(), static_cast<int>(key.size()),
                        nullptr, nullptr, 0);
    return key;
}
