#include "FileIo.h"
#include "SignEngine.h"
#include "SignRecorder.h"
#include "Signature.h"
#include "RootOnly.h"
#include "SystemText.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "TextConvert.h"
#include "TrailerReaders.h"
#include "FileErrors.h"
#include "FileOps.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <map>
#include <string>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

fs::path Name(const std::string& utf8) {
    return PathFromText(Utf8ToUtf16Lossy(utf8));
}

std::optional<std::u16string> SignatureOf(const fs::path& path) {
    UniqueFile file = OpenFile(LongPath(path), "rb");
    if (!file)
        return std::nullopt;
    return ReadSignatureText(file.get());
}

class SignEngine : public testing::Test {
protected:
    SignEngine() {
        fs::create_directory(m_dir / "src");
        fs::create_directory(m_dir / "out");
        m_hooks->clock = FixedClock(0x65000000);
    }

    fs::path Source(const std::string& name, const Bytes& content) {
        const fs::path path = m_dir / "src" / Name(name);
        fs::create_directories(path.parent_path());
        WriteBytes(path, content);
        return path;
    }
    fs::path Out() const { return m_dir / "out"; }
    fs::path Out(const std::string& name) const { return m_dir / "out" / Name(name); }

    SignResult Run(const std::vector<fs::path>& sources, const std::u16string& text = u"Mine",
                   const fs::path* folder = nullptr) {
        return RunSignBatch(sources, folder != nullptr ? *folder : Out(), text, m_recorder);
    }

    // Every file's content must be the source followed by one trailer of `text`.
    void ExpectSignedCopy(const fs::path& output, const Bytes& source, const std::u16string& text) {
        ASSERT_TRUE(fs::exists(output)) << Text(output);
        const Bytes bytes = ReadBytes(output);
        ASSERT_EQ(bytes.size(), source.size() + TrailerBytes(text.size())) << Text(output);
        EXPECT_TRUE(std::equal(source.begin(), source.end(), bytes.begin())) << Text(output);
        EXPECT_EQ(SignatureOf(output), text) << Text(output);
    }

    std::size_t FilesIn(const fs::path& folder) const {
        std::size_t count = 0;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            count += entry.is_regular_file() ? 1 : 0;
        return count;
    }

    TempDir m_dir;
    CSignRecorder m_recorder;
    CScopedTestHooks m_hooks;
};

TEST_F(SignEngine, BadOutputFolderEndsTheRunBeforeAnything) {
    const Bytes content = PatternBytes(100, 1);
    const fs::path source = Source("a.txt", content);
    const fs::path aFile = source;
    const fs::path folders[] = {fs::path(), m_dir / "missing", aFile};
    for (const fs::path& folder : folders) {
        m_recorder.events.clear();
        const SignResult result = Run({source}, u"x", &folder);
        EXPECT_FALSE(result.folderValid);
        EXPECT_EQ(result.signedCount, 0u);
        EXPECT_EQ(
            m_recorder.events,
            std::vector<std::string>{"message Error! error Please select a valid output folder."})
            << Text(folder);
    }
    EXPECT_EQ(ReadBytes(source), content);
    EXPECT_EQ(FilesIn(m_dir.Path()), 1u);
}

TEST_F(SignEngine, EmptyListShowsProgressAndNoFilesSummary) {
    const SignResult result = Run({});
    EXPECT_TRUE(result.folderValid);
    EXPECT_EQ(
        m_recorder.events,
        (std::vector<std::string>{"start 0", "end", "summary Done done No files were encrypted!"}));
}

