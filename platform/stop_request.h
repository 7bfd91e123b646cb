#pragma once

namespace kb {

// A termination signal (logout, Ctrl-C, a closed terminal) asks the process to stop. The signal handler
// only sets this flag; long work polls it at points where stopping loses nothing: a backup run between two
// files, a copy or an archive between two chunks (their unfinished file is then removed). Safe to call from
// a signal handler.
void requestStop() noexcept;
bool stopRequested() noexcept;
// For tests that raise a signal and then go on with the next case.
void clearStopRequest() noexcept;

// Work that a stop request may cut short (a backup run) holds one of these while it runs. The shutdown that
// follows a stop request holds none: its copies (the store's compaction) always complete.
class StoppableWork {
public:
    StoppableWork() noexcept;
    ~StoppableWork();
    StoppableWork(const StoppableWork&) = delete;
    StoppableWork& operator=(const StoppableWork&) = delete;
};
// True when a stop was requested and the work under way may be cut short: the copy and archive loops ask.
bool cutShort() noexcept;

} // namespace kb
