#include "BrowserFixtures.h"

#include <fstream>
#include <stdexcept>
#include <system_error>

CScopedRegistryValue::CScopedRegistryValue(HKEY root, const std::wstring& subkey,
                                           const std::wstring& name,
                                           const std::optional<std::wstring>& value)
    : m_name(name) {
    HKEY key = nullptr;
    if (::RegCreateKeyExW(root, subkey.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                          nullptr) != ERROR_SUCCESS)
        return;
    m_key.reset(key);

    const wchar_t* const valueName = m_name.empty() ? nullptr : m_name.c_str();
    DWORD size = 0;
    if (::RegQueryValueExW(key, valueName, nullptr, &m_oldType, nullptr, &size) == ERROR_SUCCESS) {
        m_oldValue.resize(size);
        m_hadValue = ::RegQueryValueExW(key, valueName, nullptr, &m_oldType, m_oldValue.data(),
                                        &size) == ERROR_SUCCESS;
        m_oldValue.resize(size);
    }
    if (value) {
        m_applied = ::RegSetValueExW(
                        key, valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value->c_str()),
                        static_cast<DWORD>((value->size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    } else {
        const LSTATUS removed = ::RegDeleteValueW(key, valueName);
        m_applied = removed == ERROR_SUCCESS || removed == ERROR_FILE_NOT_FOUND;
    }
}

CScopedRegistryValue::~CScopedRegistryValue() {
    if (!m_key)
        return;
    const wchar_t* const valueName = m_name.empty() ? nullptr : m_name.c_str();
    if (m_hadValue)
        ::RegSetValueExW(m_key.get(), valueName, 0, m_oldType, m_oldValue.data(),
                         static_cast<DWORD>(m_oldValue.size()));
    else
        ::RegDeleteValueW(m_key.get(), valueName);
}

CScopedCurrentDirectory::CScopedCurrentDirectory(const std::filesystem::path& directory)
    : m_previous(std::filesystem::current_path()) {
    std::filesystem::current_path(directory);
}

CScopedCurrentDirectory::~CScopedCurrentDirectory() {
    std::error_code ignored;
    std::filesystem::current_path(m_previous, ignored);
}

CScopedEnvironment::CScopedEnvironment(std::wstring name, const std::wstring& value)
    : m_name(std::move(name)) {
    ::SetEnvironmentVariableW(m_name.c_str(), value.c_str());
}

CScopedEnvironment::~CScopedEnvironment() {
    ::SetEnvironmentVariableW(m_name.c_str(), nullptr);
}

CScopedFile::CScopedFile(std::filesystem::path path, const std::string& content)
    : m_path(std::move(path)) {
    std::ofstream out(m_path, std::ios::binary);
    out << content;
    if (!out.flush())
        throw std::runtime_error("cannot write " + m_path.string());
}

CScopedFile::~CScopedFile() {
    std::error_code ignored;
    std::filesystem::remove(m_path, ignored);
}

std::filesystem::path ProgramDirectory() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    return std::filesystem::path(path).parent_path();
}

std::wstring CurrentDirectory() {
    return std::filesystem::current_path().wstring();
}