// Entries given one at a time: the counts are of the files known so far, or of those the
// caller says will come; what is not signed is told in its place and counts against the run.
TEST_F(SignEngine, EntriesOneAtATimeCountWhatIsKnownAndSayWhatIsSkippedInItsPlace) {
    const fs::path a = Source("a.doc", PatternBytes(50, 1));
    const fs::path c = Source("c.bin", PatternBytes(60, 3));
    const fs::path fifo = m_dir / "src" / "b.fifo";
    for (const std::size_t known : {std::size_t{0}, std::size_t{2}}) {
        fs::remove_all(Out());
        fs::create_directory(Out());
        m_recorder.events.clear();
        std::vector<SignEntry> given(3);
        given[0].item = {a, {}};
        given[1].problem = WalkProblem{fifo, make_error_code(FileError::NotRegularFile)};
        given[2].item = {c, {}};
        SignRequest request;
        request.outputFolder = Out();
        request.text = u"x";
        request.entries = [&given, next = std::size_t{0}](SignEntry& entry) mutable {
            if (next == given.size())
                return false;
            entry = given[next++];
            return true;
        };
        request.known = known;
        const SignResult result = RunSignBatch(request, m_recorder);
        EXPECT_EQ(result.signedCount, 2u);
        EXPECT_EQ(result.notTaken, 1u);
        EXPECT_EQ(result.verdict, Verdict::SomeNotDone);
        const std::string of = known == 0 ? "1" : "2";
        EXPECT_EQ(m_recorder.events,
                  (std::vector<std::string>{
                      "start " + std::to_string(known), "status Signing file 1 of " + of, "step 1",
                      "not taken " + Text(fifo), "status Signing file 2 of 2", "step 2", "end",
                      "summary Done done 2 files encrypted succesfully!"}))
            << known;
    }
}

TEST_F(SignEngine, ThreeFilesWithTheSecondAlreadySigned) {
    const Bytes first = PatternBytes(5000, 1), third = PatternBytes(70000, 3);
    const fs::path a = Source("a.doc", first);
    const fs::path c = Source("c.bin", third);
    // b is the signed copy of another file.
    const fs::path plain = Source("plain.txt", PatternBytes(300, 2));
    ASSERT_EQ(Run({plain}, u"earlier").signedCount, 1u);
    const fs::path b = m_dir / "src" / "b.txt";
    fs::rename(Out("plain_signed.txt"), b);
    const Bytes second = ReadBytes(b);
    m_recorder.events.clear();

    const SignResult result = Run({a, b, c}, u"Line one\r\nLine two");
    EXPECT_EQ(result.signedCount, 2u);
    EXPECT_EQ(result.outcomes,
              (std::vector<SignOutcome>{SignOutcome::Signed, SignOutcome::AlreadySigned,
                                        SignOutcome::Signed}));
    EXPECT_EQ(m_recorder.events,
              (std::vector<std::string>{"start 3", "status Signing file 1 of 3", "step 1",
                                        "status Signing file 2 of 3",
                                        "message Error! error File " + Text(b) +
                                            " is already digitally signed, cannot re-sign!",
                                        "step 2", "status Signing file 3 of 3", "step 3", "end",
                                        "summary Done done 2 files encrypted succesfully!"}));
    ExpectSignedCopy(Out("a_signed.doc"), first, u"Line one\r\nLine two");
    ExpectSignedCopy(Out("c_signed.bin"), third, u"Line one\r\nLine two");
    EXPECT_FALSE(fs::exists(Out("b_signed.txt")));
    EXPECT_EQ(ReadBytes(a), first);
    EXPECT_EQ(ReadBytes(b), second);
    EXPECT_EQ(ReadBytes(c), third);
}

TEST_F(SignEngine, SignedCopyIsRefusedWhenSignedAgain) {
    const Bytes content = PatternBytes(4096, 9);
    const fs::path a = Source("photo.jpg", content);
    ASSERT_EQ(Run({a}).signedCount, 1u);
    EXPECT_EQ(m_recorder.Messages().back(), "summary Done done File encrypted succesfully!");
    ExpectSignedCopy(Out("photo_signed.jpg"), content, u"Mine");

    const Bytes signedCopy = ReadBytes(Out("photo_signed.jpg"));
    const fs::path again = Out("photo_signed.jpg");
    m_recorder.events.clear();
    EXPECT_EQ(Run({again}).signedCount, 0u);
    EXPECT_EQ(m_recorder.Messages(),
              (std::vector<std::string>{"message Error! error File " + Text(again) +
                                            " is already digitally signed, cannot re-sign!",
                                        "summary Done done No files were encrypted!"}));
    EXPECT_FALSE(fs::exists(Out("photo_signed_signed.jpg")));
    EXPECT_EQ(ReadBytes(again), signedCopy);
}

