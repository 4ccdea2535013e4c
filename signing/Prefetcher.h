// Items of a list prepared ahead on worker threads and taken in order on the calling thread,
// so that several jobs give exactly the results and order of one. Without workers (one job,
// one item, or no thread could start) each item is prepared when it is taken: one job and
// many take the same way.
//
// At most `window` items are in flight. An item that met a shortage (descriptors, memory, disk
// space) halves the window; a stretch of items without one doubles it again, up to four items
// per worker.
//
// The items may come one at a time from a source whose length is known only at its end (a
// folder walk, a list read as it goes): `load(i)` makes item i ready for `prepare`, in order,
// with the prefetcher's lock held, and answers false after the last. A load that throws
// std::bad_alloc on a worker is asked again for the same item: it must move past an item only
// once the item is made. Its owner keeps the items in a ring of RingSize(jobs) places: item i
// stays in its place until item i + 1 is taken.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

// Under a limit of address space (ulimit -v) each thread takes its stack and its allocator's
// reserve from what is left, and a stack that cannot grow ends the process: a worker starts
// only while this much more is free.
inline bool RoomForAnotherThread() {
    constexpr std::size_t kHeadroom = std::size_t{48} << 20;
    const std::unique_ptr<char[]> probe(new (std::nothrow) char[kHeadroom]);
    return probe != nullptr;
}

