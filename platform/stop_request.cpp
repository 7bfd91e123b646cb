#include "platform/stop_request.h"

#include <atomic>

namespace kb {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");
std::atomic<bool> g_stop{false};
// Work runs on the one user-interface thread; nesting is counted all the same.
int g_stoppable = 0;

} // namespace

void requestStop() noexcept {
    g_stop.store(true, std::memory_order_relaxed);
}

bool stopRequested() noexcept {
    return g_stop.load(std::memory_order_relaxed);
}

void clearStopRequest() noexcept {
    g_stop.store(false, std::memory_order_relaxed);
}

StoppableWork::StoppableWork() noexcept {
    ++g_stoppable;
}

StoppableWork::~StoppableWork() {
    --g_stoppable;
}

bool cutShort() noexcept {
    return g_stoppable > 0 && stopRequested();
}

} // namespace kb