TEST_F(SignEngine, AlreadySignedIsTestedBeforeTheOutputExists) {
    const fs::path plain = Source("x.txt", PatternBytes(100, 5));
    ASSERT_EQ(Run({plain}).signedCount, 1u);
    // The signed copy as a source whose own output already exists: refused, output untouched.
    const fs::path signedSource = Source("y_signed.txt", ReadBytes(Out("x_signed.txt")));
    fs::copy_file(signedSource, Out("y_signed_signed.txt"));
    const Bytes existing = ReadBytes(Out("y_signed_signed.txt"));
    m_recorder.events.clear();
    Run({signedSource});
    EXPECT_EQ(m_recorder.Messages().size(), 2u);
    EXPECT_EQ(m_recorder.Messages()[0].rfind("message Error! error File ", 0), 0u);
    EXPECT_EQ(ReadBytes(Out("y_signed_signed.txt")), existing);
}

TEST_F(SignEngine, MissingSourceCannotBeReadAndAFolderCannotBeOpened) {
    const fs::path missing = m_dir / "src" / "gone.txt";
    const fs::path good = Source("good.txt", PatternBytes(10, 1));
    const fs::path folder = m_dir / "src";
    const SignResult result = Run({missing, good, folder});
    EXPECT_EQ(result.signedCount, 1u);
    EXPECT_EQ(m_recorder.Messages(),
              (std::vector<std::string>{
                  "message Error error Could not open file " + Text(missing) + " for reading!",
                  "message Error! error Could not open file " + Text(folder) + " for signing!",
                  "summary Done done File encrypted succesfully!"}));
}

TEST_F(SignEngine, OverwriteQuestionForTheSameNameFromTwoFolders) {
    const Bytes one = PatternBytes(3000, 1), two = PatternBytes(2000, 2);
    const fs::path first = Source("one/report.doc", one);
    const fs::path second = Source("two/report.doc", two);
    // The question names the output it would replace.
    const std::string question = "ask Question question File " + Text(Out("report_signed.doc")) +
                                 " already exists, overwrite?";

    m_recorder.answers = {false};
    SignResult result = Run({first, second});
    EXPECT_EQ(result.signedCount, 1u);
    EXPECT_EQ(result.outcomes[1], SignOutcome::NotOverwritten);
    EXPECT_EQ(
        m_recorder.Messages(),
        (std::vector<std::string>{question, "summary Done done File encrypted succesfully!"}));
    ExpectSignedCopy(Out("report_signed.doc"), one, u"Mine");

    m_recorder.events.clear();
    m_recorder.answers = {true, true};
    result = Run({first, second}, u"Yes");
    EXPECT_EQ(result.signedCount, 2u);
    EXPECT_EQ(m_recorder.Messages(),
              (std::vector<std::string>{question, question,
                                        "summary Done done 2 files encrypted succesfully!"}));
    ExpectSignedCopy(Out("report_signed.doc"), two, u"Yes");
    EXPECT_EQ(FilesIn(Out()), 1u) << "no temporary file is left";
}

