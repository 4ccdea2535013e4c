// Every text the signing side shows, defined once for the desktop program and quorvane-cli.
// Formatted texts use %s for a full path and %d for a decimal number.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace signtext {

inline constexpr std::u16string_view kInvalidOutputFolder = u"Please select a valid output folder.";
inline constexpr std::u16string_view kCannotOpenForReading = u"Could not open file %s for reading!";
inline constexpr std::u16string_view kCannotOpenForSigning = u"Could not open file %s for signing!";
inline constexpr std::u16string_view kAlreadySigned =
    u"File %s is already digitally signed, cannot re-sign!";
inline constexpr std::u16string_view kOverwrite = u"File %s already exists, overwrite?";
inline constexpr std::u16string_view kCannotWrite = u"Could not open file %s for writing!";
inline constexpr std::u16string_view kCannotSign = u"Could not sign file %s!";
inline constexpr std::u16string_view kNoneSigned = u"No files were encrypted!";
inline constexpr std::u16string_view kOneSigned = u"File encrypted succesfully!";
inline constexpr std::u16string_view kManySigned = u"%d files encrypted succesfully!";
inline constexpr std::u16string_view kStatus = u"Signing file %d of %d";
// A source of a kind whose own tools object to a signed copy: %s is the source, the second %s
// the kind's name ("xz"), the third what its tools do with a signed copy.
inline constexpr std::u16string_view kKindWarning = u"File %s (%s): %s.";
inline constexpr std::u16string_view kKindLeftOut = u"File %s (%s): %s. Left out.";

inline constexpr std::u16string_view kCaptionError = u"Error";
inline constexpr std::u16string_view kCaptionErrorBang = u"Error!";
inline constexpr std::u16string_view kCaptionQuestion = u"Question";
inline constexpr std::u16string_view kCaptionDone = u"Done";
inline constexpr std::u16string_view kCaptionWarning = u"Warning";

// What a message of a sign run says, whatever its words: users that answer once for all the
// messages of a kind, or turn a message into a status, key on it.
enum class MessageId {
    InvalidOutputFolder,
    CannotOpenForReading,
    CannotOpenForSigning,
    AlreadySigned,
    Overwrite,
    CannotWrite,
    CannotSign,
    KindWarning,
    KindLeftOut,
    Summary,
};

struct MessageText {
    std::u16string_view format;
    std::u16string_view caption;
};

// The words and caption of a message (the summary's are those of no file signed).
constexpr MessageText TextOf(MessageId id) {
    switch (id) {
    case MessageId::InvalidOutputFolder:
        return {kInvalidOutputFolder, kCaptionErrorBang};
    case MessageId::CannotOpenForReading:
        return {kCannotOpenForReading, kCaptionError};
    case MessageId::CannotOpenForSigning:
        return {kCannotOpenForSigning, kCaptionErrorBang};
    case MessageId::AlreadySigned:
        return {kAlreadySigned, kCaptionErrorBang};
    case MessageId::Overwrite:
        return {kOverwrite, kCaptionQuestion};
    case MessageId::CannotWrite:
        return {kCannotWrite, kCaptionError};
    case MessageId::CannotSign:
        return {kCannotSign, kCaptionErrorBang};
    case MessageId::KindWarning:
        return {kKindWarning, kCaptionWarning};
    case MessageId::KindLeftOut:
        return {kKindLeftOut, kCaptionError};
    case MessageId::Summary:
        break;
    }
    return {kNoneSigned, kCaptionDone};
}

// Replaces each %s and %d of `format`, in order, by the next of `arguments`; %% gives %.
template <class Char>
std::basic_string<Char> Format(std::basic_string_view<Char> format,
                               const std::vector<std::basic_string<Char>>& arguments) {
    std::basic_string<Char> out;
    out.reserve(format.size() + 64);
    std::size_t next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        const Char c = format[i];
        if (c == Char('%') && i + 1 < format.size()) {
            const Char kind = format[i + 1];
            if ((kind == Char('s') || kind == Char('d')) && next < arguments.size()) {
                out += arguments[next++];
                ++i;
                continue;
            }
            if (kind == Char('%')) {
                out += c;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

// The decimal digits of `value` in any character type.
template <class Char> std::basic_string<Char> Decimal(std::uint64_t value) {
    std::basic_string<Char> digits;
    do {
        digits.insert(digits.begin(), static_cast<Char>('0' + value % 10));
        value /= 10;
    } while (value != 0);
    return digits;
}

// A per-file message with the source path as the list holds it.
inline std::u16string WithPath(std::u16string_view format, const std::u16string& path) {
    return Format<char16_t>(format, {path});
}
// "Signing file %d of %d".
inline std::u16string Status(std::uint64_t position, std::uint64_t count) {
    return Format<char16_t>(kStatus, {Decimal<char16_t>(position), Decimal<char16_t>(count)});
}
// The summary text for `signedCount` signed copies.
inline std::u16string Summary(std::uint64_t signedCount) {
    if (signedCount == 0)
        return std::u16string(kNoneSigned);
    if (signedCount == 1)
        return std::u16string(kOneSigned);
    return Format<char16_t>(kManySigned, {Decimal<char16_t>(signedCount)});
}

} // namespace signtext
