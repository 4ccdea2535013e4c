// A signing batch on a worker thread while the user-interface thread keeps its message loop:
// the windows repaint, move and answer during a long copy. Every event of the engine reaches
// the observer given to Run on the user-interface thread, one at a time and in the engine's
// order, and the worker waits until it has been handled, so that questions get their answers.
#pragma once

#include "AfxWin.h"
#include "SignEngine.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <cstdint>
#include <mutex>
#include <exception>
#include <functional>

class CSignWorker {
public:
    CSignWorker();
    ~CSignWorker();
    CSignWorker(const CSignWorker&) = delete;
    CSignWorker& operator=(const CSignWorker&) = delete;

    // Runs the batch and returns its result once the worker is done, dispatching this thread's
    // messages meanwhile. A WM_QUIT that comes during the run stops it and is posted again
    // afterwards; an exception of the engine or of a handler is rethrown here.
    SignResult Run(const SignRequest& request, ISignObserver& observer);

    // Ends the run at the next chance: the file being copied is dropped, files signed stay.
    void RequestStop() { m_control->Stop(); }
    bool StopRequested() const { return m_control->Stopped(); }
    // The bytes put into copies so far in this run, from any thread (copies of several jobs
    // made ahead of their turn included).
    std::uint64_t CopiedBytes() const { return m_control->Copied(); }
    // CopiedBytes as it was when the engine's event now being handled came.
    std::uint64_t CopiedAtEvent() const { return m_copiedAtEvent; }

    // While one lives, the engine's messages and questions wait, so that a box of the user
    // interface's own (such as "stop signing?") is never shown beside one of the run's.
    class CHold {
    public:
        explicit CHold(CSignWorker& worker) : m_worker(worker) { ++m_worker.m_holds; }
        ~CHold() { --m_worker.m_holds; }
        CHold(const CHold&) = delete;
        CHold& operator=(const CHold&) = delete;

    private:
        CSignWorker& m_worker;
    };

private:
    class CRelay;
    friend class CRelay;
    struct RelayEvent;

    // Runs `event` on the user-interface thread after every event handed over before it; with
    // `wait`, returns once it has run there.
    void Deliver(std::function<void()> event, bool showsBox, bool wait);
    // Runs every event handed over so far, in order (user-interface thread).
    void RunQueued();
    static LRESULT CALLBACK RelayProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);

    HWND m_relay = nullptr;
    std::unique_ptr<CRunControl> m_control = std::make_unique<CRunControl>();
    std::uint64_t m_copiedAtEvent = 0;
    bool m_done = false;
    int m_holds = 0;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::uint64_t m_posted = 0;                      // events handed over
    std::uint64_t m_handled = 0;                     // events run
    std::deque<std::unique_ptr<RelayEvent>> m_queue; // handed over, not yet run
    bool m_wakePosted = false;                       // a message to run the queue is on its way

    std::exception_ptr m_handlerFailure;
};