TEST_F(SignEngine, ReadOnlyExistingOutputIsNotWrittenAfterYes) {
    const fs::path source = Source("locked.txt", PatternBytes(500, 4));
    const fs::path output = Out("locked_signed.txt");
    const Bytes existing = PatternBytes(77, 8);
    WriteBytes(output, existing);
#ifdef _WIN32
    fs::permissions(output,
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
#else
    // Root ignores permission bits; the immutable attribute holds even for root, and only
    // root may set it.
    const bool immutable = RunningAsRoot();
    if (immutable) {
        ASSERT_EQ(std::system(("chattr +i '" + output.string() + "'").c_str()), 0);
    } else {
        fs::permissions(output, fs::perms::owner_read);
    }
#endif
    m_recorder.answers = {true};
    const SignResult result = Run({source});
#ifndef _WIN32
    if (immutable) {
        EXPECT_EQ(std::system(("chattr -i '" + output.string() + "'").c_str()), 0);
    }
#else
    fs::permissions(output, fs::perms::owner_write, fs::perm_options::add);
#endif
    EXPECT_EQ(result.signedCount, 0u);
    EXPECT_EQ(m_recorder.Messages(),
              (std::vector<std::string>{
                  "ask Question question File " + Text(output) + " already exists, overwrite?",
                  "message Error error Could not open file " + Text(source) + " for writing!",
                  "summary Done done No files were encrypted!"}));
    EXPECT_EQ(ReadBytes(output), existing);
    EXPECT_EQ(FilesIn(Out()), 1u);
#ifdef _WIN32
    EXPECT_EQ(ErrorText(m_recorder.causes.at(0).second), "the file is read-only");
#endif
}

// The tests of an output that need no disk, each failing with its reason before anything is
// written: a subfolder that would lead out of the output folder, a name one longer than file
// systems take. A name of exactly that length is signed.
TEST_F(SignEngine, OutputsOutsideTheFolderOrOverTheNameLimitAreRefused) {
    const fs::path escape = Source("escape.txt", PatternBytes(10, 1));
    const fs::path longest = Source(std::string(244, 'n') + ".txt", PatternBytes(11, 2));
    const fs::path over = Source(std::string(245, 'o') + ".txt", PatternBytes(12, 3));
    SignRequest request;
    request.outputFolder = Out();
    request.text = u"Mine";
    request.items = {{escape, fs::path("..") / "outside"},
                     {escape, m_dir / "elsewhere"},
                     {longest, {}},
                     {over, {}}};
    struct CCauses : CSignRecorder {
        std::vector<std::error_code> causes;
        void ReportFailure(const SignMessage& message) override { causes.push_back(message.error); }
    } causes;
    const SignResult result = RunSignBatch(request, causes);
    EXPECT_EQ(result.outcomes,
              (std::vector<SignOutcome>{SignOutcome::CannotWrite, SignOutcome::CannotWrite,
                                        SignOutcome::Signed, SignOutcome::CannotWrite}));
    EXPECT_EQ(causes.causes, (std::vector<std::error_code>{FileError::OutsideOutputFolder,
                                                           FileError::OutsideOutputFolder,
                                                           FileError::NameTooLong}));
    EXPECT_FALSE(fs::exists(m_dir / "outside"));
    EXPECT_FALSE(fs::exists(m_dir / "elsewhere"));
    ExpectSignedCopy(Out(std::string(244, 'n') + "_signed.txt"), PatternBytes(11, 2), u"Mine");
    EXPECT_EQ(FilesIn(Out()), 1u);
}

TEST_F(SignEngine, NamesWithoutExtensionWithSeveralDotsAndDotFirst) {
    const Bytes empty;
    const fs::path notes = Source("notes", PatternBytes(20, 1));
    const fs::path archive = Source("archive.tar.gz", PatternBytes(21, 2));
    const fs::path profile = Source(".profile", PatternBytes(19, 3));
    const fs::path zero = Source("zero.dat", empty);
    EXPECT_EQ(Run({notes, archive, profile, zero}).signedCount, 4u);
    ExpectSignedCopy(Out("notes_signed"), PatternBytes(20, 1), u"Mine");
    ExpectSignedCopy(Out("archive.tar_signed.gz"), PatternBytes(21, 2), u"Mine");
    ExpectSignedCopy(Out("_signed.profile"), PatternBytes(19, 3), u"Mine");
    // A zero-byte source: the copy is the trailer alone.
    ExpectSignedCopy(Out("zero_signed.dat"), empty, u"Mine");
    EXPECT_EQ(m_recorder.Messages().back(), "summary Done done 4 files encrypted succesfully!");
}

TEST_F(SignEngine, FolderEndingInASeparatorAndNonAsciiNames) {
    const Bytes content = PatternBytes(999, 6);
    const fs::path source = Source("r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC.txt", content);
    fs::path folder = Out();
    folder += fs::path::preferred_separator;
    const std::u16string text = u"\u00A9 \u4F5C\u8005 \U0001F58B";
    EXPECT_EQ(Run({source}, text, &folder).signedCount, 1u);
    ExpectSignedCopy(Out("r\xC3\xA9sum\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC_signed.txt"), content,
                     text);
}

TEST_F(SignEngine, SourceWithAnEmptyTextTrailerIsSignedAgain) {
    Bytes content = PatternBytes(40, 7);
    {
        const fs::path path = Source("empty-trailer.bin", content);
        UniqueFile file = OpenFile(path, "r+b");
        CSigCodeTable table;
        const char16_t none = 0;
        ASSERT_TRUE(AppendSignature(table, file.get(), &none, 0));
    }
    const Bytes withEmptyTrailer = ReadBytes(m_dir / "src" / "empty-trailer.bin");
    EXPECT_EQ(Run({m_dir / "src" / "empty-trailer.bin"}).signedCount, 1u);
    ExpectSignedCopy(Out("empty-trailer_signed.bin"), withEmptyTrailer, u"Mine");
}

TEST_F(SignEngine, SameSecondSameTextGivesIdenticalTrailers) {
    const fs::path a = Source("a", PatternBytes(100, 1));
    const fs::path b = Source("b", PatternBytes(200, 2));
    ASSERT_EQ(Run({a, b}).signedCount, 2u);
    const Bytes ca = ReadBytes(Out("a_signed")), cb = ReadBytes(Out("b_signed"));
    const auto trailer = static_cast<std::ptrdiff_t>(TrailerBytes(4));
    EXPECT_TRUE(std::equal(ca.end() - trailer, ca.end(), cb.end() - trailer));
}

TEST_F(SignEngine, PathsLongerThanTheClassicLimit) {
    fs::path folder = Out();
    for (int i = 0; i < 6; ++i)
        folder /= std::string(50, static_cast<char>('a' + i));
    ASSERT_TRUE(fs::create_directories(LongPath(folder)));
    const Bytes content = PatternBytes(12345, 3);
    fs::path source = folder / (std::string(60, 's') + ".txt");
    ASSERT_GT(source.native().size(), 300u);
    WriteBytes(LongPath(source), content);
    EXPECT_EQ(Run({source}, u"long", &folder).signedCount, 1u) << m_recorder.Messages()[0];
    ExpectSignedCopy(LongPath(folder / (std::string(60, 's') + "_signed.txt")), content, u"long");
}

TEST_F(SignEngine, TextTooLongForATrailerIsRefusedPerFile) {
    const fs::path source = Source("a.txt", PatternBytes(10, 1));
    const std::u16string tooLong(kMaxSignatureUnits + 1, u'x');
    EXPECT_EQ(Run({source}, tooLong).signedCount, 0u);
    EXPECT_EQ(m_recorder.Messages()[0],
              "message Error! error Could not sign file " + Text(source) + "!");
    EXPECT_EQ(FilesIn(Out()), 0u);
    // The longest text that fits works.
    const std::u16string longest(kMaxSignatureUnits, u'y');
    EXPECT_EQ(Run({source}, longest).signedCount, 1u);
    EXPECT_EQ(SignatureOf(Out("a_signed.txt")), longest);
}

#ifdef __linux__
// Files whose size the system does not know are read to their real end.
TEST_F(SignEngine, FilesOfUnknownSizeAreCopiedInFull) {
    const fs::path source = "/proc/self/cmdline";
    const Bytes content = ReadBytes(source);
    ASSERT_FALSE(content.empty());
    EXPECT_EQ(Run({source}).signedCount, 1u);
    ExpectSignedCopy(Out("cmdline_signed"), content, u"Mine");
}
#endif

#ifdef _WIN32
TEST_F(SignEngine, SourceLockedByAnotherProgramCannotBeOpened) {
    const fs::path source = Source("locked.doc", PatternBytes(100, 1));
    HANDLE lock = CreateFileW(source.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    const fs::path free = Source("free.doc", PatternBytes(100, 2));
    const SignResult result = Run({source, free});
    CloseHandle(lock);
    EXPECT_EQ(result.signedCount, 1u);
    EXPECT_EQ(m_recorder.Messages()[0],
              "message Error! error Could not open file " + Text(source) + " for signing!");
    // Windows' words, not the C runtime's "Permission denied".
    EXPECT_EQ(ErrorText(m_recorder.causes.at(0).second), SystemText(ERROR_SHARING_VIOLATION, 0));
    EXPECT_EQ(FilesIn(Out()), 1u);
}
#endif

} // namespace

// The desktop program's run with several jobs: the outputs of this run are asked about, not
// refused, and every question, answer, message, outcome and file on disk is that of one job.
TEST_F(SignEngine, JobsAskingAboutOutputsGiveTheRunOfOneJob) {
    std::vector<fs::path> sources;
    for (int i = 0; i < 24; ++i)
        sources.push_back(Source("a/f" + std::to_string(i) + ".txt", PatternBytes(90 + 41 * i, i)));
    for (int i = 0; i < 24; i += 4)
        sources.push_back(Source("b/f" + std::to_string(i) + ".txt", PatternBytes(30, i)));
    sources.push_back(Source("b/big.bin", PatternBytes(2 << 20, 50)));
    sources.push_back(Out("f1_signed.txt")); // an output of this very run
    sources.push_back(m_dir / "src" / "missing.txt");
    sources.push_back(Source("b/signed.txt", PatternBytes(40, 51)));
    const auto run = [&](unsigned jobs, std::vector<std::string>& events, std::uint64_t& tally) {
        fs::remove_all(Out());
        fs::create_directory(Out());
        WriteBytes(Out("f3_signed.txt"), {'o', 'l', 'd'});
        WriteBytes(Out("f5_signed.txt"), {'o', 'l', 'd'});
        SignRequest request;
        request.outputFolder = Out();
        request.text = u"Jobs";
        request.jobs = jobs;
        CRunControl copied;
        request.control = &copied;
        for (const auto& source : sources)
            request.items.push_back({source, {}});
        CSignRecorder recorder;
        // Yes, No, Yes, ... to the questions, whatever the order of the copies.
        for (int i = 0; i < 40; ++i)
            recorder.answers.push_back(i % 2 == 0);
        RunSignBatch(request, recorder);
        events = recorder.events;
        tally = copied.Copied();
    };
    {
        CSignRecorder once;
        RunSignBatch({sources[0]}, Out(), u"Old", once);
        fs::rename(Out("f0_signed.txt"), sources.back());
    }
    std::vector<std::string> one, many;
    std::uint64_t oneTally = 0, manyTally = 0;
    run(1, one, oneTally);
    const auto tree = [&] {
        std::map<std::string, Bytes> files;
        for (const auto& entry : fs::directory_iterator(Out()))
            files[Text(entry.path().filename())] = ReadBytes(entry.path());
        return files;
    };
    const auto oneTree = tree();
    EXPECT_GT(oneTally, std::uint64_t{2} << 20);
    run(4, many, manyTally);
    EXPECT_EQ(many, one);
    EXPECT_TRUE(tree() == oneTree);
    EXPECT_GE(manyTally, std::uint64_t{2} << 20);
}

// A stop set from another thread ends the run of several jobs, copies in the making included:
// nothing but finished copies is left.
TEST_F(SignEngine, StopFromAnotherThreadEndsARunOfSeveralJobs) {
    std::vector<fs::path> sources;
    for (int i = 0; i < 8; ++i) {
        std::string name(1, 's');
        name += std::to_string(i);
        name += ".bin";
        sources.push_back(Source(name, PatternBytes(1 << 20, i)));
    }
    SignRequest request;
    request.outputFolder = Out();
    request.text = u"Stop";
    request.jobs = 3;
    CRunControl stop;
    request.control = &stop;
    for (const auto& source : sources)
        request.items.push_back({source, {}});
    m_recorder.beforeFile = [&](std::size_t position) {
        if (position == 3)
            stop.Stop();
    };
    const SignResult result = RunSignBatch(request, m_recorder);
    // The third file is dropped, whether its copy was done or not; none came after.
    ASSERT_EQ(result.outcomes.size(), 3u);
    EXPECT_EQ(result.outcomes[1], SignOutcome::Signed);
    EXPECT_EQ(result.outcomes[2], SignOutcome::Stopped);
    EXPECT_EQ(FilesIn(Out()), result.signedCount) << "no copy in the making is left";
}
