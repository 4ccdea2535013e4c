// A stand-in web browser for the help tests: writes the arguments it was started with, one per
// line in UTF-8, to the file named by QUORVANE_RECORDER_OUTPUT. The file appears complete or not
// at all (written beside it, then renamed), so a test can wait for it.
#include <windows.h>
#include <shellapi.h>

#include "WideUtf8.h"

#include <cstdio>
#include <memory>
#include <string>

namespace {

std::wstring Environment(const wchar_t* name) {
    const DWORD size = ::GetEnvironmentVariableW(name, nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    value.resize(::GetEnvironmentVariableW(name, value.data(), size));
    return value;
}

struct LocalFreer {
    void operator()(void* memory) const { ::LocalFree(memory); }
};

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, LPWSTR, int) {
    const std::wstring output = Environment(L"QUORVANE_RECORDER_OUTPUT");
    if (output.empty())
        return 2;
    int count = 0;
    const std::unique_ptr<LPWSTR, LocalFreer> args(
        ::CommandLineToArgvW(::GetCommandLineW(), &count));
    if (!args)
        return 3;

    std::string lines;
    for (int i = 1; i < count; ++i)
        lines += Utf8(args.get()[i]) + "\n";

    const std::wstring partial = output + L".part";
    {
        const std::unique_ptr<std::FILE, FileCloser> file(::_wfopen(partial.c_str(), L"wb"));
        if (!file || std::fwrite(lines.data(), 1, lines.size(), file.get()) != lines.size())
            return 4;
    }
    return ::MoveFileExW(partial.c_str(), output.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 5;
}
