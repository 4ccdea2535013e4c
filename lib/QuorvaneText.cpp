// libquorvane's texts: the text to sign as quorvane-cli takes it (from a file's bytes, with CR
// LF, checked), a signing time and a batch's summary as people read them.
#include "quorvane.h"

#include "LibSupport.h"
#include "SigClock.h"
#include "SignTexts.h"
#include "TextConvert.h"

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

using namespace libq;

extern "C" {

int quorvane_sign_summary(size_t signedCount, char** text) {
    return Guarded([&] {
        if (text == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no place for the text");
        Utf8Out(text).Give(signtext::Summary(signedCount), 0);
        return Succeed();
    });
}

int quorvane_time_text(int64_t seconds, char** text) {
    return Guarded([&] {
        if (text == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no place for the text");
        *text = nullptr;
        if (seconds < 0 || seconds > std::numeric_limits<std::uint32_t>::max())
            return Fail(QUORVANE_INVALID_ARGUMENT, "not a signing time");
        const std::string iso = IsoUtc(static_cast<std::uint32_t>(seconds));
        *text = static_cast<char*>(Handed(iso, iso.size() + 1));
        return Succeed();
    });
}

int quorvane_text_from_file_bytes(const void* bytes, size_t size, char** text, size_t* textSize) {
    return Guarded([&] {
        const TextOut out = Wtf8Out(text, textSize, nullptr);
        if (bytes == nullptr && size > 0)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no bytes given");
        const std::optional<std::u16string> units =
            TextFromFileBytes(size > 0 ? std::string_view(static_cast<const char*>(bytes), size)
                                       : std::string_view());
        if (!units)
            return Fail(QUORVANE_INVALID_TEXT,
                        "it is neither UTF-8 nor UTF-16 with a byte order mark (FF FE or FE FF)");
        out.Give(*units, 0);
        return Succeed();
    });
}

int quorvane_with_crlf(const char* text, size_t textSize, char** out, size_t* outSize) {
    return Guarded([&] {
        const TextOut given = Wtf8Out(out, outSize, nullptr);
        if (text == nullptr && textSize > 0)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no text given");
        const std::optional<std::u16string> units =
            Wtf8ToUtf16(textSize > 0 ? std::string_view(text, textSize) : std::string_view());
        if (!units)
            return Fail(QUORVANE_INVALID_TEXT, "the text is not valid WTF-8");
        given.Give(WithCrLf(*units), 0);
        return Succeed();
    });
}

int quorvane_text_to_sign(const char* text, size_t textSize, char** out, size_t* outSize) {
    return Guarded([&] {
        const TextOut given = Wtf8Out(out, outSize, nullptr);
        if (text == nullptr && textSize > 0)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no text given");
        std::u16string units;
        if (const int status = TakeText(Wtf8In(text, textSize), units, true))
            return status;
        given.Give(units, 0);
        return Succeed();
    });
}

} // extern "C"
