// The pending outputs' parts that are the same on every platform; the files themselves are
// made and named in PendingOutputPosix.cpp and PendingOutputWindows.cpp.
#include "ByteIo.h"
#include "FileErrors.h"
#include "FileOps.h"
#include "FileOpsPlatform.h"
#include "FileStreams.h"
#include "OutputFolder.h"
#include "PendingOutput.h"
#include "TestHooks.h"

#include <atomic>
#include <chrono>
#include <iterator>
#include <mutex>
#include <random>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

using Char = fs::path::value_type;

// A named temporary now pending: its open folder and its name there (POSIX), or its path.
struct Registered {
    int folder;
    fs::path::string_type name;
};

// The named temporaries now pending, for RemovePendingOutputsNow: a signal handler may neither
// lock nor allocate, so it reads these slots as they are.
constexpr int kSlots = 256;
std::atomic<Registered*> g_slots[kSlots];

// Taken while a named temporary is made; after StopAndRemovePendingOutputs none is made.
std::mutex g_making;
bool g_makingStopped = false;

const char kPrefix[] = ".quorvane-";
const char kSuffix[] = ".tmp";

std::string RandomSuffix() {
    static std::atomic<std::uint64_t> counter{0};
    static const std::uint64_t base = [] {
        std::random_device entropy;
        return (std::uint64_t{entropy()} << 32) ^ entropy() ^
               static_cast<std::uint64_t>(
                   std::chrono::steady_clock::now().time_since_epoch().count());
    }();
    std::uint64_t value = base + 0x9E3779B97F4A7C15ull * counter.fetch_add(1);
    value ^= value >> 31;
    static const char digits[] = "0123456789abcdef";
    std::string suffix;
    for (int i = 0; i < 12; ++i, value >>= 4)
        suffix.push_back(digits[value & 0xF]);
    return suffix;
}

// The waits between the tries of a commit refused for a moment: about a second in all, which
// outlasts an antivirus's or an indexer's look at a new file.
constexpr std::chrono::milliseconds kRetryWaits[] = {
    std::chrono::milliseconds(10),  std::chrono::milliseconds(20),  std::chrono::milliseconds(40),
    std::chrono::milliseconds(80),  std::chrono::milliseconds(150), std::chrono::milliseconds(200),
    std::chrono::milliseconds(250), std::chrono::milliseconds(250)};

} // namespace

bool pending::WaitToRetry(int attempt) {
    if (attempt < 1 || attempt > static_cast<int>(std::size(kRetryWaits)))
        return false;
    const std::chrono::milliseconds wait = kRetryWaits[attempt - 1];
    if (const auto& hooked = ActiveTestHooks().commitRetryWait)
        hooked(wait);
    else
        std::this_thread::sleep_for(wait);
    return true;
}

bool pending::NamedTemporaries() {
    return ActiveTestHooks().namedTemporaries;
}

int pending::Register(const COutputFolder& folder, const fs::path& name) {
    const int descriptor = folder.Descriptor();
    auto* entry = new Registered{
        descriptor, descriptor >= 0 ? name.native() : LongPath(folder.Path() / name).native()};
    for (int slot = 0; slot < kSlots; ++slot) {
        Registered* empty = nullptr;
        if (g_slots[slot].compare_exchange_strong(empty, entry))
            return slot;
    }
    delete entry;
    return -1;
}

void pending::Unregister(int& slot) {
    if (slot < 0)
        return;
    delete g_slots[slot].exchange(nullptr);
    slot = -1;
}

fs::path pending::TemporaryName() {
    return fs::path(kPrefix + RandomSuffix() + kSuffix);
}

bool IsPendingOutputName(const fs::path& name) {
    const auto text = name.filename().native();
    const std::size_t prefix = sizeof kPrefix - 1, suffix = sizeof kSuffix - 1;
    if (text.size() < prefix + suffix)
        return false;
    for (std::size_t i = 0; i < prefix; ++i)
        if (text[i] != static_cast<Char>(kPrefix[i]))
            return false;
    for (std::size_t i = 0; i < suffix; ++i)
        if (text[text.size() - suffix + i] != static_cast<Char>(kSuffix[i]))
            return false;
    return true;
}

