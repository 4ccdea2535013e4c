// The desktop program against quorvane-cli.exe on the same small files (100 B to 20 KB), under
// the same Wine. The desktop side is the real program in this process, started as
// "Quorvane.exe FOLDER" (Add Signature with the folder's files), with the scripted seam in place
// of the message boxes: "Encrypt Files" pressed through the message loop, timed until the
// summary box comes; the progress window, the look at each file's kind and every event of the
// run included. quorvane-cli.exe gets the files in a list (--files-from): a command line ends at
// 32,767 characters. Every run must exit with status 0 (the desktop: show its summary and no
// other box) and leave exactly a signed copy of each file, each read back, or the benchmark
// fails without a figure.
//
//   scripts/wine-run build/windows/bench/desktop_bench.exe [--runs N] [FILES...]
//       desktop / quorvane-cli.exe (default jobs: one per processor) for 2,000 and 20,000 files
//       unless FILES are given; the two sides take turns going first, N runs each (by default
//       five, three above 5,000 files) into an emptied folder, and the medians are compared.
//       Under Wine a file made in a folder of many costs more with each file there: 20,000
//       files take far more than ten times 2,000, on both sides.
//   scripts/wine-run build/windows/bench/desktop_bench.exe --requests [FILES]
//       one batch of one file and one of FILES (200 unless given) on each side, between marks
//       that bench/wine_requests.py finds in the trace of a wineserver started with -d1.
#include "GuiTest.h"
#include "Signature.h"
#include "WizardStepTwoEncode.h"
#include "resource.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

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

// Fails the benchmark unless `out` holds exactly a signed copy of each of `files`: its name,
// the source's bytes and a trailer with the text "bench".
void ExpectSignedCopies(const fs::path& out, const std::vector<std::wstring>& files,
                        const char* who) {
    ExpectCopies(out, files.size(), who);
    for (const std::wstring& source : files) {
        const fs::path path(source);
        const fs::path copy =
            out / (path.stem().wstring() + L"_signed" + path.extension().wstring());
        const UniqueFile file(::_wfopen(copy.c_str(), L"rb"));
        const std::optional<SignatureInfo> info =
            file ? ReadSignatureInfo(file.get()) : std::nullopt;
        std::error_code error;
        if (!info || info->text != u"bench" ||
            fs::file_size(copy, error) != fs::file_size(path, error) + TrailerBytes(5))
            throw std::runtime_error(std::string(who) + ": " + Utf8(copy) +
                                     " is no signed copy of its source");
    }
}

// Quorvane.exe started in this process on the folder `in` ("Quorvane.exe FOLDER" opens Add
// Signature with the folder's files), the output folder and the text typed, "Encrypt Files"
// pressed through the message loop: the seconds from the press to the summary box, which the
// scripted seam answers. Any other box fails the benchmark (it would wait for the user).
double WindowBatch(const fs::path& in, std::size_t count, const fs::path& out) {
    Empty(out);
    CDesktopSession session(L"Quorvane.exe \"" + in.wstring() + L"\"");
    auto* step = dynamic_cast<CWizardStepTwoEncode*>(session.Step());
    if (!session.Started() || !step || step->FileList().size() != count)
        throw std::runtime_error("Quorvane.exe did not open Add Signature with the files");
    ::SetDlgItemTextW(step->m_hWnd, IDC_DEST_FOLDER, out.c_str());
    const HWND signature = ::GetDlgItem(step->m_hWnd, IDC_SIGNATURE);
    ::SendMessageW(signature, EM_SETSEL, 0, -1);
    ::SendMessageW(signature, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L"bench"));
    const std::wstring expected = std::to_wstring(count) + L" files encrypted succesfully!";
    std::optional<Clock::time_point> summary;
    std::wstring unexpected;
    session.Seam().OnMessageBox([&](const CScriptedSeam::MessageBoxCall& box) {
        if (box.text != expected) {
            unexpected = box.text;
            return IDCANCEL;
        }
        summary = Clock::now();
        return IDOK;
    });
    const HWND button = ::GetDlgItem(step->m_hWnd, IDC_ENCRYPT_FILES);
    const auto pressed = Clock::now();
    ::PostMessageW(button, BM_CLICK, 0, 0);
    if (!PumpUntil([&] { return summary || !unexpected.empty(); }, std::chrono::minutes(30)))
        throw std::runtime_error("the desktop batch showed no summary");
    if (!unexpected.empty())
        throw std::runtime_error("the desktop batch asked: " + Utf8(unexpected));
    return std::chrono::duration<double>(*summary - pressed).count();
}

// `count` files, the desktop's window against quorvane-cli.exe (default jobs), taking turns
// going first, `runs` times each; every output checked before the medians are reported.
void MeasureWindow(const fs::path& root, int count, int runs) {
    const fs::path in = root / L"in", out = root / L"out", list = root / L"files.txt";
    const std::vector<std::wstring> files = MakeFiles(in, count);
    WriteList(list, files);
    std::vector<double> desktop, cli;
    for (int run = 0; run < runs; ++run) {
        for (int side = 0; side < 2; ++side) {
            if ((side + run) % 2 == 0) {
                desktop.push_back(WindowBatch(in, files.size(), out));
                ExpectSignedCopies(out, files, "the desktop batch");
            } else {
                Empty(out);
                cli.push_back(RunCli(CliArguments(out, list)));
                ExpectSignedCopies(out, files, "quorvane-cli.exe");
            }
        }
    }
    std::printf("%d files of 100 B to 20 KB, median of %d runs, every copy read back\n", count,
                runs);
    std::printf("  Quorvane.exe, Encrypt Files to the summary   %.3f s\n", Median(desktop));
    std::printf("  quorvane-cli.exe sign --files-from           %.3f s   ratio %.2f\n", Median(cli),
                Median(desktop) / Median(cli));
    std::fflush(stdout);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const bool requests = argc > 1 && std::wstring(argv[1]) == L"--requests";
    std::vector<int> counts;
    int runs = 0;
    for (int i = requests ? 2 : 1; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--runs" && i + 1 < argc)
            runs = _wtoi(argv[++i]);
        else if (const int given = _wtoi(argv[i]); given > 1)
            counts.push_back(given);
    }
    if (counts.empty())
        counts = requests ? std::vector<int>{200} : std::vector<int>{2000, 20000};
    const fs::path root = fs::temp_directory_path() / L"quorvane-desktop-bench";
    try {
        if (requests)
            MarkRequests(MakeFiles(root / L"in", counts.front()), root);
        for (const int count : requests ? std::vector<int>{} : counts)
            MeasureWindow(root, count, runs > 0 ? runs : count > 5000 ? 3 : 5);
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "desktop_bench: %s: no figures\n", failure.what());
        return 1;
    }
    fs::remove_all(root);
    return 0;
}
