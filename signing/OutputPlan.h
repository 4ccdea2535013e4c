// A sign run cut into parts that run apart (tasks of a cluster, each its own run of the engine),
// planned before any part runs, so that the parts together do what one run does.
//
// One run never replaces an output it wrote: the later of two sources with one output is
// refused ("Could not open file SRC for writing! (OUT was written from EARLIER earlier in this
// run)"), and a source that is an output of the run is read as the run left it. Runs apart
// cannot know what the others wrote. So the plan puts every item whose output or source is the
// output or source of another item into the part of that item, in the order of the items: the
// engine then decides in one run, exactly as for the whole list, whether the earlier source was
// written (and the later one refused) or failed (and the later one signed). Items that touch no
// other item's files are independent; each part is the items of whole groups, in order.
#pragma once

#include "FolderWalk.h"
#include "SignEngine.h"

#include <cstddef>
#include <filesystem>
#include <vector>

struct OutputPlan {
    // Per item: where its copy goes, as the run names it.
    std::vector<std::filesystem::path> outputs;
    // Per item: the first earlier item whose copy goes to the same place (a run signs at most
    // one of them), or -1.
    std::vector<std::ptrdiff_t> earlier;
    // Per item: its part, from 0. Parts follow the order of their first items.
    std::vector<std::size_t> parts;
    std::size_t partCount = 0;
};

// Plans `items` of a run into `outputFolder` in parts of about `partSize` items (at least one):
// a group of items that share an output or a source is never cut, so a part may hold more.
// Paths are compared after their folders are resolved (links, "." and "..") and with ASCII
// letters folded, so that names a file system may take for one land in one part; items put
// together that need not be cost nothing but balance.
OutputPlan PlanOutputs(const std::vector<SignItem>& items,
                       const std::filesystem::path& outputFolder, std::size_t partSize);
