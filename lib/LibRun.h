// What libquorvane's batches share with their caller while they run: the files taken from the
// caller's `next` and done, the bytes copied, the caller's progress callback (told on the
// calling thread only) and the failure that stopped a run.
#pragma once

#include "quorvane.h"

#include "Command.h"
#include "LibSupport.h"

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

namespace libq {

// What a run streamed to the caller shares: the files taken and done, the bytes counted by its
// control, the caller's progress callback, told on the calling thread only, and the failure of
// a callback that stopped the run.
class CRunProgress {
public:
    CRunProgress(std::size_t knownAhead, quorvane_progress_fn progress, void* context)
        : m_knownAhead(knownAhead), m_progress(progress), m_context(context),
          m_thread(std::this_thread::get_id()),
          m_control(progress == nullptr ? std::function<void(std::uint64_t)>()
                                        : [this](std::uint64_t) {
                                              // Copies on the run's own threads are told at
                                              // the next file's end.
                                              if (std::this_thread::get_id() == m_thread)
                                                  Tell();
                                          }) {}
    CRunProgress(const CRunProgress&) = delete;
    CRunProgress& operator=(const CRunProgress&) = delete;

    CRunControl* Control() { return &m_control; }
    // A file `next` gave; on any thread.
    void Taken() { m_known.fetch_add(1, std::memory_order_relaxed); }
    std::size_t TakenCount() const { return m_known.load(std::memory_order_relaxed); }
    // A file's results were given; on the calling thread.
    void Done() {
        ++m_done;
        Tell();
    }
    // Stops the run for a callback's answer (negative) or a bad entry, on any thread; the first
    // reason is kept.
    void Stop(int status, const char* why) {
        std::lock_guard lock(m_mutex);
        if (m_status == QUORVANE_OK) {
            m_status = status;
            m_why = why;
        }
        m_control.Stop();
    }
    bool Stopped() const { return m_control.Stopped(); }
    // The status of a run that a callback or an entry stopped, with its message (on the calling
    // thread, after the run); QUORVANE_OK otherwise.
    int Failure() {
        std::lock_guard lock(m_mutex);
        return m_status == QUORVANE_OK ? QUORVANE_OK : Fail(m_status, m_why);
    }

private:
    void Tell() {
        if (m_progress == nullptr || Stopped())
            return;
        const quorvane_progress now{m_done, std::max(m_knownAhead, TakenCount()),
                                    m_control.Copied()};
        if (m_told && now.files_done == m_last.files_done &&
            now.files_known == m_last.files_known && now.bytes_copied == m_last.bytes_copied)
            return;
        m_told = true;
        m_last = now;
        const int answer = m_progress(m_context, &now);
        if (answer < 0)
            Stop(answer, "the caller stopped the run (its progress callback failed)");
    }

    const std::size_t m_knownAhead;
    quorvane_progress_fn m_progress;
    void* m_context;
    const std::thread::id m_thread;
    CRunControl m_control;
    std::atomic<std::size_t> m_known{0};
    std::size_t m_done = 0;
    bool m_told = false;
    quorvane_progress m_last{};
    std::mutex m_mutex;
    int m_status = QUORVANE_OK;
    const char* m_why = "";
};

// One answer of the caller's `next` (not asked once the run is stopped: 0): true for an entry
// to take; false after the last, and when the answer or the entry stops the run.
inline bool Took(CRunProgress& run, int answer, bool given) {
    if (answer == 0 || run.Stopped())
        return false;
    if (answer < 0) {
        run.Stop(answer, "the caller stopped the run (its next callback failed)");
        return false;
    }
    if (!given) {
        run.Stop(QUORVANE_INVALID_ARGUMENT, "a file without a path");
        return false;
    }
    run.Taken();
    return true;
}

} // namespace libq
