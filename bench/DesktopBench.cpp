// The desktop program's batch against quorvane-cli.exe on the same 2,000 small files (100 B to
// 20 KB), under the same Wine, as ratios measured in one run:
//   desktop / quorvane-cli.exe with its default jobs (one per processor)
//   desktop / quorvane-cli.exe --jobs 1
// The desktop side is the real program in this process: its add-signature page with the files
// listed, "Encrypt Files", the progress window and the summary, through the scripted seam.
// Each side runs five times into an emptied folder; the median run of each is reported.
//
//   scripts/wine-run build/windows/bench/desktop_bench.exe [FILES]
#include "GuiTest.h"
#include "WizardStepTwoEncode.h"
#include "resource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 5;

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Empty(const fs::path& folder) {
    fs::remove_all(folder);
    fs::create_directories(folder);
}

// quorvane-cli.exe beside this program's build folder, started and waited for.
double RunCli(const std::wstring& arguments) {
    std::wstring self(32768, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const fs::path cli = fs::path(self).parent_path().parent_path() / L"cli" / L"quorvane-cli.exe";
    std::wstring command = L"\"" + cli.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const auto start = Clock::now();
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &process))
        return -1;
    ::WaitForSingleObject(process.hProcess, INFINITE);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return seconds;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const int count = argc > 1 ? std::max(1, _wtoi(argv[1])) : 2000;
    const fs::path root = fs::temp_directory_path() / L"quorvane-desktop-bench";
    const fs::path in = root / L"in";
    const fs::path out = root / L"out";
    Empty(in);
    std::mt19937 random(20261208);
    std::vector<std::wstring> files;
    for (int i = 0; i < count; ++i) {
        const fs::path path = in / (L"file" + std::to_wstring(i) + L".dat");
        std::string bytes(100 + random() % (20 * 1024 - 100), '\0');
        for (char& byte : bytes)
            byte = static_cast<char>(random());
        std::FILE* file = ::_wfopen(path.c_str(), L"wb");
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        files.push_back(path.wstring());
    }
    std::wstring cliArguments = L"sign --text bench --out \"" + out.wstring() + L"\"";
    for (const std::wstring& file : files)
        cliArguments += L" \"" + file + L"\"";

    std::vector<double> desktop, cliDefault, cliOne;
    {
        CDesktopSession session(L"Quorvane.exe");
        for (int run = 0; run < kRuns; ++run) {
            Click(session.StepWindow(), IDC_ADD_SIGNATURE);
            PumpPending();
            auto* step = dynamic_cast<CWizardStepTwoEncode*>(session.Step());
            if (!step)
                return 2;
            step->SetFileList(files);
            ::SetDlgItemTextW(step->m_hWnd, IDC_DEST_FOLDER, out.c_str());
            const HWND signature = ::GetDlgItem(step->m_hWnd, IDC_SIGNATURE);
            ::SendMessageW(signature, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"bench"));
            Empty(out);
            session.Seam().AnswerMessageBox(IDOK); // the summary
            const auto start = Clock::now();
            Click(step->m_hWnd, IDC_ENCRYPT_FILES);
            desktop.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            PumpPending();
            if (fs::directory_iterator(out) == fs::directory_iterator())
                return 3;
        }
    }
    for (int run = 0; run < kRuns; ++run) {
        Empty(out);
        cliDefault.push_back(RunCli(cliArguments));
        Empty(out);
        cliOne.push_back(RunCli(cliArguments + L" --jobs 1"));
    }
    fs::remove_all(root);

    const double ours = Median(desktop);
    std::printf("%d files of 100 B to 20 KB, median of %d runs\n", count, kRuns);
    std::printf("desktop batch                      %.3f s\n", ours);
    std::printf("quorvane-cli.exe (default jobs)    %.3f s   ratio %.2f\n", Median(cliDefault),
                ours / Median(cliDefault));
    std::printf("quorvane-cli.exe --jobs 1          %.3f s   ratio %.2f\n", Median(cliOne),
                ours / Median(cliOne));
    return 0;
}
