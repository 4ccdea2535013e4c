#include "Command.h"

#include "FileErrors.h"
#include "FileOps.h"
#include "TextConvert.h"

#include <algorithm>
#include <string>
#include <thread>

unsigned JobsFor(unsigned asked) {
    if (asked == 0)
        asked = std::thread::hardware_concurrency();
    return std::clamp(asked, 1u, kMaxJobs);
}

TextProblem CheckText(std::u16string& text, bool crLf) {
    if (crLf)
        text = WithCrLf(text);
    if (text.empty())
        return TextProblem::Empty;
    if (text.size() > kMaxSignatureUnits)
        return TextProblem::TooLong;
    return TextProblem::None;
}

namespace {

// Reads no more than the longest text can need, whatever the file (a FIFO, a device, standard
// input) holds.
TextToSign ReadText(std::FILE* file) {
    TextToSign read;
    std::string bytes(kMaxTextFileBytes + 1, '\0');
    std::size_t size = 0;
    while (size < bytes.size()) {
        const std::size_t got = FileRead(file, bytes.data() + size, bytes.size() - size);
        if (got == 0)
            break;
        size += got;
    }
    if (std::ferror(file)) {
        read.problem = TextProblem::FileUnreadable;
        read.error = LastError();
        return read;
    }
    if (size > kMaxTextFileBytes) {
        read.problem = TextProblem::FileTooLong;
        return read;
    }
    bytes.resize(size);
    std::optional<std::u16string> text = TextFromFileBytes(bytes);
    if (!text)
        read.problem = TextProblem::FileNotText;
    else
        read.text = std::move(*text);
    return read;
}

} // namespace

TextToSign PrepareText(const GivenText& given) {
    TextToSign prepared;
    switch (given.from) {
    case GivenText::From::Typed:
        prepared.text = given.typed;
        break;
    case GivenText::From::Stream:
        if (given.stream == nullptr) {
            prepared.problem = TextProblem::StreamClosed;
            return prepared;
        }
        prepared = ReadText(given.stream);
        break;
    case GivenText::From::File: {
        ClearLastError();
        const UniqueFile file = OpenFile(LongPath(given.file), "rb");
        if (file == nullptr) {
            prepared.problem = TextProblem::FileUnreadable;
            prepared.error = LastError();
            return prepared;
        }
        prepared = ReadText(file.get());
        break;
    }
    }
    if (prepared.problem == TextProblem::None)
        prepared.problem = CheckText(prepared.text, given.crLf);
    return prepared;
}
