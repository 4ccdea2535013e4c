// What quorvane-cli shows of a run: the engine's events as lines on standard error (and
// check's texts on standard output), a progress line on a terminal.
#pragma once

#include "CheckEngine.h"
#include "Cli.h"
#include "CliPlatform.h"
#include "Command.h"
#include "SignEngine.h"
#include "CliReport.h"
#include "Streams.h"
#include "Strip.h"
#include "TextConvert.h"

#include <algorithm>

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

// `text` and the platform's line break.
void WriteLine(ICliOutput& output, std::string_view text);
// CR LF as the platform's line break, for showing a text.
std::string ForDisplay(std::u16string_view text);

// What a stream to standard output came to: its lines, and the exit status. `path` is the
// file, or "-" for standard input; `signing` tells sign from strip.
int ShowStreamResult(CliStreams& streams, const StreamResult& result,
                     const std::filesystem::path& path, bool standardInput, bool signing);

// Why the text cannot be signed, in the tool's words; `name` is the text file's shown name.
std::string TextProblemText(const TextToSign& prepared, const std::string& name);

// The line of a stream that was not stripped, as a batch gives it for a file.
std::string StreamStripLine(const std::filesystem::path& name, StripOutcome outcome,
                            std::error_code error);

// sign's messages, and the progress line on a terminal.
class CCliSignObserver : public ISignObserver {
public:
    explicit CCliSignObserver(CliStreams& streams) : m_streams(streams) {}

    void BatchStarted(std::size_t) override {}
    void FileStarted(std::size_t, std::size_t, const std::u16string& status) override {
        if (!m_streams.errIsTerminal)
            return;
        // Plain carriage returns and blanks: every console understands them.
        std::string line = "\r" + Utf16ToUtf8(status);
        if (status.size() < m_progressWidth)
            line += std::string(m_progressWidth - status.size(), ' ');
        m_progressWidth = std::max(m_progressWidth, status.size());
        m_streams.err.Write(line);
    }
    void FileFinished(std::size_t, const SignItem&, SignOutcome) override {}
    void ReportFailure(const SignMessage& message) override { Line(MessageLine(message)); }
    void ReportWarning(const SignMessage& message) override { Line(MessageLine(message)); }
    void OutputKept(const SignMessage& question) override { Line(KeptLine(question)); }
    void BatchFinished() override { ClearProgress(); }
    void ShowSummary(const SignMessage& summary) override { Line(MessageLine(summary)); }

private:
    void ClearProgress() {
        if (m_progressWidth > 0)
            m_streams.err.Write("\r" + std::string(m_progressWidth, ' ') + "\r");
        m_progressWidth = 0;
    }
    void Line(const std::string& text) {
        ClearProgress();
        m_streams.err.Write(text + std::string(kCliNewline));
    }

    CliStreams& m_streams;
    // Characters of the progress line on the terminal; 0 when none is shown.
    std::size_t m_progressWidth = 0;
};

// check's output: each item's text, or its JSON line, in the order of the items.
class CCliCheckObserver : public ICheckObserver {
public:
    CCliCheckObserver(CliStreams& streams, CRunControl& control, bool json, bool single)
        : m_streams(streams), m_control(control), m_json(json), m_single(single) {}

    void FileChecked(std::size_t, const CheckItem& item, const CheckResult& result) override {
        Show(item, result);
        // Output that does not arrive ends the run.
        if (m_streams.out.Error())
            m_control.Stop();
    }

private:
    void Show(const CheckItem& item, const CheckResult& result) {
        const std::string newline(kCliNewline);
        if (m_json) {
            m_streams.out.Write(CheckJsonLine(item.path, result) + newline);
            return;
        }
        const bool standardInput = item.stream != nullptr;
        const std::string name = standardInput ? "standard input" : ShownPath(item.path);
        if (result.outcome == CheckOutcome::Unreadable) {
            WriteLine(m_streams.err, "quorvane-cli: cannot read " + name +
                                         (standardInput ? CauseText(result.error)
                                                        : " (" + CheckReason(result) + ")"));
            return;
        }
        const bool isSigned = result.outcome == CheckOutcome::Signed;
        if (m_single) {
            if (isSigned)
                m_streams.out.Write(Visible(ForDisplay(result.text), true) + newline);
            else
                WriteLine(m_streams.err, "quorvane-cli: no signature in " + name);
        } else if (isSigned) {
            m_streams.out.Write(ShownPath(item.path) + ":" + newline +
                                Visible(ForDisplay(result.text), true) + newline + newline);
        } else {
            m_streams.out.Write(ShownPath(item.path) + ": no signature" + newline + newline);
        }
    }
    CliStreams& m_streams;
    CRunControl& m_control;
    bool m_json;
    bool m_single;
};

// strip's messages: a line for each source that was not stripped, in the order of the sources.
class CCliStripObserver : public IStripObserver {
public:
    CCliStripObserver(CliStreams& streams, bool quiet) : m_streams(streams), m_quiet(quiet) {}

    void FileStripped(std::size_t, const std::filesystem::path& source,
                      const StripResult& result) override {
        const std::string line = StripProblemLine(source, result, m_quiet);
        if (!line.empty())
            WriteLine(m_streams.err, "quorvane-cli: " + line);
    }

private:
    CliStreams& m_streams;
    bool m_quiet;
};
