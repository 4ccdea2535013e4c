// The check and strip batches: several jobs give exactly the results, order and files of one;
// a stop ends a run; a named file read as a stream fails when it changes under the reader.
#include "CheckEngine.h"
#include "Command.h"
#include "SignRecorder.h"
#include "SigClock.h"
#include "CliReport.h"
#include "Signature.h"
#include "Streams.h"
#include "Strip.h"
#include "TempDir.h"
#include "TextConvert.h"
#include "FileErrors.h"
#include "ByteIo.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

void Sign(const fs::path& file, std::u16string_view text, std::uint32_t seconds) {
    UniqueFile out = OpenFile(file, "ab");
    CSigCodeTable table;
    const std::vector<std::uint8_t> trailer = MakeTrailer(table, text, seconds);
    ASSERT_EQ(std::fwrite(trailer.data(), 1, trailer.size(), out.get()), trailer.size());
}

// Every result as one line, the way the command-line tool shows it.
class CRecorder : public ICheckObserver, public IStripObserver {
public:
    void FileChecked(std::size_t position, const CheckItem& item,
                     const CheckResult& result) override {
        lines.push_back(std::to_string(position) + " " + CheckJsonLine(item.path, result));
        if (lines.size() == stopAfter)
            control.Stop();
    }
    void FileStripped(std::size_t position, const fs::path& source,
                      const StripResult& result) override {
        lines.push_back(std::to_string(position) + " " + StripProblemLine(source, result, false));
    }

    std::vector<std::string> lines;
    std::size_t stopAfter = 0;
    CRunControl control;
};

