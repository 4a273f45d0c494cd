// The end of a client, as Windows ends a terminating thread and then its
// process: the thread's pending requests are cancelled and waited for
// (bounded), then the system closes the handles the client held.
#include "w32_internal.h"

#include <chrono>
#include <thread>

namespace sim {

ClientEnd EndClientThread(ULONG threadId, unsigned timeoutMs)
{
    ClientEnd result;
    std::vector<std::shared_ptr<w32::Request>> pending = w32::PendingRequestsOf(threadId);
    {
        // IoCancelIrp is called at up to DISPATCH_LEVEL; the terminating
        // thread's run-down calls it at APC_LEVEL.
        KIRQL old;
        KeRaiseIrql(APC_LEVEL, &old);
        for (auto& r : pending)
            result.cancelled += io::CancelRequest(r->rec) ? 1 : 0;
        KeLowerIrql(old);
    }
    // The run-down waits for each request to end; one a driver never ends
    // stays on the list (Windows gives up after a while and reports it).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        result.unfinished = w32::PendingRequestsOf(threadId).size();
        if (result.unfinished == 0 || std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (result.unfinished != 0)
        ReportViolation("THREAD_IRP_NOT_CANCELLED", "thread " + std::to_string(threadId), "EndClientThread",
                        std::to_string(result.unfinished) +
                            " request(s) still pending after the thread's requests were cancelled");
    // The process goes with its thread: the system closes what it held.
    for (auto& object : w32::RemoveHandlesOf(threadId)) {
        w32::CloseObject(object);
        result.handlesClosed++;
    }
    return result;
}

}  // namespace sim
