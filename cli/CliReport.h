// quorvane-cli's lines for the engine's events: the path as the system spells it, then the
// cause in brackets, and the tool's remedies (--force, quorvane-cli strip). libquorvane's
// batches report the same lines, which their callers take for quorvane-cli's.
#pragma once

#include "CheckEngine.h"
#include "FolderWalk.h"
#include "SignEngine.h"
#include "Strip.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

// " was written from SOURCE earlier in this run", without the source when the run no longer
// remembers it.
std::string WrittenEarlier(const std::filesystem::path& earlierSource);
// " (why)" after a message: the reason, the output it is about, the earlier source; empty
// when there is nothing to add.
std::string CauseText(const std::error_code& error, const std::filesystem::path& output = {},
                      const std::filesystem::path* earlierSource = nullptr);

// A failure, a question or the summary, in UTF-8.
std::string MessageLine(const SignMessage& message);

// A source of a kind whose tools object to a signed copy, with what they do and how to undo
// it: "Warning: File a.xz (xz): xz will ...; `quorvane-cli strip` gives the original back.",
// or for a source left out "File a.xz (xz): xz will .... Left out."
std::string KindLine(const std::filesystem::path& source, FileKind kind, bool leftOut);

// The overwrite question answered No because replacing was not asked for.
std::string KeptLine(const SignMessage& question);

// Why a link met below a folder of `-r` gives no files.
inline constexpr std::string_view kLinkToFolder = "a link to a folder, not followed";
inline constexpr std::string_view kLinkToFile = "a link to a file, not followed";
std::string_view LinkText(LinkedTo link);

// Something below a folder of `-r` that is not signed: "PATH: not a regular file, skipped"; or
// a folder given without -r: "PATH is a folder; -r signs the files in it".
std::string WalkProblemText(const WalkProblem& problem);

// A JSON string of UTF-16 text, exact: an unpaired surrogate is kept as its \u escape.
std::string JsonString(std::u16string_view units);

// Why a checked item could not be read: "a link to a folder, not followed" or the system's
// reason.
std::string CheckReason(const CheckResult& result);
// quorvane-cli check --json's line for one item (without its line break): path, signed, text
// and signed_at, or error and reason.
std::string CheckJsonLine(const std::filesystem::path& path, const CheckResult& result);

// The line a strip run gives for a source that was not stripped ("PATH: why"); empty for a
// stripped one, and for an existing output kept when `quietExisting`.
std::string StripProblemLine(const std::filesystem::path& source, const StripResult& result,
                             bool quietExisting);
