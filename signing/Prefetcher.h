// Items of a list prepared ahead on worker threads and taken in order on the calling thread,
// so that several jobs give exactly the results and order of one. Without workers (one job,
// one item, or no thread could start) each item is prepared when it is taken: one job and
// many take the same way.
//
// At most `window` items are in flight. An item that met a shortage (descriptors, memory, disk
// space) halves the window; a stretch of items without one doubles it again, up to four items
// per worker.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstddef>
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

    COrderedPrefetcher(std::size_t count, unsigned jobs, Prepare prepare, Shortage shortage = {})
        : m_count(count), m_prepare(std::move(prepare)), m_shortage(std::move(shortage)) {
        if (jobs <= 1 || count <= 1)
            return;
        m_slots.resize(std::size_t{jobs} * 4);
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

    // Item `index`, prepared; items are taken in order, each once. Without workers it is
    // prepared now, on this thread. Empty when its worker had no memory for it.
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
    // The next item a worker may take, if any (with the lock held): one dropped earlier first.
    std::optional<std::size_t> NextItem() const {
        if (m_paused)
            return std::nullopt;
        const std::size_t limit = m_taken + m_window;
        if (!m_again.empty())
            return m_again.back() < limit ? std::optional(m_again.back()) : std::nullopt;
        if (m_next < m_count && m_next < limit)
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

    const std::size_t m_count;
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
    std::vector<std::size_t> m_again; // items dropped ahead of one prepared alone, largest first
    bool m_paused = false;
    bool m_ending = false;
    std::vector<std::thread> m_workers;
};

// For each item in order: `finish(i, prepared)` on the calling thread, where `prepared` is
// `prepare(i)`, run ahead by up to `jobs` workers. `finish` returns false to end the run;
// items prepared ahead are then dropped. An item whose worker had no memory for it is
// prepared again on the calling thread.
template <class Prepared, class Prepare, class Finish>
void RunInOrder(std::size_t count, unsigned jobs, Prepare prepare, Finish finish) {
    struct NoState {};
    COrderedPrefetcher<Prepared, NoState> ahead(
        count, jobs, [&prepare](std::size_t index, NoState&, bool) { return prepare(index); });
    for (std::size_t i = 0; i < count; ++i) {
        std::optional<Prepared> prepared = ahead.Take(i);
        if (!prepared)
            prepared.emplace(ahead.PrepareNow(i));
        if (!finish(i, *prepared))
            return;
    }
}
