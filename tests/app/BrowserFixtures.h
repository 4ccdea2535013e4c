// Scoped changes of the test prefix's state for the help and About tests: the registered
// browser command, the current directory, an environment variable and a file.
#pragma once

#include <winsock2.h>
#include <windows.h>

#include "Handles.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

// Sets the registry value `name` (empty: the key's default value) of `subkey` below `root`
// (nothing: removes it) and puts the previous state back when destroyed.
class CScopedRegistryValue {
public:
    CScopedRegistryValue(HKEY root, const std::wstring& subkey, const std::wstring& name,
                         const std::optional<std::wstring>& value);
    ~CScopedRegistryValue();
    CScopedRegistryValue(const CScopedRegistryValue&) = delete;
    CScopedRegistryValue& operator=(const CScopedRegistryValue&) = delete;

    bool Applied() const { return m_applied; }

private:
    std::wstring m_name;
    UniqueRegKey m_key;
    bool m_applied = false;
    bool m_hadValue = false;
    DWORD m_oldType = REG_SZ;
    std::vector<BYTE> m_oldValue;
};

// The browser registered for web addresses: HKEY_CLASSES_ROOT\http\shell\open\command.
class CScopedBrowserCommand : public CScopedRegistryValue {
public:
    explicit CScopedBrowserCommand(const std::optional<std::wstring>& command)
        : CScopedRegistryValue(HKEY_CLASSES_ROOT, L"http\\shell\\open\\command", L"", command) {}
};

class CScopedCurrentDirectory {
public:
    explicit CScopedCurrentDirectory(const std::filesystem::path& directory);
    ~CScopedCurrentDirectory();
    CScopedCurrentDirectory(const CScopedCurrentDirectory&) = delete;
    CScopedCurrentDirectory& operator=(const CScopedCurrentDirectory&) = delete;

private:
    std::filesystem::path m_previous;
};

class CScopedEnvironment {
public:
    CScopedEnvironment(std::wstring name, const std::wstring& value);
    ~CScopedEnvironment();
    CScopedEnvironment(const CScopedEnvironment&) = delete;
    CScopedEnvironment& operator=(const CScopedEnvironment&) = delete;

private:
    std::wstring m_name;
};

// A file that exists for the object's lifetime.
class CScopedFile {
public:
    CScopedFile(std::filesystem::path path, const std::string& content);
    ~CScopedFile();
    CScopedFile(const CScopedFile&) = delete;
    CScopedFile& operator=(const CScopedFile&) = delete;

private:
    std::filesystem::path m_path;
};

// The folder of the running test program.
std::filesystem::path ProgramDirectory();
// The current directory.
std::wstring CurrentDirectory();
