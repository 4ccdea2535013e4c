// What every command of the engine (sign, check, strip) takes the same way, whichever door
// asks: the policy for outputs that exist, the jobs asked for, the text as given, one control
// to stop a run and watch its bytes, and the verdict a run ends with. The doors only put these
// into their own words and forms.
#pragma once

#include "Signature.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <system_error>

// An output that exists when a file's turn comes.
enum class ExistingOutputs {
    // The observer is asked (AskOverwrite), outputs written earlier in the run too: the
    // desktop program's question.
    Ask,
    // Kept, with an event (OutputKept); an output written earlier in the run is refused.
    Keep,
    // Kept without an event, and the file counts as done.
    KeepQuietly,
    // Replaced; never one written earlier in the same run, which is refused.
    Replace,
};

// What a run does with a source of a kind whose own tools object to bytes after its end (see
// FileKinds.h): each such file is signed after a warning, left out as a refusal, or signed
// without a word (the user was asked once for the whole run); or the first such file's turn
// asks the observer (ISignObserver::AskKind), whose answer holds for the rest of the run.
enum class KindPolicy { Warn, LeaveOut, SignQuietly, Ask };

// More files at once than any disk gains from.
inline constexpr unsigned kMaxJobs = 64;
// The files a run reads and writes at once for `asked` jobs: 0 asks for one per processor;
// never more than kMaxJobs.
unsigned JobsFor(unsigned asked);

// One control of a run for whoever watches it from another thread: a stop, which ends the
// run before its next file and inside the copies under way (they are dropped, files already
// done stay), and the bytes put into copies so far (copies later dropped included).
class CRunControl {
public:
    CRunControl() = default;
    // `copied` is told the run's bytes so far after each piece of a copy, on the copying
    // thread: for a watcher that redraws as the bytes move.
    explicit CRunControl(std::function<void(std::uint64_t copied)> copied)
        : m_onCopied(std::move(copied)) {}

    void Stop() { m_stop.store(true, std::memory_order_relaxed); }
    bool Stopped() const { return m_stop.load(std::memory_order_relaxed); }
    void AddCopied(std::uint64_t bytes) {
        const std::uint64_t now = m_copied.fetch_add(bytes, std::memory_order_relaxed) + bytes;
        if (m_onCopied)
            m_onCopied(now);
    }
    std::uint64_t Copied() const { return m_copied.load(std::memory_order_relaxed); }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint64_t> m_copied{0};
    std::function<void(std::uint64_t)> m_onCopied;
};

// True when `control` is set and stopped.
inline bool StopAsked(const CRunControl* control) {
    return control != nullptr && control->Stopped();
}

// How a run ended, for each door to map to its own form (an exit status, a status code, an
// exception, a report).
enum class Verdict {
    AllDone,     // every file was done
    SomeNotDone, // some file or operand was refused, failed, or holds no signature
    NothingDone, // the run could not start: nothing was read or written
};

// Why a text cannot be signed.
enum class TextProblem {
    None,
    Empty,
    TooLong,        // more than kMaxSignatureUnits UTF-16 code units
    FileTooLong,    // a text file longer than any valid text's (kMaxTextFileBytes)
    FileNotText,    // neither UTF-8 nor UTF-16 with a byte order mark
    FileUnreadable, // the file cannot be opened or read (`error` says why)
    StreamClosed,   // the text was to come from a stream that is closed
};

// The longest text file that can hold a valid text: three UTF-8 bytes per UTF-16 code unit at
// most (a line break, one byte, becomes two units), a byte order mark and one final line break.
inline constexpr std::size_t kMaxTextFileBytes = 3 * kMaxSignatureUnits + 3 + 2;

// A text to sign as the user gave it: typed (UTF-16, line breaks as typed), or the bytes of a
// text file, read here from a path or an open stream.
struct GivenText {
    enum class From { Typed, File, Stream };
    From from = From::Typed;
    std::u16string typed;
    std::filesystem::path file;
    std::FILE* stream = nullptr;
    // Line breaks become CR LF, as the desktop program and quorvane-cli store them; the C
    // library and the Python module store a text exactly as given.
    bool crLf = true;
};

struct TextToSign {
    std::u16string text; // ready for the trailer
    TextProblem problem = TextProblem::None;
    std::error_code error; // FileUnreadable: why
};

// The text of the trailer from what was given: decoded, its line breaks made CR LF when asked,
// its length checked. A file or stream is read no further than the longest text can need.
TextToSign PrepareText(const GivenText& given);
// The same checks for a text already decoded.
TextProblem CheckText(std::u16string& text, bool crLf);
