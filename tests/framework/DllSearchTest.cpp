// Quorvane.exe and quorvane-cli.exe started for real, beside a planted DLL and in a current
// folder that holds another: once running, asked to load either by its name, they load neither,
// and SearchPath looks in the current folder last.
#include "TempDir.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <type_traits>

namespace fs = std::filesystem;

namespace {

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, HandleCloser>;

fs::path TestFolder() {
    std::wstring self(32768, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    return fs::path(self).parent_path();
}

// `text` copied into `process`, or null.
LPVOID CopyInto(HANDLE process, const std::wstring& text) {
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    void* copy =
        ::VirtualAllocEx(process, nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (!copy || !::WriteProcessMemory(process, copy, text.c_str(), bytes, nullptr)) {
        ADD_FAILURE() << "cannot write into the process: " << ::GetLastError();
        return nullptr;
    }
    return copy;
}

// The low half of what kernel32's `function` returns when a thread of `process` calls it with
// `argument`, as the program's code (or a system DLL's) would.
DWORD CallIn(HANDLE process, const char* function, LPVOID argument) {
    // kernel32 lies at the same address in every process.
    const auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"kernel32.dll"), function)));
    const UniqueHandle thread(
        ::CreateRemoteThread(process, nullptr, 0, start, argument, 0, nullptr));
    DWORD result = 0;
    if (!thread || ::WaitForSingleObject(thread.get(), INFINITE) != WAIT_OBJECT_0 ||
        !::GetExitCodeThread(thread.get(), &result))
        ADD_FAILURE() << "cannot run " << function << " in the process: " << ::GetLastError();
    return result;
}

TEST(DllSearchTest, TheProgramsLoadNoDllPlantedBesideThemOrInTheCurrentFolder) {
    const fs::path beside = TestFolder() / L"quorvane_planted.dll";
    ASSERT_TRUE(fs::exists(beside));
    TempDir current;
    const fs::path here = current / L"quorvane_planted_here.dll";
    fs::copy_file(beside, here);
    // Each program opens this pipe as a file to check, well past its start-up, refuses it and
    // waits: Quorvane.exe on the message that says so, quorvane-cli.exe on standard input.
    const std::wstring pipeName =
        L"\\\\.\\pipe\\quorvane-dll-search-" + std::to_wstring(::GetCurrentProcessId());
    const struct {
        const wchar_t* program;
        const wchar_t* before;
        const wchar_t* after;
    } programs[] = {
        {L"Quorvane.exe", L" /check ", L""},
        {L"quorvane-cli.exe", L" check --jobs 1 ", L" -"},
    };
    for (const auto& [program, before, after] : programs) {
        const fs::path path = TestFolder() / program;
        SCOPED_TRACE(path.string());
        const UniqueHandle pipe(::CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX,
                                                   PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                                   nullptr));
        ASSERT_NE(pipe.get(), INVALID_HANDLE_VALUE);
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE input[2] = {};
        ASSERT_TRUE(::CreatePipe(&input[0], &input[1], &inherit, 0));
        UniqueHandle inRead(input[0]), inWrite(input[1]);
        ::SetHandleInformation(inWrite.get(), HANDLE_FLAG_INHERIT, 0);
        const UniqueHandle nul(::CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit,
                                             OPEN_EXISTING, 0, nullptr));
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = inRead.get();
        startup.hStdOutput = startup.hStdError = nul.get();
        std::wstring command = L"\"" + path.wstring() + L"\"" + before + pipeName + after;
        PROCESS_INFORMATION started{};
        ASSERT_TRUE(::CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, TRUE, 0,
                                     nullptr, current.Path().c_str(), &startup, &started));
        const UniqueHandle process(started.hProcess), thread(started.hThread);
        inRead.reset();
        ASSERT_TRUE(::ConnectNamedPipe(pipe.get(), nullptr) ||
                    ::GetLastError() == ERROR_PIPE_CONNECTED);

        const auto load = [&](const fs::path& name) {
            return CallIn(process.get(), "LoadLibraryW", CopyInto(process.get(), name));
        };
        EXPECT_EQ(load(beside.filename()), 0u) << "beside the program";
        EXPECT_EQ(load(here.filename()), 0u) << "in the current folder";
        EXPECT_NE(load(here), 0u) << "by its full path";
        // SearchPath's safe mode, for good: it cannot be turned off.
        EXPECT_EQ(CallIn(process.get(), "SetSearchPathMode",
                         reinterpret_cast<LPVOID>(BASE_SEARCH_PATH_DISABLE_SAFE_SEARCHMODE)),
                  0u);
        ::TerminateProcess(process.get(), 0);
        ::WaitForSingleObject(process.get(), INFINITE);
    }
}

} // namespace
