// Work on a list of items that is read ahead on worker threads and finished in order on the
// calling thread: check and strip batches use it, so that several jobs give exactly the
// results, order and files of one.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

// For each item in order: `finish(i, prepared)` on the calling thread, where `prepared` is
// `prepare(i)`, run ahead by up to `jobs` workers (at most four items per worker in flight).
// `finish` returns false to end the run; items prepared ahead are then dropped. `prepare` runs
// on the calling thread instead when no worker could start, and for an item whose worker had
// no memory for it. It must be safe to call from several threads at once.
template <class Prepared, class Prepare, class Finish>
void RunInOrder(std::size_t count, unsigned jobs, Prepare prepare, Finish finish) {
    if (jobs <= 1 || count <= 1) {
        for (std::size_t i = 0; i < count; ++i) {
            Prepared prepared = prepare(i);
            if (!finish(i, prepared))
                return;
        }
        return;
    }
    struct Slot {
        std::optional<Prepared> prepared;
        bool ready = false;
    };
    std::vector<Slot> slots(std::size_t{jobs} * 4);
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t next = 0;     // the next item a worker takes
    std::size_t finished = 0; // items handed to finish
    bool ending = false;
    const auto work = [&] {
        for (;;) {
            std::size_t index = 0;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] {
                    return ending || (next < count && next < finished + slots.size());
                });
                if (ending)
                    return;
                index = next++;
            }
            std::optional<Prepared> prepared;
            try {
                prepared.emplace(prepare(index));
            } catch (const std::bad_alloc&) {
            }
            {
                std::lock_guard lock(mutex);
                Slot& slot = slots[index % slots.size()];
                slot.prepared = std::move(prepared);
                slot.ready = true;
            }
            changed.notify_all();
        }
    };
    std::vector<std::thread> workers;
    try {
        workers.reserve(jobs);
        for (unsigned i = 0; i < jobs && i < count; ++i)
            workers.emplace_back(work);
    } catch (const std::system_error&) {
    } catch (const std::bad_alloc&) {
    }
    const auto stopWorkers = [&] {
        {
            std::lock_guard lock(mutex);
            ending = true;
        }
        changed.notify_all();
        for (std::thread& worker : workers)
            worker.join();
        workers.clear();
    };
    if (workers.empty()) {
        stopWorkers();
        RunInOrder<Prepared>(count, 1, prepare, finish);
        return;
    }
    try {
        for (std::size_t i = 0; i < count; ++i) {
            Slot& slot = slots[i % slots.size()];
            std::optional<Prepared> prepared;
            {
                std::unique_lock lock(mutex);
                changed.wait(lock, [&] { return slot.ready; });
                prepared = std::move(slot.prepared);
                slot.prepared.reset();
                slot.ready = false;
            }
            if (!prepared)
                prepared.emplace(prepare(i));
            const bool goOn = finish(i, *prepared);
            {
                std::lock_guard lock(mutex);
                ++finished;
            }
            changed.notify_all();
            if (!goOn)
                break;
        }
    } catch (...) {
        stopWorkers();
        throw;
    }
    stopWorkers();
}