void RemovePendingOutputsNow() {
    for (auto& slot : g_slots) {
        const Registered* entry = slot.load();
        if (entry == nullptr)
            continue;
        platform::RemoveFileNow(entry->folder, entry->name.c_str());
    }
}

std::unique_lock<std::mutex> pending::LockMaking() {
    return std::unique_lock(g_making);
}

bool pending::MakingStopped() {
    return g_makingStopped;
}

void StopAndRemovePendingOutputs() {
    {
        std::lock_guard lock(g_making);
        g_makingStopped = true;
    }
    // Every temporary was registered before it was made, under the lock: all are seen here.
    // Taking each name out of its slot leaves its owner nothing to free (the process ends).
    for (auto& slot : g_slots)
        if (const Registered* entry = slot.exchange(nullptr))
            platform::RemoveFileNow(entry->folder, entry->name.c_str());
}

CPendingOutput::CPendingOutput() = default;

CPendingOutput::~CPendingOutput() {
    Discard();
}

bool CPendingOutput::Fail(std::error_code error) {
    m_error = error ? error : std::make_error_code(std::errc::io_error);
    Discard();
    return false;
}

void CPendingOutput::RemoveTemporary() {
    m_file.reset();
    if (!m_temporary.empty()) {
        m_folder->Remove(m_temporary);
        m_temporary.clear();
    }
    m_deleteOnClose = false;
    m_streams.clear();
    pending::Unregister(m_slot);
}

bool CPendingOutput::MakeTemporary(const std::function<std::error_code(const fs::path&)>& make) {
    for (int attempt = 0; attempt < 16; ++attempt) {
        const fs::path temporary = pending::TemporaryName();
        const auto making = pending::LockMaking();
        if (pending::MakingStopped())
            return Fail(std::make_error_code(std::errc::interrupted));
        // Known before it exists, so that no moment passes with a file a signal cannot find.
        m_slot = pending::Register(*m_folder, temporary);
        const std::error_code error = make(temporary);
        if (!error) {
            m_temporary = temporary;
            return true;
        }
        pending::Unregister(m_slot);
        if (error != std::errc::file_exists)
            return Fail(error);
    }
    return Fail(std::make_error_code(std::errc::file_exists));
}

bool CPendingOutput::Create(const fs::path& target, std::FILE* modeOf) {
    unsigned mode = 0666;
    std::error_code ignored;
    if (modeOf != nullptr)
        if (const std::optional<FileFacts> facts = platform::FactsOf(modeOf, ignored))
            mode = facts->mode;
    return CreateWithMode(target, mode);
}

bool CPendingOutput::CreateWithMode(const fs::path& target, unsigned mode) {
    Discard();
    std::error_code error;
    OutputFolderPtr opened = COutputFolder::Open(target.parent_path(), {}, error);
    if (!opened)
        return Fail(error);
    return CreateIn(std::move(opened), target.filename(), mode);
}

bool CPendingOutput::Commit(CByteIo& io, bool replace) {
    if (!m_file)
        return Fail(std::make_error_code(std::errc::bad_file_descriptor));
    // A request to end that came during the copy ends it here, before it replaces anything.
    if (platform::EndRequestWaiting())
        return Fail(std::make_error_code(std::errc::interrupted));
    ClearLastError();
    if (!io.Flush(m_file.get()))
        return Fail(LastError());
    // An existing output is replaced only by bytes that are on the disk.
    if (replace && !platform::SyncToDisk(m_file.get()))
        return Fail(LastError());
    return TakeName(replace);
}

bool CPendingOutput::KeepStream(const fs::path& source, std::u16string_view name) {
    std::error_code error;
    std::optional<std::string> bytes = DefaultFileStreams().Read(source, name, error);
    if (error)
        return Fail(error);
    if (bytes)
        m_streams.emplace_back(name, std::move(*bytes));
    return true;
}

bool CPendingOutput::WriteStreams(const fs::path& file) {
    for (const auto& [name, bytes] : m_streams) {
        std::error_code error;
        if (!DefaultFileStreams().Write(file, name, bytes, error))
            return Fail(error);
    }
    return true;
}
