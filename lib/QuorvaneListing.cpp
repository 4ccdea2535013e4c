// libquorvane's listings: the files of a folder and of the operands as quorvane-cli's walks take
// them, and the plan of a batch's outputs.
#include "quorvane.h"

#include "CheckEngine.h"
#include "CliReport.h"
#include "FileOps.h"
#include "FolderWalk.h"
#include "LibSupport.h"
#include "OutputPlan.h"
#include "SignEngine.h"
#include "TextConvert.h"

#include <cstddef>
#include <filesystem>
#include <limits>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;
using namespace libq;

namespace {

// The items as the engine takes them, or the status that refuses them.
int TakeItems(const quorvane_item* items, std::size_t count, std::vector<SignItem>& taken) {
    taken.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (items[i].source == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "an item without a source");
        SignItem item;
        item.source = fs::path(items[i].source);
        if (items[i].subfolder != nullptr)
            item.subfolder = fs::path(items[i].subfolder);
        taken.push_back(std::move(item));
    }
    return QUORVANE_OK;
}

// A walk's files and problems, each to its callback as the walk comes to it, in the order of
// their paths (as quorvane-cli reports them among its files); failed when anything was skipped.
template <class Walk>
int GiveFiles(Walk& walk, quorvane_file_fn file, quorvane_problem_fn problem, void* context) {
    bool skipped = false;
    for (SignEntry entry; walk.Next(entry);) {
        if (entry.problem) {
            skipped = true;
            if (problem != nullptr)
                problem(context, WalkProblemText(*entry.problem).c_str());
        } else if (file != nullptr) {
            file(context, PathUtf8(entry.item.source).c_str(),
                 PathUtf8(entry.item.subfolder).c_str());
        }
    }
    return skipped ? Fail(QUORVANE_CANNOT_READ, "some entries were skipped") : Succeed();
}

} // namespace

extern "C" {

int quorvane_list_files(const char* folder, const char* outputFolder, quorvane_file_fn file,
                        quorvane_problem_fn problem, void* context) {
    return quorvane_list_files_with(folder, outputFolder, 0, file, problem, context);
}

int quorvane_list_files_with(const char* folder, const char* outputFolder, int flags,
                             quorvane_file_fn file, quorvane_problem_fn problem, void* context) {
    return Guarded([&] {
        if (folder == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no folder given");
        if (const int status = CheckFlags(flags, QUORVANE_FOLLOW_LINKS))
            return status;
        if (!IsDirectory(folder))
            return Fail(QUORVANE_CANNOT_READ, std::string(folder) + " is not a folder",
                        NotAFolder(folder));
        CFolderWalk walk(fs::path(folder),
                         outputFolder != nullptr ? fs::path(outputFolder) : fs::path(),
                         (flags & QUORVANE_FOLLOW_LINKS) != 0);
        return GiveFiles(walk, file, problem, context);
    });
}

int quorvane_list_check_entries(const char* path, quorvane_entry_fn entry, void* context) {
    return quorvane_list_check_entries_with(path, 0, entry, context);
}

int quorvane_list_check_entries_with(const char* path, int flags, quorvane_entry_fn entry,
                                     void* context) {
    return Guarded([&] {
        if (path == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no path given");
        if (const int status = CheckFlags(flags, QUORVANE_FOLLOW_LINKS | QUORVANE_NOT_RECURSIVE))
            return status;
        // Each entry as the walk comes to it.
        bool problems = false, given = false;
        CCheckEntries walk(
            [&](CheckItem& operand) {
                operand = {fs::path(path)};
                return !std::exchange(given, true);
            },
            (flags & QUORVANE_NOT_RECURSIVE) == 0, (flags & QUORVANE_FOLLOW_LINKS) != 0);
        for (CheckItem item; walk.Next(item);) {
            const bool problem = item.error || item.link != LinkedTo::Nothing;
            problems = problems || problem;
            if (entry != nullptr)
                entry(context, PathUtf8(item.path).c_str(),
                      problem ? CheckJsonLine(item.path, CheckOne(item)).c_str() : nullptr);
        }
        return problems ? Fail(QUORVANE_CANNOT_READ, "some entries cannot be checked") : Succeed();
    });
}

int quorvane_list_sign_items(const char* path, const char* outputFolder, quorvane_file_fn file,
                             quorvane_problem_fn problem, void* context) {
    return quorvane_list_sign_items_with(path, outputFolder, 0, file, problem, context);
}

int quorvane_list_sign_items_with(const char* path, const char* outputFolder, int flags,
                                  quorvane_file_fn file, quorvane_problem_fn problem,
                                  void* context) {
    return Guarded([&] {
        if (path == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no path given");
        if (const int status = CheckFlags(flags, QUORVANE_FOLLOW_LINKS | QUORVANE_NOT_RECURSIVE))
            return status;
        bool given = false;
        CSignEntries walk(
            [&](fs::path& operand) {
                operand = fs::path(path);
                return !std::exchange(given, true);
            },
            outputFolder != nullptr ? fs::path(outputFolder) : fs::path(),
            (flags & QUORVANE_NOT_RECURSIVE) == 0, (flags & QUORVANE_FOLLOW_LINKS) != 0);
        return GiveFiles(walk, file, problem, context);
    });
}

int quorvane_plan_sign_batch(const quorvane_item* items, size_t count, const char* outputFolder,
                             size_t partSize, quorvane_plan_fn plan, void* context,
                             size_t* partCount) {
    return Guarded([&] {
        if (partCount != nullptr)
            *partCount = 0;
        if ((items == nullptr && count > 0) || outputFolder == nullptr)
            return Fail(QUORVANE_INVALID_ARGUMENT, "no items or no output folder");
        std::vector<SignItem> signItems;
        if (const int status = TakeItems(items, count, signItems))
            return status;
        const OutputPlan planned =
            PlanOutputs(signItems, fs::path(outputFolder),
                        partSize > 0 ? partSize : std::numeric_limits<std::size_t>::max());
        if (plan != nullptr)
            for (std::size_t i = 0; i < count; ++i) {
                const std::string output = PathUtf8(planned.outputs[i]);
                const quorvane_planned_item item{i, output.c_str(), planned.earlier[i],
                                                 planned.parts[i]};
                plan(context, &item);
            }
        if (partCount != nullptr)
            *partCount = planned.partCount;
        return Succeed();
    });
}

} // extern "C"
