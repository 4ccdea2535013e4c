// What quorvane-cli shows of a run: the engine's events as lines on standard error (and
// check's texts on standard output), a progress line on a terminal.
#pragma once

#include "CheckEngine.h"
#include "Cli.h"
#include "CliPlatform.h"
#include "CliProgress.h"
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
    explicit CCliSignObserver(CProgressLine& progress) : m_progress(progress) {}

    void BatchStarted(std::size_t) override {}
    void FileStarted(std::size_t, std::size_t, const std::u16string&) override {}
    void FileFinished(std::size_t, const SignItem&, SignOutcome) override { m_progress.FileDone(); }
    void ReportFailure(const SignMessage& message) override {
        m_progress.Line(MessageLine(message));
    }
    void ReportWarning(const SignMessage& message) override {
        m_progress.Line(MessageLine(message));
    }
    void OutputKept(const SignMessage& question) override { m_progress.Line(KeptLine(question)); }
    void NotTaken(const WalkProblem& problem) override {
        m_progress.Line("quorvane-cli: " + WalkProblemText(problem));
    }
    void BatchFinished() override { m_progress.Finish(); }
    void ShowSummary(const SignMessage& summary) override { m_progress.Line(MessageLine(summary)); }

private:
    CProgressLine& m_progress;
};

// check's output: each item's text, or its JSON line, in the order of the items.
class CCliCheckObserver : public ICheckObserver {
public:
    CCliCheckObserver(CliStreams& streams, CRunControl& control, CProgressLine& progress, bool json,
                      bool single)
        : m_streams(streams), m_control(control), m_progress(progress), m_json(json),
          m_single(single) {}

    void FileChecked(std::size_t, const CheckItem& item, const CheckResult& result) override {
        // Standard output may be the terminal the progress line is on.
        m_progress.Clear();
        Show(item, result);
        m_progress.FileDone();
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
            m_progress.Line(
                "quorvane-cli: cannot read " + name +
                (standardInput ? CauseText(result.error) : " (" + CheckReason(result) + ")"));
            return;
        }
        const bool isSigned = result.outcome == CheckOutcome::Signed;
        if (m_single) {
            if (isSigned)
                m_streams.out.Write(Visible(ForDisplay(result.text), true) + newline);
            else
                m_progress.Line("quorvane-cli: no signature in " + name);
        } else if (isSigned) {
            m_streams.out.Write(ShownPath(item.path) + ":" + newline +
                                Visible(ForDisplay(result.text), true) + newline + newline);
        } else {
            m_streams.out.Write(ShownPath(item.path) + ": no signature" + newline + newline);
        }
    }
    CliStreams& m_streams;
    CRunControl& m_control;
    CProgressLine& m_progress;
    bool m_json;
    bool m_single;
};

// strip's messages: a line for each source that was not stripped, in the order of the sources.
class CCliStripObserver : public IStripObserver {
public:
    CCliStripObserver(CProgressLine& progress, bool quiet) : m_progress(progress), m_quiet(quiet) {}

    void FileStripped(std::size_t, const std::filesystem::path& source,
                      const StripResult& result) override {
        const std::string line = StripProblemLine(source, result, m_quiet);
        if (!line.empty())
            m_progress.Line("quorvane-cli: " + line);
        m_progress.FileDone();
    }

private:
    CProgressLine& m_progress;
    bool m_quiet;
};
