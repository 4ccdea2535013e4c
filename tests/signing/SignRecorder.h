// An observer that records a batch as lines of text and answers the overwrite question from a
// script, for tests of the engine and of its users.
#pragma once

#include "SignEngine.h"
#include "TextConvert.h"

#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

// A path as the engine's messages show it, in UTF-8.
inline std::string Text(const std::filesystem::path& path) {
    return Utf16ToUtf8(PathText(path));
}

class CSignRecorder : public ISignObserver {
public:
    std::vector<std::string> events;
    // Answers to the overwrite question, in order; Yes when the script has run out.
    std::deque<bool> answers;
    // Runs before each file's work, for faults that strike mid-batch.
    std::function<void(std::size_t position)> beforeFile;
    // Runs while a failure is shown.
    std::function<void()> onFailure;

    void BatchStarted(std::size_t count) override {
        events.push_back("start " + std::to_string(count));
    }
    void FileStarted(std::size_t position, std::size_t, const std::u16string& status) override {
        events.push_back("status " + Utf16ToUtf8(status));
        if (beforeFile)
            beforeFile(position);
    }
    void FileFinished(std::size_t position, const SignItem&, SignOutcome) override {
        events.push_back("step " + std::to_string(position));
    }
    // Each failure's cause: the file it names, and the error.
    std::vector<std::pair<std::filesystem::path, std::error_code>> causes;

    void ReportFailure(const SignMessage& message) override {
        Record("message", message);
        causes.emplace_back(message.output, message.error);
        if (onFailure)
            onFailure();
    }
    void ReportWarning(const SignMessage& message) override { Record("warning", message); }
    bool AskOverwrite(const SignMessage& question) override {
        Record("ask", question);
        if (answers.empty())
            return true;
        const bool answer = answers.front();
        answers.pop_front();
        return answer;
    }
    // The answer to the question about a kind (KindPolicy::Ask), with a stop of `stopAtKind`.
    bool kindAnswer = true;
    CRunControl* stopAtKind = nullptr;
    bool AskKind(const SignMessage& question) override {
        Record("ask-kind", question);
        if (stopAtKind != nullptr)
            stopAtKind->Stop();
        return kindAnswer;
    }
    void NotTaken(const WalkProblem& problem) override {
        events.push_back("not taken " + Text(problem.path));
    }
    void BatchFinished() override { events.push_back("end"); }
    void ShowSummary(const SignMessage& summary) override { Record("summary", summary); }

    // The messages only, without progress.
    std::vector<std::string> Messages() const {
        std::vector<std::string> messages;
        for (const auto& event : events)
            if (event.rfind("message ", 0) == 0 || event.rfind("ask", 0) == 0 ||
                event.rfind("warning ", 0) == 0 || event.rfind("summary ", 0) == 0)
                messages.push_back(event);
        return messages;
    }

private:
    static constexpr const char* kKindNames[] = {"error", "question", "done"};
    void Record(const char* kind, const SignMessage& message) {
        events.push_back(std::string(kind) + " " + Utf16ToUtf8(message.caption) + " " +
                         kKindNames[static_cast<int>(message.kind)] + " " +
                         Utf16ToUtf8(message.text));
    }
};
