#include "SignWorker.h"

#include <deque>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

constexpr UINT kRunEvent = WM_APP + 1; // runs the events waiting in the queue
constexpr UINT kWorkerDone = WM_APP + 2;
// Runs the progress events waiting in the queue, forty times a second at most: more often than
// the progress window repaints (ten times a second), seldom enough for a thread that each wake
// costs several trips to the Wine server, and often enough that the queue (kMaxPending) holds
// what thousands of small files a second send.
constexpr UINT_PTR kDrainTimer = 1;
constexpr UINT kDrainMilliseconds = 25;
constexpr wchar_t kRelayClass[] = L"QuorvaneSignRelay";
// Events under way at most: the worker waits beyond, so that the queue stays short however
// many files a run has.
constexpr std::uint64_t kMaxPending = 256;

} // namespace

struct CSignWorker::RelayEvent {
    std::function<void()> run;
    bool showsBox;
    std::uint64_t copied; // the byte tally when the event was handed over
};

// The engine's observer on the worker thread: hands every event to the user-interface thread.
class CSignWorker::CRelay : public ISignObserver {
public:
    CRelay(CSignWorker& worker, ISignObserver& target) : m_worker(worker), m_target(target) {}

    void BatchStarted(std::size_t count) override {
        Deliver([&] { m_target.BatchStarted(count); });
    }
    // Progress goes without waiting for the window: only what needs an answer, or shows a
    // box, waits; every event still comes in the engine's order.
    void FileStarted(std::size_t position, std::size_t count,
                     const std::u16string& status) override {
        Post([this, position, count, status] { m_target.FileStarted(position, count, status); });
    }
    void FileFinished(std::size_t position, const SignItem& item, SignOutcome outcome) override {
        // A copy: the engine holds its item only during the file's turn.
        Post([this, position, file = item, outcome] {
            m_target.FileFinished(position, file, outcome);
        });
    }
    void ReportFailure(const SignMessage& message) override {
        Deliver([&] { m_target.ReportFailure(message); }, true);
    }
    bool AskKind(const SignMessage& question) override {
        bool answer = false;
        Deliver([&] { answer = m_target.AskKind(question); }, true);
        return answer;
    }
    bool AskOverwrite(const SignMessage& question) override {
        bool answer = false;
        Deliver([&] { answer = m_target.AskOverwrite(question); }, true);
        return answer;
    }
    void BatchFinished() override {
        Deliver([&] { m_target.BatchFinished(); });
    }
    void ShowSummary(const SignMessage& summary) override {
        Deliver([&] { m_target.ShowSummary(summary); }, true);
    }

private:
    void Deliver(std::function<void()> event, bool showsBox = false) {
        m_worker.Deliver(std::move(event), showsBox, true);
    }
    void Post(std::function<void()> event) { m_worker.Deliver(std::move(event), false, false); }

    CSignWorker& m_worker;
    ISignObserver& m_target;
};

CSignWorker::CSignWorker() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = RelayProc;
    wc.hInstance = AfxGetInstanceHandle();
    wc.lpszClassName = kRelayClass;
    ::RegisterClassExW(&wc); // fails harmlessly once registered
    m_relay = ::CreateWindowExW(0, kRelayClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                AfxGetInstanceHandle(), this);
    if (!m_relay)
        throw std::runtime_error("cannot create the signing relay window");
}

CSignWorker::~CSignWorker() {
    ::DestroyWindow(m_relay);
}

LRESULT CALLBACK CSignWorker::RelayProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE) {
        const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lParam);
        ::SetWindowLongPtrW(hWnd, GWLP_USERDATA,
                            reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<CSignWorker*>(::GetWindowLongPtrW(hWnd, GWLP_USERDATA));
    if (!self || (message != kRunEvent && message != kWorkerDone &&
                  !(message == WM_TIMER && wParam == kDrainTimer)))
        return ::DefWindowProcW(hWnd, message, wParam, lParam);
    if (message == kWorkerDone) {
        self->RunQueued();
        self->m_done = true;
        return 0;
    }
    self->RunQueued();
    return 0;
}

