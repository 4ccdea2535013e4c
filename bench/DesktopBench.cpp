// The desktop program's batch against quorvane-cli.exe on the same small files (100 B to 20 KB),
// under the same Wine. The desktop side is the real program in this process: its add-signature
// page with the files listed, "Encrypt Files", the progress window and the summary, through the
// scripted seam. quorvane-cli.exe gets the files in a list (--files-from): a command line ends
// at 32,767 characters. Every run must exit with status 0 and leave one copy per file, or the
// benchmark fails without a figure.
//
//   scripts/wine-run build/windows/bench/desktop_bench.exe [FILES]
//       times, as ratios measured in one run (2,000 files unless FILES; each side five times
//       into an emptied folder, the median run of each):
//         desktop / quorvane-cli.exe with its default jobs (one per processor)
//         desktop / quorvane-cli.exe --jobs 1
//   scripts/wine-run build/windows/bench/desktop_bench.exe --requests [FILES]
//       one batch of one file and one of FILES (200 unless given) on each side, between marks
//       that bench/wine_requests.py finds in the trace of a wineserver started with -d1.
#include "GuiTest.h"
#include "WizardStepTwoEncode.h"
#include "resource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRuns = 5;

struct HandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using UniqueFile = std::unique_ptr<std::FILE, FileCloser>;

std::string Utf8(const fs::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void Empty(const fs::path& folder) {
    fs::remove_all(folder);
    fs::create_directories(folder);
}

// The number of files in `folder`.
std::size_t Count(const fs::path& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

// Fails the benchmark unless `who` left one copy per file in `out`.
void ExpectCopies(const fs::path& out, std::size_t files, const char* who) {
    const std::size_t copies = Count(out);
    if (copies != files)
        throw std::runtime_error(std::string(who) + " wrote " + std::to_string(copies) +
                                 " copies of " + std::to_string(files));
}

void WriteFile(const fs::path& path, const std::string& bytes) {
    const UniqueFile file(::_wfopen(path.c_str(), L"wb"));
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
        std::fflush(file.get()) != 0)
        throw std::runtime_error("cannot write " + Utf8(path));
}

// `count` files of 100 B to 20 KB in `folder`.
std::vector<std::wstring> MakeFiles(const fs::path& folder, int count) {
    Empty(folder);
    std::mt19937 random(20261208);
    std::vector<std::wstring> files;
    for (int i = 0; i < count; ++i) {
        const fs::path path = folder / (L"file" + std::to_wstring(i) + L".dat");
        std::string bytes(100 + random() % (20 * 1024 - 100), '\0');
        for (char& byte : bytes)
            byte = static_cast<char>(random());
        // Random bytes may begin like an MP3 frame, of a kind the desktop asks about first.
        bytes.replace(0, 4, "DAT\n");
        WriteFile(path, bytes);
        files.push_back(path.wstring());
    }
    return files;
}

// A list for --files-from: one UTF-8 path a line.
void WriteList(const fs::path& list, const std::vector<std::wstring>& files) {
    std::string text;
    for (const std::wstring& path : files)
        text += Utf8(path) + '\n';
    WriteFile(list, text);
}

// A mark in the trace of a wineserver started with -d1, which shows the names of new objects.
void Mark(const std::string& label, const char* where) {
    const std::wstring name =
        L"quorvane-requests " + fs::path(label).wstring() + L" " + fs::path(where).wstring();
    const UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, name.c_str()));
    if (!event)
        throw std::runtime_error("cannot mark the trace");
}

// quorvane-cli.exe beside this program's build folder with `arguments`, started and waited for:
// its seconds. Fails the benchmark unless it exits with status 0.
double RunCli(const std::wstring& arguments, const std::string& mark = {}) {
    std::wstring self(32768, L'\0');
    self.resize(::GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size())));
    const fs::path cli = fs::path(self).parent_path().parent_path() / L"cli" / L"quorvane-cli.exe";
    std::wstring command = L"\"" + cli.wstring() + L"\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!mark.empty())
        Mark(mark, "begin");
    const auto start = Clock::now();
    if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW,
                          nullptr, nullptr, &startup, &process))
        throw std::runtime_error("quorvane-cli.exe did not start");
    const UniqueHandle thread(process.hThread), child(process.hProcess);
    ::WaitForSingleObject(child.get(), INFINITE);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!mark.empty())
        Mark(mark, "end");
    DWORD status = 1;
    if (!::GetExitCodeProcess(child.get(), &status) || status != 0)
        throw std::runtime_error("quorvane-cli.exe exited with status " + std::to_string(status));
    return seconds;
}

