// Checking, the reading side of the engine: the text and signing time of each file's trailer,
// for a batch of files (and streams) with several jobs and a stop flag, as the desktop
// program's list of signatures, quorvane-cli check, libquorvane and the Python module show it.
// Results reach the observer in the order of the items, on the calling thread, whatever the
// number of jobs; files are only read.
#pragma once

#include "Command.h"
#include "FolderWalk.h"
#include "Streams.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

enum class CheckOutcome {
    Signed,
    NotSigned,  // the file holds no valid trailer
    Unreadable, // it cannot be opened or read, is not a regular file, or is a link to a folder
};

struct CheckItem {
    std::filesystem::path path;
    // What a folder walk already knows against it (it is then not opened).
    std::error_code error{};
    LinkedTo link = LinkedTo::Nothing;
    // Read to its end from this stream instead of opening `path` (standard input).
    CStreamSource* stream = nullptr;
};

struct CheckResult {
    CheckOutcome outcome = CheckOutcome::NotSigned;
    // Signed: the text exactly as stored, and the signing time the trailer records (seconds
    // since 1970 UTC, the signer's clock: it proves nothing).
    std::u16string text;
    std::uint32_t seed = 0;
    // Unreadable: why.
    std::error_code error;
    LinkedTo link = LinkedTo::Nothing;
};

class ICheckObserver {
public:
    virtual ~ICheckObserver() = default;
    // Each item's result, in the order of the items (`position` from 0).
    virtual void FileChecked(std::size_t position, const CheckItem& item,
                             const CheckResult& result) = 0;
};

struct CheckRequest {
    std::vector<CheckItem> items;
    // Files read at once; the observer still sees them in order.
    unsigned jobs = 1;
    // Stops the run before its next item.
    CRunControl* control = nullptr;
    // When set, the items come from here, one at a time as the run comes to them, instead of
    // from `items` (false after the last). As a sign run's entries, a call that throws
    // std::bad_alloc gives the same item when called again.
    std::function<bool(CheckItem&)> entries{};
};

struct CheckBatchResult {
    std::size_t signedCount = 0;
    // One per item the run reached, in order: all of them unless it was stopped.
    std::vector<CheckOutcome> outcomes;
    // AllDone when every item was reached and is signed.
    Verdict verdict = Verdict::SomeNotDone;
};

// The trailer of one file, opened as signing opens files (only regular files).
CheckResult CheckFile(const std::filesystem::path& path);
// The trailer of one item of a batch.
CheckResult CheckOne(const CheckItem& item);

// The items that checking a folder takes (quorvane-cli check -r): every regular file below it
// (those named like our temporaries too: a file is not passed over for its name) and, with
// what the walk knows against them, the entries that cannot be checked (a folder that cannot
// be listed, a FIFO, a dangling link, a link, which is not followed unless `followLinks`), all
// in the order of their paths.
std::vector<CheckItem> CheckItemsBelow(const std::filesystem::path& folder,
                                       bool followLinks = false);
// The items checking takes for one operand: those below it for a folder when `recursive`,
// otherwise the operand itself (a folder is then refused as no regular file).
std::vector<CheckItem> CheckItemsOf(const std::filesystem::path& operand, bool recursive,
                                    bool followLinks = false);

// The items of a check run, operand after operand (`next` gives each as an item: a path, or
// a stream), a folder walked as the run comes to it when `recursive`: its files and what the
// walk met against them, in the order of their paths. A call that throws (no memory) leaves the
// item to the next call, as `next` must.
class CCheckEntries {
public:
    using NextOperand = std::function<bool(CheckItem& operand)>;
    CCheckEntries(NextOperand next, bool recursive, bool followLinks);
    bool Next(CheckItem& item);

private:
    NextOperand m_next;
    const bool m_recursive;
    const bool m_followLinks;
    std::unique_ptr<CFolderWalk> m_walk;
    // An operand taken from `next` and not yet given or walked.
    std::optional<CheckItem> m_operand;
};

CheckBatchResult RunCheckBatch(const CheckRequest& request, ICheckObserver& observer);
