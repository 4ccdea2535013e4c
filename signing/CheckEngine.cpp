#include "CheckEngine.h"

#include "FileOps.h"
#include "FolderWalk.h"
#include "Prefetcher.h"
#include "Signature.h"

#include <algorithm>

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
    FolderFiles files = FilesBelow(folder, {}, followLinks);
    std::vector<CheckItem> items;
    items.reserve(files.items.size() + files.problems.size());
    for (SignItem& item : files.items)
        items.push_back({std::move(item.source)});
    for (WalkProblem& problem : files.problems)
        items.push_back({std::move(problem.path), problem.error, problem.link});
    std::stable_sort(items.begin(), items.end(), [](const CheckItem& a, const CheckItem& b) {
        return a.path.native() < b.path.native();
    });
    return items;
}

std::vector<CheckItem> CheckItemsOf(const std::filesystem::path& operand, bool recursive,
                                    bool followLinks) {
    if (recursive && IsDirectory(operand))
        return CheckItemsBelow(operand, followLinks);
    return {{operand}};
}

CheckBatchResult RunCheckBatch(const CheckRequest& request, ICheckObserver& observer) {
    CheckBatchResult result;
    const auto stopping = [&] { return StopAsked(request.control); };
    RunInOrder<CheckResult>(
        request.items.size(), JobsFor(request.jobs),
        [&](std::size_t i) { return CheckOne(request.items[i]); },
        [&](std::size_t i, const CheckResult& checked) {
            if (stopping())
                return false;
            result.outcomes.push_back(checked.outcome);
            if (checked.outcome == CheckOutcome::Signed)
                ++result.signedCount;
            observer.FileChecked(i, request.items[i], checked);
            return true;
        });
    if (result.signedCount == request.items.size())
        result.verdict = Verdict::AllDone;
    return result;
}
