#include "CheckEngine.h"

#include "FileOps.h"
#include "FolderWalk.h"
#include "Prefetcher.h"
#include "Signature.h"

#include <algorithm>
#include <utility>

namespace {

CheckResult Unreadable(std::error_code error, LinkedTo link = LinkedTo::Nothing) {
    CheckResult result;
    result.outcome = CheckOutcome::Unreadable;
    result.error = error;
    result.link = link;
    return result;
}

CheckResult FromStream(const StreamResult& stream) {
    if (stream.outcome == StreamOutcome::ReadFailed)
        return Unreadable(stream.error);
    CheckResult result;
    if (stream.outcome == StreamOutcome::Done) {
        result.outcome = CheckOutcome::Signed;
        result.text = stream.text;
        result.seed = stream.seed;
    }
    return result;
}

} // namespace

CheckResult CheckFile(const std::filesystem::path& path) {
    std::error_code error;
    const UniqueFile file = OpenForReading(path, &error);
    if (!file)
        return Unreadable(error);
    std::optional<SignatureInfo> info = ReadSignatureInfo(file.get());
    CheckResult result;
    if (info) {
        result.outcome = CheckOutcome::Signed;
        result.text = std::move(info->text);
        result.seed = info->seed;
    }
    return result;
}

CheckResult CheckOne(const CheckItem& item) {
    if (item.error || item.link != LinkedTo::Nothing)
        return Unreadable(item.error, item.link);
    if (item.stream != nullptr)
        return FromStream(CheckStream(*item.stream));
    return CheckFile(item.path);
}

std::vector<CheckItem> CheckItemsBelow(const std::filesystem::path& folder, bool followLinks) {
    bool given = false;
    CCheckEntries walk(
        [&](CheckItem& item) {
            item = {folder};
            return !std::exchange(given, true);
        },
        true, followLinks);
    std::vector<CheckItem> items;
    for (CheckItem item; walk.Next(item);)
        items.push_back(std::move(item));
    return items;
}

std::vector<CheckItem> CheckItemsOf(const std::filesystem::path& operand, bool recursive,
                                    bool followLinks) {
    if (recursive && IsDirectory(operand))
        return CheckItemsBelow(operand, followLinks);
    return {{operand}};
}

CCheckEntries::CCheckEntries(NextOperand next, bool recursive, bool followLinks)
    : m_next(std::move(next)), m_recursive(recursive), m_followLinks(followLinks) {}

bool CCheckEntries::Next(CheckItem& item) {
    for (;;) {
        SignEntry entry;
        if (m_walk && m_walk->Next(entry)) {
            if (entry.problem)
                item = {std::move(entry.problem->path), entry.problem->error, entry.problem->link};
            else
                item = {std::move(entry.item.source)};
            return true;
        }
        m_walk.reset();
        if (!m_operand) {
            CheckItem operand;
            if (!m_next(operand))
                return false;
            m_operand = std::move(operand);
        }
        if (m_operand->stream != nullptr || !m_recursive || !IsDirectory(m_operand->path)) {
            item = std::move(*m_operand);
            m_operand.reset();
            return true;
        }
        m_walk =
            std::make_unique<CFolderWalk>(m_operand->path, std::filesystem::path(), m_followLinks);
        m_operand.reset();
    }
}

CheckBatchResult RunCheckBatch(const CheckRequest& request, ICheckObserver& observer) {
    CheckBatchResult result;
    const auto stopping = [&] { return StopAsked(request.control); };
    const unsigned jobs = JobsFor(request.jobs);
    // Items given one at a time are kept in a ring while they are in flight.
    std::size_t listed = 0;
    CItemRing<CheckItem> items(
        request.entries ? request.entries
                        : [&](CheckItem& item) {
                              if (listed == request.items.size())
                                  return false;
                              item = request.items[listed];
                              ++listed;
                              return true;
                          },
        COrderedPrefetcher<CheckResult, int>::RingSize(jobs));
    bool reachedAll = true;
    RunInOrderFrom<CheckResult>([&](std::size_t i) { return items.Load(i); }, jobs,
                                [&](std::size_t i) { return CheckOne(items[i]); },
                                [&](std::size_t i, const CheckResult& checked) {
                                    if (stopping()) {
                                        reachedAll = false;
                                        return false;
                                    }
                                    result.outcomes.push_back(checked.outcome);
                                    if (checked.outcome == CheckOutcome::Signed)
                                        ++result.signedCount;
                                    observer.FileChecked(i, items[i], checked);
                                    return true;
                                });
    if (reachedAll && result.signedCount == result.outcomes.size())
        result.verdict = Verdict::AllDone;
    return result;
}
