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

// quorvane-cli.exe beside this program's build folder, started and waited for; -1 when it
// could not start or did not exit with status 0.
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
    DWORD status = 1;
    ::GetExitCodeProcess(process.hProcess, &status);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return status == 0 ? seconds : -1;
}

// The number of files in `folder`.
std::size_t Count(const fs::path& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
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
        // Random bytes may begin like an MP3 frame, of a kind the desktop asks about first.
        bytes.replace(0, 4, "DAT\n");
        std::FILE* file = ::_wfopen(path.c_str(), L"wb");
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        files.push_back(path.wstring());
    }
    // The paths go in a list: a command line ends at 32,767 characters, far short of them.
    const fs::path list = root / L"files.txt";
    {
        std::FILE* file = ::_wfopen(list.c_str(), L"wb");
        for (const std::wstring& path : files) {
            const std::u8string utf8 = fs::path(path).u8string();
            std::fwrite(utf8.data(), 1, utf8.size(), file);
            std::fputc('\n', file);
        }
        std::fclose(file);
    }
    const std::wstring cliArguments = L"sign --text bench --out \"" + out.wstring() +
                                      L"\" --files-from \"" + list.wstring() + L"\"";

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
            if (Count(out) != files.size()) {
                std::fprintf(stderr, "the desktop batch wrote %zu copies of %zu\n", Count(out),
                             files.size());
                return 3;
            }
        }
    }
    for (int run = 0; run < kRuns; ++run) {
        const std::pair<std::vector<double>*, const wchar_t*> variants[] = {
            {&cliDefault, L""}, {&cliOne, L" --jobs 1"}};
        for (const auto& [times, extra] : variants) {
            Empty(out);
            const double seconds = RunCli(cliArguments + extra);
            if (seconds < 0 || Count(out) != files.size()) {
                std::fprintf(stderr, "quorvane-cli.exe failed or wrote %zu copies of %zu\n",
                             Count(out), files.size());
                return 4;
            }
            times->push_back(seconds);
        }
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
