#include "FileIo.h"
#include "Signature.h"
#include "TempDir.h"
#include "TestHooks.h"
#include "TrailerReaders.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

namespace {

Bytes Utf16Le(const std::u16string& text) {
    Bytes bytes;
    for (char16_t unit : text) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return bytes;
}

Bytes FromHex(const std::string& hex) {
    Bytes bytes;
    std::string digits;
    for (char c : hex)
        if (c != ' ')
            digits.push_back(c);
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return bytes;
}

class SignatureFiles : public testing::Test {
protected:
    std::filesystem::path Path() const { return m_dir / "file.bin"; }

    // The file `content` signed with `text` at clock time `seed`.
    Bytes Sign(const Bytes& content, const Bytes& text, std::uint32_t seed) {
        WriteBytes(Path(), content);
        CScopedTestHooks hooks;
        hooks->clock = FixedClock(seed);
        UniqueFile file = OpenFile(Path(), "r+b");
        CSigCodeTable table;
        const std::uint8_t none = 0; // an empty text still needs a valid pointer
        EXPECT_TRUE(
            AppendSignature(table, file.get(), text.empty() ? &none : text.data(), text.size()));
        file.reset();
        return ReadBytes(Path());
    }
    Bytes Sign(const Bytes& content, const std::u16string& text, std::uint32_t seed) {
        return Sign(content, Utf16Le(text), seed);
    }

    std::size_t ReadCount(const Bytes& content, void* buffer = nullptr, std::size_t size = 0) {
        WriteBytes(Path(), content);
        UniqueFile file = OpenFile(Path(), "rb");
        CSigCodeTable table;
        return ReadSignature(table, file.get(), buffer, size);
    }

    std::optional<std::u16string> ReadText(const Bytes& content) {
        WriteBytes(Path(), content);
        UniqueFile file = OpenFile(Path(), "rb");
        return ReadSignatureText(file.get());
    }

    std::optional<std::int64_t> Unsigned(const Bytes& content) {
        WriteBytes(Path(), content);
        UniqueFile file = OpenFile(Path(), "rb");
        return UnsignedLength(file.get());
    }