// One batch of the desktop program over `files` into an emptied `out`: its seconds, from the
// click on "Encrypt Files" to the summary answered.
double DesktopBatch(CDesktopSession& session, const std::vector<std::wstring>& files,
                    const fs::path& out, const std::string& mark = {}) {
    Click(session.StepWindow(), IDC_ADD_SIGNATURE);
    PumpPending();
    auto* step = dynamic_cast<CWizardStepTwoEncode*>(session.Step());
    if (!step)
        throw std::runtime_error("the add-signature page did not open");
    step->SetFileList(files);
    ::SetDlgItemTextW(step->m_hWnd, IDC_DEST_FOLDER, out.c_str());
    const HWND signature = ::GetDlgItem(step->m_hWnd, IDC_SIGNATURE);
    ::SendMessageW(signature, EM_SETSEL, 0, -1);
    ::SendMessageW(signature, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"bench"));
    Empty(out);
    session.Seam().AnswerMessageBox(IDOK); // the summary
    if (!mark.empty())
        Mark(mark, "begin");
    const auto start = Clock::now();
    Click(step->m_hWnd, IDC_ENCRYPT_FILES);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (!mark.empty())
        Mark(mark, "end");
    PumpPending();
    ExpectCopies(out, files.size(), "the desktop batch");
    return seconds;
}

std::wstring CliArguments(const fs::path& out, const fs::path& list) {
    return L"sign --text bench --out \"" + out.wstring() + L"\" --files-from \"" + list.wstring() +
           L"\"";
}

// The marked runs for bench/wine_requests.py: after a run of one file that is not counted
// (whatever happens once per process or per session), one file, then `count`, on each side.
void MarkRequests(const std::vector<std::wstring>& files, const fs::path& root) {
    const fs::path out = root / L"out";
    const std::vector<std::wstring> one(files.begin(), files.begin() + 1);
    const std::string many = std::to_string(files.size());
    {
        CDesktopSession session(L"Quorvane.exe");
        DesktopBatch(session, one, out);
        DesktopBatch(session, one, out, "desktop 1");
        DesktopBatch(session, files, out, "desktop " + many);
    }
    const fs::path oneList = root / L"one.txt", manyList = root / L"files.txt";
    WriteList(oneList, one);
    WriteList(manyList, files);
    for (const auto& [list, mark] :
         {std::pair{oneList, std::string()}, {oneList, "cli 1"}, {manyList, "cli " + many}}) {
        Empty(out);
        RunCli(CliArguments(out, list), mark);
        ExpectCopies(out, list == oneList ? 1 : files.size(), "quorvane-cli.exe");
    }
    std::printf("marked: desktop and cli, 1 and %zu files, every copy made\n", files.size());
}

void MeasureTimes(const std::vector<std::wstring>& files, const fs::path& root) {
    const fs::path out = root / L"out";
    const fs::path list = root / L"files.txt";
    WriteList(list, files);
    std::vector<double> desktop, cliDefault, cliOne;
    {
        CDesktopSession session(L"Quorvane.exe");
        for (int run = 0; run < kRuns; ++run)
            desktop.push_back(DesktopBatch(session, files, out));
    }
    for (int run = 0; run < kRuns; ++run) {
        const std::pair<std::vector<double>*, const wchar_t*> variants[] = {
            {&cliDefault, L""}, {&cliOne, L" --jobs 1"}};
        for (const auto& [times, extra] : variants) {
            Empty(out);
            times->push_back(RunCli(CliArguments(out, list) + extra));
            ExpectCopies(out, files.size(), "quorvane-cli.exe");
        }
    }
    const double ours = Median(desktop);
    std::printf("%zu files of 100 B to 20 KB, median of %d runs\n", files.size(), kRuns);
    std::printf("desktop batch                      %.3f s\n", ours);
    std::printf("quorvane-cli.exe (default jobs)    %.3f s   ratio %.2f\n", Median(cliDefault),
                ours / Median(cliDefault));
    std::printf("quorvane-cli.exe --jobs 1          %.3f s   ratio %.2f\n", Median(cliOne),
                ours / Median(cliOne));
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const bool requests = argc > 1 && std::wstring(argv[1]) == L"--requests";
    const int given = argc > (requests ? 2 : 1) ? _wtoi(argv[requests ? 2 : 1]) : 0;
    const int count = given > 1 ? given : requests ? 200 : 2000;
    const fs::path root = fs::temp_directory_path() / L"quorvane-desktop-bench";
    try {
        const std::vector<std::wstring> files = MakeFiles(root / L"in", count);
        if (requests)
            MarkRequests(files, root);
        else
            MeasureTimes(files, root);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "desktop_bench: %s: no figures\n", failure.what());
        return 1;
    }
    fs::remove_all(root);
    return 0;
}