// A tree of what a batch meets: signed files (texts with U+0000 and an unpaired surrogate),
// unsigned ones, folders, a missing file, and two signed files of one name.
std::vector<fs::path> HostileTree(const TempDir& dir) {
    fs::create_directories(dir / "a");
    fs::create_directories(dir / "b");
    std::vector<fs::path> files;
    for (int i = 0; i < 24; ++i) {
        std::string name(1, 'f');
        name += std::to_string(i) + "_signed.bin";
        const fs::path file = dir / "a" / name;
        WriteBytes(file, PatternBytes(static_cast<std::size_t>(i) * 40000 + 3, i));
        if (i % 3 != 0)
            Sign(file, std::u16string(u"abc\0def\xD800 #", 10) + static_cast<char16_t>(u'a' + i),
                 1'700'000'000u + static_cast<std::uint32_t>(i));
        files.push_back(file);
    }
    WriteBytes(dir / "b" / "f1_signed.bin", PatternBytes(100, 9));
    Sign(dir / "b" / "f1_signed.bin", u"again", 5);
    for (const fs::path& odd :
         {dir / "b" / "f1_signed.bin", dir / "b", dir / "missing", fs::path(dir / "a")})
        files.insert(files.begin() + 7, odd);
    return files;
}

TEST(Batches, SeveralJobsGiveTheResultsAndFilesOfOne) {
    TempDir dir;
    const std::vector<fs::path> files = HostileTree(dir);
    std::vector<std::vector<std::string>> checks, strips;
    std::vector<fs::path> outputs;
    for (const unsigned jobs : {1u, 2u, 8u}) {
        CheckRequest check;
        for (const fs::path& file : files)
            check.items.push_back({file});
        check.items.push_back({dir / "link", {}, LinkedTo::Folder});
        check.jobs = jobs;
        CRecorder checked;
        const CheckBatchResult checkResult = RunCheckBatch(check, checked);
        EXPECT_EQ(checkResult.outcomes.size(), check.items.size());
        EXPECT_EQ(checkResult.signedCount, 17u);
        EXPECT_EQ(checkResult.verdict, Verdict::SomeNotDone);
        checks.push_back(checked.lines);

        const fs::path out = dir / ("out" + std::to_string(jobs));
        fs::create_directory(out);
        WriteBytes(out / "f2.bin", {'o', 'l', 'd'});
        StripRequest strip{files, out, ExistingOutputs::Keep, jobs};
        CRecorder stripped;
        const StripBatchResult stripResult = RunStripBatch(strip, stripped);
        EXPECT_TRUE(stripResult.folderValid);
        EXPECT_EQ(stripResult.strippedCount, 15u);
        EXPECT_EQ(stripResult.verdict, Verdict::SomeNotDone);
        for (std::string& line : stripped.lines)
            if (const auto at = line.find(out.string()); at != std::string::npos)
                line.replace(at, out.string().size(), "OUT");
        strips.push_back(stripped.lines);
        outputs.push_back(out);
    }
    EXPECT_EQ(checks[1], checks[0]);
    EXPECT_EQ(checks[2], checks[0]);
    EXPECT_EQ(strips[1], strips[0]);
    EXPECT_EQ(strips[2], strips[0]);
    // Exact texts and times, and each kind of refusal, in the order of the files.
    EXPECT_EQ(checks[0][1], "1 {\"path\": " + JsonString(PathUnits(files[1])) +
                                ", \"signed\": true, \"text\": \"abc\\u0000def\\ud800 #b\", "
                                "\"signed_at\": \"2023-11-14T22:13:21Z\"}");
    EXPECT_NE(checks[0][0].find("\"signed\": false, \"text\": null"), std::string::npos);
    EXPECT_NE(checks[0][7].find("\"error\": \"cannot be read\""), std::string::npos);
    EXPECT_NE(checks[0].back().find("a link to a folder, not followed"), std::string::npos);
    EXPECT_NE(strips[0][2].find("f2.bin already exists, kept"), std::string::npos);
    EXPECT_NE(strips[0][10].find("was written from"), std::string::npos);
    for (const fs::path& out : outputs) {
        EXPECT_EQ(ReadBytes(out / "f4.bin"), PatternBytes(4 * 40000 + 3, 4));
        EXPECT_EQ(ReadBytes(out / "f2.bin"), (Bytes{'o', 'l', 'd'}));
        EXPECT_EQ(ReadBytes(out / "f1.bin"), PatternBytes(40003, 1));
    }
}

TEST(Batches, AStopEndsTheRunWhereItIsAsked) {
    TempDir dir;
    const std::vector<fs::path> files = HostileTree(dir);
    for (const unsigned jobs : {1u, 8u}) {
        CheckRequest check;
        for (const fs::path& file : files)
            check.items.push_back({file});
        check.jobs = jobs;
        CRecorder checked;
        checked.stopAfter = 3;
        check.control = &checked.control;
        EXPECT_EQ(RunCheckBatch(check, checked).outcomes.size(), 3u);

        CRunControl stopped;
        stopped.Stop();
        StripRequest strip{files, dir.Path(), ExistingOutputs::Keep, jobs, &stopped};
        CRecorder stripped;
        EXPECT_TRUE(RunStripBatch(strip, stripped).outcomes.empty());
        EXPECT_TRUE(stripped.lines.empty());
    }
    StripRequest strip{files, dir / "missing", ExistingOutputs::Keep, 2};
    CRecorder stripped;
    const StripBatchResult refused = RunStripBatch(strip, stripped);
    EXPECT_FALSE(refused.folderValid);
    EXPECT_EQ(refused.verdict, Verdict::NothingDone);
}

// One rule for what every door asks alike: the jobs, the text, an existing output and the
// verdict it gives.
TEST(Batches, JobsTextsAndExistingOutputsHaveOneRule) {
    EXPECT_EQ(JobsFor(1), 1u);
    EXPECT_EQ(JobsFor(kMaxJobs), kMaxJobs);
    EXPECT_EQ(JobsFor(kMaxJobs + 1), kMaxJobs);
    EXPECT_GE(JobsFor(0), 1u);
    const std::u16string longest(kMaxSignatureUnits, u'x');
    const struct {
        std::u16string given;
        bool crLf;
        std::u16string stored;
        TextProblem problem;
    } texts[] = {
        {u"a\nb\rc\r\nd", true, u"a\r\nb\r\nc\r\nd", TextProblem::None},
        {u"a\nb", false, u"a\nb", TextProblem::None},
        {u"", true, u"", TextProblem::Empty},
        {longest, true, longest, TextProblem::None},
        {longest + u"x", false, longest + u"x", TextProblem::TooLong},
        // Each line break becomes two units.
        {std::u16string(kMaxSignatureUnits / 2 + 1, u'\n'), true, {}, TextProblem::TooLong},
    };
    for (const auto& text : texts) {
        std::u16string checked = text.given;
        EXPECT_EQ(CheckText(checked, text.crLf), text.problem) << Utf16ToUtf8(text.given);
        if (!text.stored.empty()) {
            EXPECT_EQ(checked, text.stored);
        }
    }

    TempDir dir;
    const fs::path source = dir / "a.txt";
    WriteBytes(source, PatternBytes(100, 1));
    WriteBytes(dir / "b_signed.txt", PatternBytes(300, 2));
    Sign(dir / "b_signed.txt", u"t", 1);
    fs::create_directory(dir / "out");
    const struct {
        ExistingOutputs existing;
        Verdict verdict;
        bool replaced;
        std::size_t kept; // OutputKept events
    } policies[] = {
        {ExistingOutputs::Keep, Verdict::SomeNotDone, false, 1},
        {ExistingOutputs::KeepQuietly, Verdict::AllDone, false, 0},
        {ExistingOutputs::Replace, Verdict::AllDone, true, 0},
    };
    for (const auto& policy : policies) {
        const Bytes old{'o', 'l', 'd'};
        WriteBytes(dir / "out" / "a_signed.txt", old);
        WriteBytes(dir / "out" / "b.txt", old);
        SignRequest sign;
        sign.items = {{source, {}}};
        sign.outputFolder = dir / "out";
        sign.text = u"t";
        sign.existing = policy.existing;
        struct CKept : CSignRecorder {
            std::size_t kept = 0;
            void OutputKept(const SignMessage&) override { ++kept; }
        } recorder;
        EXPECT_EQ(RunSignBatch(sign, recorder).verdict, policy.verdict);
        EXPECT_EQ(recorder.kept, policy.kept);
        EXPECT_EQ(ReadBytes(dir / "out" / "a_signed.txt") != old, policy.replaced);

        CRunControl control;
        StripRequest strip{{dir / "b_signed.txt"}, dir / "out", policy.existing, 1, &control};
        CRecorder stripped;
        EXPECT_EQ(RunStripBatch(strip, stripped).verdict, policy.verdict);
        // The bytes written, for a watcher of the run.
        EXPECT_EQ(control.Copied(), policy.replaced ? 300u : 0u);
        EXPECT_EQ(ReadBytes(dir / "out" / "b.txt") != old, policy.replaced);
    }
}

// Takes what a stream sends, and changes the source at its first write.
class CChangingSink : public CStreamSink {
public:
    explicit CChangingSink(std::function<void()> change) : m_change(std::move(change)) {}
    bool Write(const void* data, std::size_t bytes, std::error_code&) override {
        if (m_change)
            std::exchange(m_change, nullptr)();
        const auto* p = static_cast<const std::uint8_t*>(data);
        sent.insert(sent.end(), p, p + bytes);
        return true;
    }
    Bytes sent;

private:
    std::function<void()> m_change;
};

TEST(Streams, ANamedSourceThatChangesWhileReadEndsWithoutItsTail) {
    TempDir dir;
    const fs::path source = dir / "app.log";
    const Bytes content = PatternBytes(3 << 20, 7);
    const std::function<void()> changes[] = {
        [&] { fs::resize_file(source, 1 << 20); },
        [&] {
            WriteBytes(source, PatternBytes(3 << 20, 8));
            fs::last_write_time(source, fs::last_write_time(source) + std::chrono::seconds(5));
        },
        [&] {
            UniqueFile(OpenFile(source, "ab")).reset();
            fs::resize_file(source, 4 << 20);
        },
    };
    for (const auto& change : changes) {
        for (const bool signing : {true, false}) {
            WriteBytes(source, content);
            if (!signing)
                Sign(source, u"t", 1);
            CChangingSink sink(change);
            const StreamResult result =
                signing ? SignFileToStream(source, sink, u"t") : StripFileToStream(source, sink);
            EXPECT_EQ(result.outcome, StreamOutcome::ReadFailed);
            EXPECT_EQ(result.error, FileError::SourceChanged);
            // What went out stops short of the last bytes: no torn copy ends in a trailer.
            EXPECT_LE(sink.sent.size() + kMaxTrailerBytes, result.bytesRead);
            EXPECT_EQ(TrailerOfBytes(sink.sent.data(), sink.sent.size()).isSigned, false);
        }
    }
    CChangingSink sink({});
    EXPECT_EQ(SignFileToStream(dir.Path(), sink, u"t").outcome, StreamOutcome::CannotOpen);
    EXPECT_EQ(SignFileToStream(dir / "missing", sink, u"t").outcome, StreamOutcome::CannotOpen);
    WriteBytes(source, content);
    ASSERT_EQ(SignFileToStream(source, sink, u"t").outcome, StreamOutcome::Done);
    const BytesTrailer back = TrailerOfBytes(sink.sent.data(), sink.sent.size());
    EXPECT_TRUE(back.isSigned);
    EXPECT_EQ(back.unsignedSize, content.size());
}

TEST(Texts, Wtf8CarriesEveryCodeUnitAndTimesReadAsIso) {
    const std::u16string texts[] = {std::u16string(u"a\0b", 3),
                                    u"\xD800",
                                    u"x\xDC00y",
                                    u"\xDBFF\xD800",
                                    u"\U0001F600",
                                    u"\xDFFF\xDBFF"};
    for (const std::u16string& text : texts)
        EXPECT_EQ(Wtf8ToUtf16(Utf16ToWtf8(text)), text);
    EXPECT_EQ(Utf16ToWtf8(u"\xD800"), "\xED\xA0\x80");
    EXPECT_EQ(Utf16ToWtf8(u"\U0001F600"), "\xF0\x9F\x98\x80");
    // Both halves written apart (Python's surrogatepass of a str holding them) read as the pair.
    EXPECT_EQ(Wtf8ToUtf16("\xED\xA0\xBD\xED\xB8\x80"), u"\U0001F600");
    for (const char* bad : {"\xC0\x80", "\xED\xA0", "\xF8\x88\x80\x80\x80", "\xFF"})
        EXPECT_FALSE(Wtf8ToUtf16(bad)) << bad;
    EXPECT_EQ(IsoUtc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(IsoUtc(951782400), "2000-02-29T00:00:00Z");
    EXPECT_EQ(IsoUtc(0xFFFFFFFFu), "2106-02-07T06:28:15Z");
    EXPECT_EQ(WithCrLf(u"a\rb\nc\r\nd\n\r"), u"a\r\nb\r\nc\r\nd\r\n\r\n");
}

} // namespace

namespace {

// Sources of kinds whose tools object to a trailer are warned about in their turn, left out,
// or signed quietly, with several jobs as with one.
TEST(Kinds, EachObjectingSourceIsToldInItsTurnOrLeftOut) {
    TempDir dir;
    fs::create_directory(dir / "out");
    std::vector<fs::path> sources;
    for (int i = 0; i < 12; ++i) {
        std::string name(1, 'f');
        name += std::to_string(i) + (i % 4 == 1 ? ".xz" : ".txt");
        const fs::path file = dir / name;
        Bytes bytes = PatternBytes(5000, i);
        if (i % 4 == 1) // xz's stream header: magic and flags
            std::copy_n("\xFD"
                        "7zXZ\0\0\x04",
                        8, bytes.begin());
        WriteBytes(file, bytes);
        sources.push_back(file);
    }
    std::vector<SignItem> items;
    for (const fs::path& source : sources)
        items.push_back({source, {}});
    EXPECT_EQ(CountObjectingKinds(items),
              (std::vector<std::pair<FileKind, std::size_t>>{{FileKind::Xz, 3}}));
    const auto run = [&](KindPolicy kinds, unsigned jobs) {
        fs::remove_all(dir / "out");
        fs::create_directory(dir / "out");
        SignRequest request;
        request.items = items;
        request.outputFolder = dir / "out";
        request.text = std::u16string(u"text");
        request.kinds = kinds;
        request.jobs = jobs;
        CSignRecorder recorder;
        const SignResult result = RunSignBatch(request, recorder);
        return std::make_pair(result.outcomes, recorder.Messages());
    };
    const auto warned = run(KindPolicy::Warn, 1);
    EXPECT_EQ(run(KindPolicy::Warn, 4), warned);
    ASSERT_EQ(warned.second.size(), 4u);
    std::string warning = "warning Warning error File ";
    warning += PathUtf8(sources[1]);
    warning += " (xz): xz will report the signed copy as corrupt.";
    EXPECT_EQ(warned.second[0], warning);
    EXPECT_EQ(std::count(warned.first.begin(), warned.first.end(), SignOutcome::Signed), 12);
    EXPECT_TRUE(fs::exists(dir / "out" / "f5_signed.xz"));

    const auto leftOut = run(KindPolicy::LeaveOut, 4);
    EXPECT_EQ(run(KindPolicy::LeaveOut, 1), leftOut);
    EXPECT_EQ(leftOut.first[5], SignOutcome::LeftOut);
    EXPECT_EQ(std::count(leftOut.first.begin(), leftOut.first.end(), SignOutcome::Signed), 9);
    std::string refusal = "message Error error File ";
    refusal += PathUtf8(sources[5]);
    refusal += " (xz): xz will report the signed copy as corrupt. Left out.";
    EXPECT_EQ(leftOut.second[1], refusal);
    EXPECT_FALSE(fs::exists(dir / "out" / "f5_signed.xz"));
    EXPECT_TRUE(fs::exists(dir / "out" / "f6_signed.txt"));

    const auto quiet = run(KindPolicy::SignQuietly, 4);
    EXPECT_EQ(quiet.second.size(), 1u); // the summary only

    // Ask: the first such file's turn asks, once; the answer holds for the rest of the run (Yes
    // as SignQuietly, No as LeaveOut, the file asked about included), and a stop asked with it
    // ends the run before that file, the file before it signed.
    for (const unsigned jobs : {1u, 4u}) {
        for (const int answer : {1, 0, -1}) {
            fs::remove_all(dir / "out");
            fs::create_directory(dir / "out");
            SignRequest request;
            request.items = items;
            request.outputFolder = dir / "out";
            request.text = std::u16string(u"text");
            request.kinds = KindPolicy::Ask;
            request.jobs = jobs;
            CRunControl control;
            request.control = &control;
            CSignRecorder recorder;
            recorder.kindAnswer = answer > 0;
            recorder.stopAtKind = answer < 0 ? &control : nullptr;
            const SignResult result = RunSignBatch(request, recorder);
            const std::vector<std::string> messages = recorder.Messages();
            ASSERT_FALSE(messages.empty());
            std::string question = "ask-kind Warning question File ";
            question += PathUtf8(sources[1]);
            question += " (xz): xz will report the signed copy as corrupt.";
            EXPECT_EQ(messages[0], question);
            EXPECT_EQ(std::count_if(messages.begin(), messages.end(),
                                    [](const std::string& m) { return m.rfind("ask", 0) == 0; }),
                      1);
            if (answer > 0) {
                EXPECT_EQ(result.outcomes, quiet.first);
                EXPECT_EQ(messages.size(), 2u);
            } else if (answer == 0) {
                EXPECT_EQ(result.outcomes, leftOut.first);
                EXPECT_EQ(std::vector<std::string>(messages.begin() + 1, messages.end()),
                          leftOut.second);
            } else {
                EXPECT_EQ(result.outcomes,
                          (std::vector<SignOutcome>{SignOutcome::Signed, SignOutcome::Stopped}));
                EXPECT_EQ(
                    std::distance(fs::directory_iterator(dir / "out"), fs::directory_iterator()),
                    1);
                EXPECT_TRUE(fs::exists(dir / "out" / "f0_signed.txt"));
            }
        }
    }
}

} // namespace

// The ring of a stream's tail keeps exactly the last bytes and hands on every byte before them
// once, in order, whatever the sizes of the pieces fed, read straight in or copied in.
TEST(Streams, TheTailRingKeepsTheLastBytesAndHandsOnTheRest) {
    const std::size_t sizes[] = {0,
                                 1,
                                 15,
                                 kMaxTrailerBytes - 1,
                                 kMaxTrailerBytes,
                                 kMaxTrailerBytes + 1,
                                 kCopyBlockBytes + 7,
                                 3 * kMaxTrailerBytes};
    std::vector<std::uint8_t> stream(6 * kMaxTrailerBytes + 3 * kCopyBlockBytes);
    for (std::size_t i = 0; i < stream.size(); ++i)
        stream[i] = static_cast<std::uint8_t>(i * 31 + i / 251);
    for (const std::size_t piece : sizes) {
        for (const bool copied : {false, true}) {
            CStreamTail ring;
            std::vector<std::uint8_t> handedOn;
            std::size_t fed = 0;
            while (fed < stream.size()) {
                std::size_t count = std::min(std::max<std::size_t>(piece, 1), stream.size() - fed);
                if (copied) {
                    ring.Add(stream.data() + fed, count);
                } else {
                    const std::span<std::uint8_t> room = ring.Room();
                    ASSERT_FALSE(room.empty());
                    count = std::min(count, room.size());
                    std::copy_n(stream.data() + fed, count, room.data());
                    ring.Added(count);
                    ring.Spill([&](const std::uint8_t* data, std::size_t bytes) {
                        handedOn.insert(handedOn.end(), data, data + bytes);
                        return true;
                    });
                }
                fed += count;
            }
            const std::vector<std::uint8_t> last(stream.end() - kMaxTrailerBytes, stream.end());
            EXPECT_EQ(ring.Tail(), last) << "pieces of " << piece << (copied ? ", copied" : "");
            EXPECT_EQ(ring.Total(), stream.size());
            if (!copied) {
                EXPECT_EQ(handedOn.size(), stream.size() - kMaxTrailerBytes);
                EXPECT_TRUE(std::equal(handedOn.begin(), handedOn.end(), stream.begin()))
                    << "pieces of " << piece;
            }
        }
    }
}