    TempDir m_dir;
};

TEST_F(SignatureFiles, AbcTrailersByteForByte) {
    EXPECT_EQ(Sign({}, u"abc", 0),
              FromHex("a79b30e4 b97030e4 276d30e4 ba0e30e4 00000000 55bfe1cb 4c66e1cb"));
    EXPECT_EQ(Sign({}, u"abc", 0x12345678),
              FromHex("940d78bb 590778bb 8aec78bb 936978bb 78563412 3b6286b8 46ba86b8"));
}

TEST_F(SignatureFiles, AppendKeepsTheContentAndAddsFourNPlusSixteenBytes) {
    const Bytes content = PatternBytes(1000, 7);
    const Bytes signed_ = Sign(content, u"proof", 99);
    ASSERT_EQ(signed_.size(), content.size() + 4 * 5 + 16);
    EXPECT_TRUE(std::equal(content.begin(), content.end(), signed_.begin()));
    EXPECT_EQ(ReadText(signed_), u"proof");
}

TEST_F(SignatureFiles, AppendRefusesBadArgumentsAndWritesNothing) {
    const Bytes content = PatternBytes(50, 1);
    WriteBytes(Path(), content);
    UniqueFile file = OpenFile(Path(), "r+b");
    CSigCodeTable table;
    const Bytes odd = {'a', 0, 'b'};
    EXPECT_FALSE(AppendSignature(table, file.get(), odd.data(), odd.size()));
    EXPECT_FALSE(AppendSignature(table, file.get(), nullptr, 2));
    EXPECT_FALSE(AppendSignature(table, nullptr, odd.data(), 2));
    // One unit more than the length field can carry must not be stored truncated.
    const Bytes tooLong(2 * (kMaxSignatureUnits + 1), 'x');
    EXPECT_FALSE(AppendSignature(table, file.get(), tooLong.data(), tooLong.size()));
    const Bytes wrapsToShort(2 * 0x8001, 'x');
    EXPECT_FALSE(AppendSignature(table, file.get(), wrapsToShort.data(), wrapsToShort.size()));
    file.reset();
    EXPECT_EQ(ReadBytes(Path()), content);
}

TEST_F(SignatureFiles, BufferMustHoldTextAndTerminator) {
    const Bytes signed_ = Sign(PatternBytes(30, 3), u"hello", 5);
    EXPECT_EQ(ReadCount(signed_), 10u);

    // Room for the text and half the terminator: nothing is written, not even in the bytes
    // beyond the size given.
    Bytes exact(12, 0xAA);
    EXPECT_EQ(ReadCount(signed_, exact.data(), 11), 10u);
    EXPECT_EQ(exact, Bytes(12, 0xAA)) << "a buffer without room for the terminator is not filled";

    Bytes room(14, 0xAA);
    EXPECT_EQ(ReadCount(signed_, room.data(), room.size()), 10u);
    const Bytes expected = {'h', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0, 0, 0, 0xAA, 0xAA};
    EXPECT_EQ(room, expected);
}

TEST_F(SignatureFiles, NullStreamIsNotSigned) {
    CSigCodeTable table;
    EXPECT_EQ(ReadSignature(table, nullptr, nullptr, 0), 0u);
}

TEST_F(SignatureFiles, FilesShorterThanTwentyBytesAreNeverSigned) {
    // A one-unit trailer is exactly 20 bytes; every proper tail of it, and of longer ones, is
    // too short.
    const Bytes one = Sign({}, u"x", 11);
    ASSERT_EQ(one.size(), 20u);
    EXPECT_EQ(ReadCount(one), 2u);
    const Bytes empty = Sign({}, Bytes{}, 11);
    for (std::size_t size = 0; size < 20; ++size) {
        EXPECT_EQ(ReadCount(Bytes(one.end() - static_cast<long>(size), one.end())), 0u) << size;
        EXPECT_EQ(ReadCount(PatternBytes(size, 4)), 0u) << size;
        if (size >= empty.size()) {
            Bytes padded(size - empty.size(), 'p');
            padded.insert(padded.end(), empty.begin(), empty.end());
            EXPECT_EQ(ReadCount(padded), 0u) << size;
        }
    }
}

TEST_F(SignatureFiles, EmptyTextIsWrittenButReadsAsNoSignature) {
    const Bytes content = PatternBytes(100, 8);
    const Bytes signed_ = Sign(content, Bytes{}, 12);
    ASSERT_EQ(signed_.size(), content.size() + 16);
    EXPECT_EQ(ReadCount(signed_), 0u);
    EXPECT_FALSE(ReadText(signed_));
}

TEST_F(SignatureFiles, EveryDamagedTrailerReadsAsNoSignature) {
    const Bytes content = PatternBytes(64, 9);
    const std::u16string text = u"damage me";
    const std::uint32_t seed = 1234567;
    const Bytes good = Sign(content, text, seed);
    ASSERT_EQ(ReadText(good), text);

    CSigCodeTable table;
    table.Build(seed);
    std::uint16_t unused = 0;
    while (table.IndexOf(unused))
        ++unused;

    const std::size_t trailerStart = content.size();
    const std::size_t seedAt = good.size() - 12;
    for (std::size_t at = trailerStart; at < good.size(); at += 2) {
        if (at == seedAt || at == seedAt + 2)
            continue;
        Bytes bad = good;
        bad[at] = static_cast<std::uint8_t>(unused & 0xFF);
        bad[at + 1] = static_cast<std::uint8_t>(unused >> 8);
        EXPECT_FALSE(ReadText(bad)) << "code at offset " << at;
        EXPECT_FALSE(Unsigned(bad)) << "code at offset " << at;
        Bytes buffer(2 * text.size() + 2);
        EXPECT_EQ(ReadCount(bad, buffer.data(), buffer.size()), 0u) << "code at offset " << at;
        if (at >= good.size() - 16) {
            EXPECT_EQ(ReadCount(bad), 0u) << "length or magic code at offset " << at;
        }
    }

    // The first magic letter swapped for another letter's code: the codes still have the
    // magic's shape (the two O's alike, the others not), only their letters are wrong.
    Bytes wrongMagic = good;
    wrongMagic[good.size() - 8] = static_cast<std::uint8_t>(table['A'] & 0xFF);
    wrongMagic[good.size() - 7] = static_cast<std::uint8_t>(table['A'] >> 8);
    EXPECT_EQ(ReadCount(wrongMagic), 0u);
    EXPECT_FALSE(Unsigned(wrongMagic));

    // Another seed gives another table, in which the stored codes mean nothing.
    Bytes otherSeed = good;
    otherSeed[seedAt] ^= 0x01;
    EXPECT_EQ(ReadCount(otherSeed), 0u);

    for (std::size_t extra : {1u, 2u, 7u}) {
        Bytes appended = good;
        appended.insert(appended.end(), extra, 0);
        EXPECT_EQ(ReadCount(appended), 0u) << extra << " bytes appended";
    }
}

TEST_F(SignatureFiles, LengthReachingBeforeTheFileStartIsNoSignature) {
    const std::u16string text(40, u'w');
    const Bytes signed_ = Sign({}, text, 77);
    // Cut the first payload codes away: the stored length now reaches before offset 0.
    const Bytes cut(signed_.begin() + 8, signed_.end());
    EXPECT_EQ(ReadCount(cut), 0u);
    EXPECT_FALSE(ReadText(cut));
    Bytes buffer(200);
    EXPECT_EQ(ReadCount(cut, buffer.data(), buffer.size()), 0u);
    // The same trailer with exactly enough bytes in front of it is fine.
    EXPECT_EQ(ReadText(signed_), text);
}

TEST_F(SignatureFiles, UnsignedLengthIsWhatCameBeforeTheTrailer) {
    for (const std::size_t size : {0u, 1u, 19u, 1000u}) {
        const Bytes content = PatternBytes(size, 21);
        const Bytes signed_ = Sign(content, u"cut here", 31);
        EXPECT_EQ(Unsigned(signed_), static_cast<std::int64_t>(size));
    }
    const Bytes first = Sign(PatternBytes(40, 22), u"first", 32);
    EXPECT_EQ(Unsigned(Sign(first, u"second", 33)), static_cast<std::int64_t>(first.size()));

    EXPECT_FALSE(Unsigned(PatternBytes(1000, 23)));
    EXPECT_FALSE(Unsigned(Sign(PatternBytes(100, 24), Bytes{}, 34)));
    EXPECT_FALSE(UnsignedLength(nullptr));
    EXPECT_FALSE(IsSigned(nullptr));
}

TEST_F(SignatureFiles, TheLastOfTwoTrailersCounts) {
    const Bytes first = Sign(PatternBytes(25, 10), u"first", 1000);
    const Bytes both = Sign(first, u"second text", 1001);
    EXPECT_EQ(ReadText(both), u"second text");
    // Without the second, the first is whole again.
    const Bytes justFirst(both.begin(), both.begin() + static_cast<long>(first.size()));
    EXPECT_EQ(ReadText(justFirst), u"first");
}

TEST_F(SignatureFiles, LimitTexts) {
    const std::u16string longest(kMaxSignatureUnits, u'\x263A');
    const Bytes signed_ = Sign(PatternBytes(3, 2), longest, 0xDEADBEEF);
    EXPECT_EQ(ReadCount(signed_), 2 * kMaxSignatureUnits);
    EXPECT_EQ(ReadText(signed_), longest);
    EXPECT_EQ(ReadText(Sign({}, u"\x00FF", 5)), u"\x00FF");
    EXPECT_EQ(ReadText(Sign({}, std::u16string(1, u'\0'), 5)), std::u16string(1, u'\0'));
}

std::u16string RandomText(std::mt19937& random) {
    static const std::u16string pieces[] = {u"a",
                                            u"Z",
                                            u" ",
                                            u"\r\n",
                                            u"\x00E9",
                                            u"\x0416",
                                            u"\x4E2D",
                                            u"\xFFFD",
                                            u"\xD83D\xDE00", // an emoji: a surrogate pair
                                            u"\x0100",
                                            u"\x00FF",
                                            u"\x0000",
                                            u"\xFEFF"};
    std::u16string text;
    const std::size_t pieceCount = std::size(pieces);
    const std::size_t length = 1 + random() % (random() % 8 == 0 ? 4000 : 60);
    while (text.size() < length)
        text += pieces[random() % pieceCount];
    if (text.size() > kMaxSignatureUnits)
        text.resize(kMaxSignatureUnits);
    return text;
}

TEST_F(SignatureFiles, RoundTripsOverRandomSeedsAndTexts) {
    const std::uint32_t testSeed = TestSeed();
    SCOPED_TRACE("QUORVANE_TEST_SEED=" + std::to_string(testSeed));
    std::mt19937 random(testSeed);
    for (int round = 0; round < 150; ++round) {
        const std::uint32_t clock = random();
        const std::u16string text = RandomText(random);
        const Bytes content = PatternBytes(random() % 300, random());
        const Bytes signed_ = Sign(content, text, clock);
        ASSERT_EQ(ReadCount(signed_), 2 * text.size()) << "clock " << clock << " round " << round;
        ASSERT_EQ(ReadText(signed_), text) << "clock " << clock << " round " << round;
    }
}

TEST_F(SignatureFiles, SameSecondSameTextSameTrailer) {
    const Bytes a = Sign(PatternBytes(10, 1), u"same", 4242);
    const Bytes b = Sign(PatternBytes(33, 2), u"same", 4242);
    EXPECT_TRUE(std::equal(a.end() - 32, a.end(), b.end() - 32));
    // Another second stores another seed, and its table gives other codes: for the text, its
    // length and the magic.
    const Bytes c = Sign(PatternBytes(10, 1), u"same", 4243);
    EXPECT_FALSE(std::equal(a.end() - 32, a.end() - 12, c.end() - 32));
    EXPECT_FALSE(std::equal(a.end() - 8, a.end(), c.end() - 8));
}

// A batch keeps its tables: the writer derives one per signing second, the reader one per
// stored seed, and none for a file whose magic cannot be ours.
TEST_F(SignatureFiles, TablesAreBuiltOncePerSeedAndNotForFilesThatCannotBeSigned) {
    CSigCodeTable reader;
    const auto unsignedLength = [&](const Bytes& content) {
        WriteBytes(Path(), content);
        UniqueFile file = OpenFile(Path(), "rb");
        return UnsignedLength(reader, file.get(), static_cast<std::int64_t>(content.size()));
    };
    Bytes plain(100, 0);
    EXPECT_FALSE(unsignedLength(plain)); // four equal magic codes
    for (std::uint8_t& byte : plain)
        byte = static_cast<std::uint8_t>(&byte - plain.data());
    EXPECT_FALSE(unsignedLength(plain)); // four distinct ones
    EXPECT_EQ(reader.Builds(), 0u);

    const Bytes content(30, 'c');
    const Bytes first = Sign(content, u"one", 0x66000001);
    EXPECT_EQ(unsignedLength(first), 30);
    EXPECT_EQ(unsignedLength(Sign(content, u"two", 0x66000001)), 30);
    EXPECT_EQ(reader.Builds(), 1u);
    EXPECT_EQ(unsignedLength(Sign(content, u"three", 0x66000002)), 30);
    EXPECT_EQ(reader.Builds(), 2u);
    // A magic shaped like ours under another seed costs one table and is no signature.
    Bytes other = first;
    other[first.size() - 12] ^= 1;
    EXPECT_FALSE(unsignedLength(other));
    EXPECT_EQ(reader.Builds(), 3u);

    CScopedTestHooks hooks;
    hooks->clock = FixedClock(0x66000003);
    CSigCodeTable writer;
    const Bytes text = Utf16Le(u"x");
    for (int i = 0; i < 3; ++i) {
        UniqueFile file = OpenFile(Path(), "r+b");
        ASSERT_TRUE(AppendSignature(writer, file.get(), text.data(), text.size()));
    }
    EXPECT_EQ(writer.Builds(), 1u);
}

} // namespace