void CSignWorker::RunQueued() {
    CSignWorker* self = this;
    // One message runs every event handed over since the last: a message per event would
    // cost more than signing a small file under Wine.
    std::deque<std::unique_ptr<RelayEvent>> events;
    {
        std::lock_guard lock(self->m_mutex);
        events.swap(self->m_queue);
        self->m_wakePosted = false;
    }
    for (const std::unique_ptr<RelayEvent>& event : events) {
        // A box of the user interface's own is open: this one waits until it has closed.
        while (event->showsBox && self->m_holds > 0) {
            if (!AfxGetApp()->PumpMessage()) {
                ::PostQuitMessage(AfxGetApp()->ExitCode());
                self->RequestStop();
                break;
            }
        }
        // Nothing may leave a window procedure: a handler's exception stops the run and is
        // rethrown once the worker is done.
        try {
            self->m_copiedAtEvent = event->copied;
            if (!self->m_handlerFailure)
                event->run();
        } catch (...) {
            self->m_handlerFailure = std::current_exception();
            self->RequestStop();
        }
    }
    // One count and one wake for the whole batch, not one each: under Wine, a lock that both
    // threads want at once costs a trip to the server. The worker waits only for the last
    // event of a batch (its question), or for room in a full queue.
    if (!events.empty()) {
        {
            std::lock_guard lock(self->m_mutex);
            self->m_handled += events.size();
        }
        self->m_changed.notify_all();
    }
}

void CSignWorker::Deliver(std::function<void()> event, bool showsBox, bool wait) {
    std::unique_lock lock(m_mutex);
    m_changed.wait(lock, [&] { return m_posted - m_handled < kMaxPending; });
    const std::uint64_t ticket = ++m_posted;
    m_queue.push_back(
        std::make_unique<RelayEvent>(RelayEvent{std::move(event), showsBox, m_control->Copied()}));
    // Progress waits for the drain timer; what waits for its answer goes at once.
    if (wait && !m_wakePosted) {
        if (!::PostMessageW(m_relay, kRunEvent, 0, 0))
            throw std::runtime_error("cannot hand a signing event to the window");
        m_wakePosted = true;
    }
    if (wait)
        m_changed.wait(lock, [&] { return m_handled >= ticket; });
}

SignResult CSignWorker::Run(const SignRequest& request, ISignObserver& observer) {
    m_done = false;
    m_control = std::make_unique<CRunControl>();
    m_posted = 0;
    m_handled = 0;
    m_queue.clear();
    m_wakePosted = false;
    m_handlerFailure = nullptr;
    SignRequest watched = request;
    watched.control = m_control.get();
    SignResult result;
    std::exception_ptr engineFailure;
    CRelay relay(*this, observer);
    const HWND relayWindow = m_relay;
    ::SetTimer(m_relay, kDrainTimer, kDrainMilliseconds, nullptr);
    std::thread worker([&, relayWindow] {
        try {
            result = RunSignBatch(watched, relay);
        } catch (...) {
            engineFailure = std::current_exception();
        }
        ::PostMessageW(relayWindow, kWorkerDone, 0, 0);
    });

    bool quit = false;
    int exitCode = 0;
    std::exception_ptr loopFailure;
    CWinApp* app = AfxGetApp();
    while (!m_done) {
        try {
            if (!app->PumpMessage()) {
                quit = true;
                exitCode = app->ExitCode();
                RequestStop();
            }
        } catch (...) {
            if (!loopFailure)
                loopFailure = std::current_exception();
            RequestStop();
        }
    }
    worker.join();
    ::KillTimer(m_relay, kDrainTimer);
    if (quit)
        ::PostQuitMessage(exitCode);
    for (const std::exception_ptr& failure : {engineFailure, m_handlerFailure, loopFailure}) {
        if (failure)
            std::rethrow_exception(failure);
    }
    return result;
}
