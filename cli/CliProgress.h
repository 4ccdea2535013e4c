// quorvane-cli's progress line: files done of the files known, bytes, rate and time left,
// kept up to date on a terminal (at most ten times a second, moving within a large file too)
// or written as lines for a log (--progress, at most once a second). It is erased before any
// message and at the end, so that messages stay as they are.
#pragma once

#include "Cli.h"
#include "SignEngine.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CProgressLine {
public:
    enum class Mode { Off, Terminal, Lines };
    // A steady clock in milliseconds (tests give their own).
    using Clock = std::function<std::uint64_t()>;

    CProgressLine(ICliOutput& err, Mode mode, std::string_view verb, Clock clock = {});

    // More is known of the run: files, and their bytes when told. Never throws, as the sources
    // of a run's entries that tell it must not (a line short of memory is drawn at the next).
    void Known(std::uint64_t files, std::uint64_t bytes) noexcept;
    // One more file is known, with its bytes when the line is shown (what cannot be asked
    // counts as none); from any thread.
    void KnownFile(const std::filesystem::path& source) noexcept;
    // A file's turn ended (whatever its outcome), with the bytes it brought.
    void FileDone(std::uint64_t bytes = 0);
    // The run's bytes so far, from any thread (the run's control tells them).
    void Copied(std::uint64_t bytes);
    // A message line: the progress line goes first.
    void Line(std::string_view text);
    // The line goes until the next redraw, before something else is written to the terminal.
    void Clear();
    // The run ended: the line goes.
    void Finish();

    // What the line says now (tests).
    std::string Text();
    // True when a line is shown at all.
    bool Shown() const { return m_mode != Mode::Off; }

private:
    std::string TextLocked() const;
    void DrawLocked();
    void EraseLocked();

    ICliOutput& m_err;
    Mode m_mode;
    std::string m_verb;
    Clock m_clock;
    std::mutex m_lock;
    std::uint64_t m_start = 0;
    std::uint64_t m_lastDraw = 0;
    bool m_drawn = false;
    std::size_t m_width = 0; // of the line on the terminal
    std::uint64_t m_filesDone = 0;
    std::uint64_t m_filesKnown = 0;
    std::uint64_t m_bytesDone = 0;   // of the files done
    std::uint64_t m_bytesCopied = 0; // the run's count, copies under way included
    std::uint64_t m_bytesKnown = 0;
};

// The bytes of a source, as the line counts them (what cannot be asked counts as none).
std::uint64_t SizeOfFile(const std::filesystem::path& path);

// The mode for `--progress` / `--no-progress` (neither: a terminal gets the line).
CProgressLine::Mode ProgressMode(bool asked, bool refused, bool errIsTerminal);