// Lengths above 32767 are never written; a reader of a stream keeps only the last bytes the
// longest written trailer occupies, so every reader takes such a length for no signature.
TEST_F(SignatureFiles, LengthsNoWriterStoresHoldNoSignature) {
    const std::u16string longest(kMaxSignatureUnits, u'x');
    Bytes bytes = Sign(PatternBytes(3, 2), longest, 77);
    ASSERT_EQ(ReadText(bytes), longest);
    CSigCodeTable table;
    table.Build(77);
    const auto put = [&](std::size_t at, std::uint8_t byte) {
        bytes[at] = static_cast<std::uint8_t>(table[byte] & 0xFF);
        bytes[at + 1] = static_cast<std::uint8_t>(table[byte] >> 8);
    };
    // One more unit of payload (two codes of 'y') and the length 32768.
    bytes.insert(bytes.begin() + 3, 4, 0);
    put(3, 'y');
    put(5, 0);
    put(bytes.size() - 16, 0x00);
    put(bytes.size() - 14, 0x80);
    EXPECT_EQ(ReadText(bytes), std::nullopt);
    EXPECT_EQ(Unsigned(bytes), std::nullopt);
    const TailTrailer tail = ReadTrailerInTail(table, bytes.data(), bytes.size(),
                                               static_cast<std::int64_t>(bytes.size()));
    EXPECT_EQ(tail.kind, TailTrailer::Kind::NotSigned);
}