// `State` is what one thread keeps from item to item (buffers, tables): each worker has its
// own, and so has the calling thread.
template <class T, class State> class COrderedPrefetcher {
public:
    // Prepares item `index` (on any thread; it must be safe to call from several at once).
    // `inTurn`: on the calling thread, in the item's turn.
    using Prepare = std::function<T(std::size_t index, State& state, bool inTurn)>;
    // True when a prepared item met a shortage.
    using Shortage = std::function<bool(const T& prepared)>;

    // Items prepared after a shortage without another one before the window doubles.
    static constexpr std::size_t kCalmStretch = 16;

    // Makes item `index` ready, the items before it being ready; false after the last.
    using Load = std::function<bool(std::size_t index)>;

    // The places a ring of loaded items needs with `jobs` workers.
    static constexpr std::size_t RingSize(unsigned jobs) {
        return jobs <= 1 ? 1 : std::size_t{jobs} * 4 + 1;
    }

    COrderedPrefetcher(std::size_t count, unsigned jobs, Prepare prepare, Shortage shortage = {})
        : COrderedPrefetcher([count](std::size_t index) { return index < count; },
                             count <= 1 ? 1 : jobs, std::move(prepare), std::move(shortage)) {}
    COrderedPrefetcher(Load load, unsigned jobs, Prepare prepare, Shortage shortage = {})
        : m_load(std::move(load)), m_prepare(std::move(prepare)), m_shortage(std::move(shortage)) {
        if (jobs <= 1)
            return;
        m_slots.resize(RingSize(jobs) - 1);
        m_window = m_slots.size();
        try {
            m_workers.reserve(jobs);
            for (unsigned i = 0; i < jobs && RoomForAnotherThread(); ++i)
                m_workers.emplace_back([this] { Work(); });
        } catch (const std::system_error&) {
        } catch (const std::bad_alloc&) {
        }
    }
    ~COrderedPrefetcher() {
        {
            std::lock_guard lock(m_mutex);
            m_ending = true;
        }
        m_toWorkers.notify_all();
        for (std::thread& worker : m_workers)
            worker.join();
    }
    COrderedPrefetcher(const COrderedPrefetcher&) = delete;
    COrderedPrefetcher& operator=(const COrderedPrefetcher&) = delete;

    // True when items are prepared ahead of their turn.
    bool Ahead() const { return !m_workers.empty(); }
    // How many items may be in flight now.
    std::size_t Window() {
        std::lock_guard lock(m_mutex);
        return m_window;
    }

    // True when item `index` exists: it is loaded now if it was not. What the source threw
    // (no memory for a walk, say) comes out here once the items before it are taken.
    bool Has(std::size_t index) {
        std::lock_guard lock(m_mutex);
        if (Loaded(index, true))
            return true;
        if (m_loadFailure)
            std::rethrow_exception(std::exchange(m_loadFailure, nullptr));
        return false;
    }
    // The items loaded so far.
    std::size_t Known() {
        std::lock_guard lock(m_mutex);
        return m_loaded;
    }

    // Item `index`, prepared; items are taken in order, each once, after Has(index). Without
    // workers it is prepared now, on this thread. Empty when its worker had no memory for it.
    std::optional<T> Take(std::size_t index) {
        if (!Ahead())
            return m_prepare(index, m_state, true);
        Slot& slot = m_slots[index % m_slots.size()];
        std::optional<T> prepared;
        {
            std::unique_lock lock(m_mutex);
            m_toCaller.wait(lock, [&] { return slot.ready; });
            prepared = std::move(slot.prepared);
            slot.prepared.reset();
            slot.ready = false;
            ++m_taken;
        }
        m_toWorkers.notify_all();
        return prepared;
    }

    // Prepares item `index` again on this thread, with whatever else is in flight.
    T PrepareNow(std::size_t index) { return m_prepare(index, m_state, true); }

    // Prepares item `index` again on this thread with nothing else in flight: the workers
    // finish what they hold, items prepared ahead of it are dropped and prepared again later,
    // and the window is halved.
    T PrepareAlone(std::size_t index) {
        if (!Ahead())
            return m_prepare(index, m_state, true);
        {
            std::unique_lock lock(m_mutex);
            m_paused = true;
            Narrow();
            m_toCaller.wait(lock, [&] { return m_busy == 0; });
            for (std::size_t ahead = index + 1; ahead < m_next; ++ahead) {
                Slot& slot = m_slots[ahead % m_slots.size()];
                if (!slot.ready)
                    continue;
                slot.prepared.reset();
                slot.ready = false;
                m_again.push_back(ahead);
            }
            std::sort(m_again.begin(), m_again.end(), std::greater<>());
        }
        std::optional<T> prepared;
        try {
            prepared.emplace(m_prepare(index, m_state, true));
        } catch (...) {
            Resume();
            throw;
        }
        Resume();
        return std::move(*prepared);
    }

private:
    struct Slot {
        std::optional<T> prepared;
        bool ready = false;
    };

    void Resume() {
        {
            std::lock_guard lock(m_mutex);
            m_paused = false;
        }
        m_toWorkers.notify_all();
    }
    // Half the items now in flight, at least one (with the lock held).
    void Narrow() {
        const std::size_t inFlight = m_next - m_taken - m_again.size();
        m_window = std::max<std::size_t>(1, std::min(m_window, inFlight) / 2);
        m_calm = 0;
    }
    // After a stretch without a shortage, twice the window (with the lock held); true when
    // it grew.
    bool Widen() {
        if (m_window == m_slots.size() || ++m_calm < kCalmStretch)
            return false;
        m_window = std::min(m_slots.size(), m_window * 2);
        m_calm = 0;
        return true;
    }
    // Loads the items up to `index` (with the lock held); false when the source ended before
    // it. A source that throws ends there; one that finds no memory for a worker is asked again
    // in the calling thread's turn, with fewer items in flight.
    bool Loaded(std::size_t index, bool caller) {
        while (m_loaded <= index && !m_ended) {
            try {
                if (m_load(m_loaded))
                    ++m_loaded;
                else
                    m_ended = true;
            } catch (const std::bad_alloc&) {
                if (!caller) {
                    Narrow();
                    return false;
                }
                m_loadFailure = std::current_exception();
                m_ended = true;
            } catch (...) {
                m_loadFailure = std::current_exception();
                m_ended = true;
            }
        }
        return index < m_loaded;
    }
    // The next item a worker may take, if any (with the lock held): one dropped earlier first.
    std::optional<std::size_t> NextItem() {
        if (m_paused)
            return std::nullopt;
        const std::size_t limit = m_taken + m_window;
        if (!m_again.empty())
            return m_again.back() < limit ? std::optional(m_again.back()) : std::nullopt;
        if (m_next < limit && Loaded(m_next, false))
            return m_next;
        return std::nullopt;
    }

    void Work() {
        State state;
        for (;;) {
            std::size_t index = 0;
            {
                std::unique_lock lock(m_mutex);
                m_toWorkers.wait(lock, [&] { return m_ending || NextItem(); });
                if (m_ending)
                    return;
                index = *NextItem();
                if (!m_again.empty() && m_again.back() == index)
                    m_again.pop_back();
                else
                    ++m_next;
                ++m_busy;
            }
            std::optional<T> prepared;
            try {
                prepared.emplace(m_prepare(index, state, false));
            } catch (const std::bad_alloc&) {
            }
            bool widened = false;
            {
                std::lock_guard lock(m_mutex);
                if (!prepared || (m_shortage && m_shortage(*prepared)))
                    Narrow();
                else
                    widened = Widen();
                Slot& slot = m_slots[index % m_slots.size()];
                slot.prepared = std::move(prepared);
                slot.ready = true;
                --m_busy;
            }
            // The caller may be waiting for this item, or for the workers to be idle; a
            // wider window has room for more items.
            m_toCaller.notify_one();
            if (widened)
                m_toWorkers.notify_all();
        }
    }

    const Load m_load;
    const Prepare m_prepare;
    const Shortage m_shortage;
    State m_state; // the calling thread's
    std::mutex m_mutex;
    // The calling thread waits on m_toCaller for an item or for idle workers; workers wait on
    // m_toWorkers for an item to prepare or the end.
    std::condition_variable m_toCaller;
    std::condition_variable m_toWorkers;
    std::vector<Slot> m_slots;
    std::size_t m_window = 0;         // items in flight at most
    std::size_t m_calm = 0;           // items prepared since the last shortage or widening
    std::size_t m_next = 0;           // the next new item a worker takes
    std::size_t m_taken = 0;          // items taken in order
    std::size_t m_busy = 0;           // workers preparing an item
    std::size_t m_loaded = 0;         // items the source gave
    bool m_ended = false;             // the source has no more
    std::exception_ptr m_loadFailure; // what it threw, for the calling thread
    std::vector<std::size_t> m_again; // items dropped ahead of one prepared alone, largest first
    bool m_paused = false;
    bool m_ending = false;
    std::vector<std::thread> m_workers;
};

