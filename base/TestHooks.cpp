#include "TestHooks.h"

#include <atomic>
#include <cstdlib>
#include <string_view>

namespace {

const TestHooks& ShippedHooks() {
    static const TestHooks shipped = [] {
        TestHooks hooks;
        const char* named = std::getenv("QUORVANE_NAMED_TEMPORARIES");
        hooks.namedTemporaries =
            named != nullptr && *named != '\0' && std::string_view(named) != "0";
        if (const char* stop = std::getenv("QUORVANE_TEST_STOP_IN_COPY"))
            hooks.stopInCopyOf = stop;
        return hooks;
    }();
    return shipped;
}

// The innermost scope's hooks; null while none is installed.
std::atomic<const TestHooks*> g_installed{nullptr};

} // namespace

const TestHooks& ActiveTestHooks() {
    const TestHooks* installed = g_installed.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : ShippedHooks();
}

CScopedTestHooks::CScopedTestHooks()
    : m_hooks(ActiveTestHooks()),
      m_previous(g_installed.exchange(&m_hooks, std::memory_order_acq_rel)) {}

CScopedTestHooks::~CScopedTestHooks() {
    g_installed.store(m_previous, std::memory_order_release);
}

std::function<std::uint32_t()> FixedClock(std::uint32_t seconds) {
    return [seconds] { return seconds; };
}
