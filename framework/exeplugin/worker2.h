#pragma once

#include <cassert>
#include <cstdint>

#include "Application/Application.h"

namespace Application::ExePlugin {

// Worker thread 2 carries all protocol work of the plugin link on both
// sides; these helpers move work there.

// Runs task on worker thread 2: at once when already there, else posted.
// Tasks posted from other threads go through one inbox, in order: while a
// batch waits for worker thread 2, further tasks join it without another
// post or wake-up, and worker thread 2 runs the whole batch in one go (the
// frames those tasks send leave together, see BatchedSender).
void OnWorker2(Task task);
// Runs task on worker thread 2 and waits until it has run. Runs it on the
// calling thread instead when that is worker thread 2, or when worker thread
// 2 is not running (before the start, after the stop): then nothing else
// touches worker-2 state. The task must not wait for the calling thread.
void RunOnWorker2AndWait(Task task);
// True on worker thread 2, and on any thread while it is not running.
bool OnWorker2OrStopped();

// Something that holds frames back while worker thread 2 runs a batch of
// tasks, and writes them all at once when the batch ends.
class BatchedSender {
public:
    virtual void FlushBatch() = 0;

protected:
    ~BatchedSender() = default;
};

// On worker thread 2 while a batch runs: sender is flushed when the batch
// ends (or earlier, once what it holds has waited kMaxBatchHoldUs); true.
// Outside a batch false: the caller sends at once.
bool DeferToBatchEnd(BatchedSender* sender);
// Before a sender goes away (it flushes itself first).
void ForgetBatchedSender(BatchedSender* sender);
// A frame held for the end of a batch waits at most this long, so a slow
// task later in the batch does not hold back the answers before it.
inline constexpr int64_t kMaxBatchHoldUs = 500;

}  // namespace Application::ExePlugin

// The thread contract of worker-2 state, checked in debug builds.
#define ASSERT_ON_WORKER2() assert(::Application::ExePlugin::OnWorker2OrStopped())
