// The one thread that runs commands past their gate, one at a time in the
// order they arrived, so that the server thread never waits for them.
#pragma once

#include <functional>

namespace dispatch {

// Starts the thread (lowering the stop signal).
void startWorker();
// Raises the stop signal (ending the running command's wait), drops the
// queued jobs and joins the thread.
void stopWorker();
bool workerRunning();
// Queues a job; false when no worker runs.
bool postJob(std::function<void()> job);

}  // namespace dispatch
