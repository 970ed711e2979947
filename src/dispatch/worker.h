// The one thread that runs commands past their gate, one at a time in the
// order they arrived, so that the server thread never waits for them.
#pragma once

#include <functional>

namespace dispatch {

// Starts the thread (lowering the stop signal).
void start_worker();
// Raises the stop signal (ending the running command's wait), drops the
// queued jobs and joins the thread.
void stop_worker();
bool worker_running();
// Queues a job; false when no worker runs.
bool post_job(std::function<void()> job);

}  // namespace dispatch
