// What differs by platform: the system's words for a failure, a commit refused for a moment,
// and the named streams that carry the Mark of the Web (through a stand-in: Wine has none).
#include "ByteIo.h"
#include "FileErrors.h"
#include "FileIdentity.h"
#include "FileStreams.h"
#include "PendingOutput.h"
#include "RunOutputs.h"
#include "SignEngine.h"
#include "SignRecorder.h"
#include "Strip.h"
#include "SystemText.h"
#include "TempDir.h"
#include "TestHooks.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <map>

namespace fs = std::filesystem;

namespace {

std::size_t EntriesIn(const fs::path& folder) {
    return static_cast<std::size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(PlatformFiles, CausesAreTheSystemsOwnWords) {
    // Causes that reach a message without a system error of their own read as the system's.
    EXPECT_EQ(ErrorText(std::make_error_code(std::errc::no_space_on_device)),
              SystemText(112 /* ERROR_DISK_FULL */, ENOSPC));
    EXPECT_EQ(ErrorText(std::make_error_code(std::errc::permission_denied)),
              SystemText(5 /* ERROR_ACCESS_DENIED */, EACCES));
#ifdef _WIN32
    for (const int code : {32 /* sharing violation */, 33 /* lock violation */, 2, 5, 112})
        EXPECT_EQ(ErrorText({code, std::system_category()}), SystemText(code, 0)) << code;
#endif
}

// Keeps streams by file identity, as a file system keeps them with the file whatever its name.
class CStreamsStandIn : public CFileStreams {
public:
    std::map<std::pair<FileIdentity, std::u16string>, std::string> streams;
    std::error_code readError;

    std::optional<std::string> Read(const fs::path& file, std::u16string_view name,
                                    std::error_code& error) override {
        error = readError;
        const auto found = streams.find({IdentityOf(file).value(), std::u16string(name)});
        return found == streams.end() ? std::nullopt : std::optional(found->second);
    }
    bool Write(const fs::path& file, std::u16string_view name, const std::string& bytes,
               std::error_code& error) override {
        error.clear();
        streams[{IdentityOf(file).value(), std::u16string(name)}] = bytes;
        return true;
    }
    std::optional<std::string> Of(const fs::path& file) const {
        const auto found = streams.find({IdentityOf(file).value(), kZoneIdentifier});
        return found == streams.end() ? std::nullopt : std::optional(found->second);
    }
};

TEST(PlatformFiles, TheMarkOfTheWebTravelsToTheSignedCopyAndTheStrippedFile) {
    TempDir dir;
    fs::create_directory(dir / "out");
    fs::create_directory(dir / "back");
    const fs::path downloaded = dir / "invoice.docm", local = dir / "notes.txt";
    WriteBytes(downloaded, PatternBytes(3000, 1));
    WriteBytes(local, PatternBytes(200, 2));
    CStreamsStandIn streams;
    CScopedTestHooks hooks;
    hooks->fileStreams = &streams;
    hooks->clock = FixedClock(0x65000000);
    const std::string mark = "[ZoneTransfer]\r\nZoneId=3\r\nHostUrl=https://example.com/x\r\n";
    streams.streams[{IdentityOf(downloaded).value(), kZoneIdentifier}] = mark;

    CSignRecorder recorder;
    for (const bool named : {false, true}) {
        hooks->namedTemporaries = named;
        // A removed file's identity may come back for a new one: the stand-in forgets it.
        streams.streams = {{{IdentityOf(downloaded).value(), kZoneIdentifier}, mark}};
        fs::remove_all(dir / "out");
        fs::create_directory(dir / "out");
        EXPECT_EQ(RunSignBatch({downloaded, local}, dir / "out", u"ok", recorder).signedCount, 2u);
        EXPECT_EQ(streams.Of(dir / "out" / "invoice_signed.docm"), mark) << named;
        EXPECT_EQ(streams.Of(dir / "out" / "notes_signed.txt"), std::nullopt) << named;
    }
    hooks->namedTemporaries = false;
    // Replacing an existing file too.
    EXPECT_EQ(StripFile(dir / "out" / "invoice_signed.docm", dir / "back", true).outcome,
              StripOutcome::Stripped);
    WriteBytes(dir / "back" / "notes.txt", {'o', 'l', 'd'});
    EXPECT_EQ(StripFile(dir / "out" / "notes_signed.txt", dir / "back", true).outcome,
              StripOutcome::Stripped);
    EXPECT_EQ(streams.Of(dir / "back" / "invoice.docm"), mark);
    EXPECT_EQ(streams.Of(dir / "back" / "notes.txt"), std::nullopt);

    // A mark that cannot be read fails the file: no copy without it, nothing left behind.
    streams.readError = std::make_error_code(std::errc::io_error);
    fs::remove_all(dir / "out");
    fs::create_directory(dir / "out");
    EXPECT_EQ(RunSignBatch({downloaded}, dir / "out", u"ok", recorder).signedCount, 0u);
    EXPECT_EQ(EntriesIn(dir / "out"), 0u);
}

// A run knows each of its outputs in eight bytes: on Linux by the file, whatever the path that
// names it; on Windows by its path as NTFS compares names. The sources of the latest are kept
// for messages; an earlier one is still known, without its source.
TEST(PlatformFiles, TheOutputsOfARunAreKnownInEightBytesEach) {
    TempDir dir;
    const fs::path out = dir / "out", source = dir / "a.txt", later = dir / "b.txt";
    fs::create_directory(out);
    CRunOutputs run;
    EXPECT_EQ(run.WrittenFrom(source), nullptr) << "nothing written yet";
    WriteBytes(out / "a_signed.txt", PatternBytes(10, 1));
    run.Add(out / "a_signed.txt", source);
    WriteBytes(out / "other.txt", PatternBytes(10, 1));
#ifdef _WIN32
    const fs::path other = out / "A_SIGNED.TXT";
#else
    const fs::path other = out / "link.txt";
    fs::create_hard_link(out / "a_signed.txt", other);
#endif
    for (const fs::path& name :
         {out / "a_signed.txt", out / ".." / "out" / "a_signed.txt", other}) {
        const fs::path* found = run.WrittenFrom(name);
        ASSERT_NE(found, nullptr) << name;
        EXPECT_EQ(*found, source) << name;
    }
    EXPECT_EQ(run.WrittenFrom(out / "other.txt"), nullptr);
    EXPECT_EQ(run.WrittenFrom(out / "missing.txt"), nullptr);
    // Written again from another source: the later one names it.
    run.Add(out / "a_signed.txt", later);
    ASSERT_NE(run.WrittenFrom(out / "a_signed.txt"), nullptr);
    EXPECT_EQ(*run.WrittenFrom(out / "a_signed.txt"), later);
    // Past the sources remembered, and past the merges of the keys.
    fs::create_directory(out / "many");
    for (std::size_t i = 0; i < CRunOutputs::kRemembered + 300; ++i) {
        const fs::path name = out / "many" / std::to_string(i);
        WriteBytes(name, {});
        run.Add(name, source);
    }
    for (const fs::path& name : {out / "a_signed.txt", out / "many" / "0"}) {
        const fs::path* found = run.WrittenFrom(name);
        ASSERT_NE(found, nullptr) << name;
        EXPECT_TRUE(found->empty()) << name;
    }
    EXPECT_EQ(*run.WrittenFrom(out / "many" / "1300"), source);
    EXPECT_EQ(run.WrittenFrom(out / "other.txt"), nullptr);
}

#ifndef _WIN32
// A named pipe given as a path (\\.\pipe\x in a list of files) may learn who opened it but
// never act as that user: the Windows code of the engine and of quorvane-cli opens paths only
// through the one CreateFileW that asks so, never through the C runtime's own opens.
TEST(PlatformFiles, WindowsOpensOfPathsNeverLetAPipeActAsTheUser) {
    const auto contains = [](const std::string& text, const char* part) {
        return text.find(part) != std::string::npos;
    };
    std::size_t calls = 0;
    for (const char* folder : {"base", "codec", "signing", "cli"}) {
        for (const auto& entry : fs::directory_iterator(fs::path(QUORVANE_SOURCE_DIR) / folder)) {
            if (!contains(entry.path().filename().string(), "Windows"))
                continue;
            const Bytes bytes = ReadBytes(entry.path());
            const std::string text(bytes.begin(), bytes.end());
            for (const char* open :
                 {"_wfopen", "_wfsopen", "_wopen", "_wsopen", "CreateFileA", "CreateFile2"})
                EXPECT_FALSE(contains(text, open)) << entry.path() << " " << open;
            for (std::size_t at = text.find("CreateFileW("); at != std::string::npos;
                 at = text.find("CreateFileW(", at + 1), ++calls) {
                const std::string call = text.substr(at, text.find(';', at) - at);
                EXPECT_TRUE(contains(call, "SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION"))
                    << entry.path() << ": " << call;
            }
        }
    }
    EXPECT_EQ(calls, 1u) << "one CreateFileW, the one every open goes through";
}
#endif

#ifdef _WIN32
// An antivirus or an indexer holds the file a commit replaces for a moment.
TEST(PlatformFiles, ACommitRefusedForAMomentIsTriedAgainForAboutASecond) {
    TempDir dir;
    const fs::path target = dir / "a_signed.txt";
    const Bytes old{'o', 'l', 'd'}, fresh = PatternBytes(5000, 3);
    for (const bool released : {true, false}) {
        WriteBytes(target, old);
        HANDLE holder = CreateFileW(target.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        std::chrono::milliseconds waited{0};
        int tries = 0;
        CScopedTestHooks hooks;
        hooks->commitRetryWait = [&](std::chrono::milliseconds wait) {
            waited += wait;
            if (++tries == 2 && released && holder != nullptr) {
                CloseHandle(holder);
                holder = nullptr;
            }
        };
        CPendingOutput pending;
        ASSERT_TRUE(pending.Create(target));
        ASSERT_EQ(std::fwrite(fresh.data(), 1, fresh.size(), pending.File()), fresh.size());
        const bool committed = pending.Commit(DefaultByteIo(), true);
        if (holder != nullptr)
            CloseHandle(holder);
        EXPECT_EQ(committed, released);
        EXPECT_EQ(ReadBytes(target), released ? fresh : old);
        EXPECT_EQ(EntriesIn(dir.Path()), 1u) << "nothing left behind";
        if (released) {
            EXPECT_EQ(tries, 2);
        } else {
            EXPECT_GE(waited, std::chrono::milliseconds(900));
            EXPECT_LE(waited, std::chrono::milliseconds(1200));
            EXPECT_TRUE(pending.Error().value() == ERROR_SHARING_VIOLATION ||
                        pending.Error().value() == ERROR_ACCESS_DENIED)
                << pending.Error().value();
        }
    }
}
#endif

} // namespace