// For each item in order: `finish(i, prepared)` on the calling thread, where `prepared` is
// `prepare(i)`, run ahead by up to `jobs` workers. `finish` returns false to end the run;
// items prepared ahead are then dropped. An item whose worker had no memory for it is
// prepared again on the calling thread.
// `load` makes item i ready, as for COrderedPrefetcher.
template <class Prepared, class Load, class Prepare, class Finish>
void RunInOrderFrom(Load load, unsigned jobs, Prepare prepare, Finish finish) {
    struct NoState {};
    COrderedPrefetcher<Prepared, NoState> ahead(
        std::function<bool(std::size_t)>(std::move(load)), jobs,
        [&prepare](std::size_t index, NoState&, bool) { return prepare(index); });
    for (std::size_t i = 0; ahead.Has(i); ++i) {
        std::optional<Prepared> prepared = ahead.Take(i);
        if (!prepared)
            prepared.emplace(ahead.PrepareNow(i));
        if (!finish(i, *prepared))
            return;
    }
}

template <class Prepared, class Prepare, class Finish>
void RunInOrder(std::size_t count, unsigned jobs, Prepare prepare, Finish finish) {
    RunInOrderFrom<Prepared>([count](std::size_t index) { return index < count; },
                             count <= 1 ? 1 : jobs, std::move(prepare), std::move(finish));
}

// The items of a run that come from a source one at a time, kept in a ring for the
// prefetcher's `load` (RingSize places): its memory stays the same however long the source.
template <class Entry> class CItemRing {
public:
    // Fills in the next item; false after the last.
    using Next = std::function<bool(Entry&)>;

    CItemRing(Next next, std::size_t size) : m_next(std::move(next)), m_ring(size) {}
    bool Load(std::size_t index) { return m_next(m_ring[index % m_ring.size()]); }
    Entry& operator[](std::size_t index) { return m_ring[index % m_ring.size()]; }

private:
    Next m_next;
    std::vector<Entry> m_ring;
};
