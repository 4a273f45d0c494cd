// The system power transitions tests drive, in the orders Windows uses: each
// runs on the PnP thread, so the device tree holds still meanwhile (Windows
// too keeps PnP work waiting during a transition), and sends one system
// power IRP at a time from the "power" thread, waiting for each.
//  - sleep (S1-S3) and hibernate (S4): IRP_MN_QUERY_POWER to every started
//    device node, children before their parent; if one fails, the nodes
//    queried so far (the one that failed too) get IRP_MN_SET_POWER S0,
//    parents first, and the machine stays working. Otherwise
//    IRP_MN_SET_POWER of the state, children first.
//  - shutdown (S5): IRP_MN_SET_POWER S5 only, children first; nobody can
//    veto it, and the machine does not wake from it.
//  - wake: IRP_MN_SET_POWER S0, parents before their children.
// Windows ignores a failed set; a lost IRP (reported by the verifier) ends
// the transition where it is, with STATUS_IO_TIMEOUT.
#include "po_internal.h"
#include "pnp_internal.h"

#include <atomic>
#include <condition_variable>

namespace sim {
namespace po {
namespace {

std::atomic<SYSTEM_POWER_STATE> g_state{PowerSystemWorking};
std::atomic<POWER_ACTION> g_action{PowerActionNone};  // of the transition the machine is in

struct Node {
    std::string path;
    PDEVICE_OBJECT pdo;
};

// Started device nodes, children before their parent or after it. On the PnP
// thread, which alone changes the tree.
std::vector<Node> StartedNodes(bool childrenFirst)
{
    std::vector<Node> out;
    pnp::Guard lock(pnp::Lock());
    pnp::DevNode* root = pnp::TreeRootLocked();
    std::function<void(pnp::DevNode*)> walk = [&](pnp::DevNode* n) {
        bool started = n != root && n->state == DeviceNodeState::Started && !n->released;
        if (started && !childrenFirst)
            out.push_back({pnp::U8(n->instancePath), n->pdo});
        for (pnp::DevNode* c : n->children)
            walk(c);
        if (started && childrenFirst)
            out.push_back({pnp::U8(n->instancePath), n->pdo});
    };
    if (root)
        walk(root);
    return out;
}

POWER_ACTION ActionOf(SYSTEM_POWER_STATE s)
{
    return s == PowerSystemWorking     ? PowerActionNone
           : s == PowerSystemHibernate ? PowerActionHibernate
           : s == PowerSystemShutdown  ? PowerActionShutdownOff
                                       : PowerActionSleep;
}

struct Waiter {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
};

// Sends one power IRP to the top of `pdo`'s stack and waits for it. Not
// completed: lost, and reported so.
struct Outcome {
    bool completed;
    NTSTATUS status;
};
Outcome SendAndWait(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state, POWER_ACTION action)
{
    auto w = std::make_shared<Waiter>();
    unsigned long long id = SendPowerIrp(pdo, minor, type, state, action, [w](const IO_STATUS_BLOCK& s) {
        std::lock_guard<std::mutex> lock(w->m);
        w->status = s.Status;
        w->done = true;
        w->cv.notify_all();
    });
    if (!id)
        return {true, STATUS_INSUFFICIENT_RESOURCES};
    std::unique_lock<std::mutex> lock(w->m);
    if (w->cv.wait_for(lock, std::chrono::milliseconds(IrpTimeoutMs()), [&] { return w->done; }))
        return {true, w->status};
    lock.unlock();
    ReportLost(id);
    return {false, STATUS_IO_TIMEOUT};
}

class Transition {
public:
    PowerTransition result;

    Transition() { result.state = g_state; }

    // False when the IRP was lost.
    bool Send(const Node& n, UCHAR minor, SYSTEM_POWER_STATE s, POWER_ACTION action, NTSTATUS* status = nullptr)
    {
        POWER_STATE state;
        state.SystemState = s;
        Outcome o = SendAndWait(n.pdo, minor, SystemPowerState, state, action);
        result.irps.push_back({n.path, minor, s, o.status});
        if (status)
            *status = o.status;
        return o.completed;
    }
    PowerTransition Done(NTSTATUS status, SYSTEM_POWER_STATE state)
    {
        result.status = status;
        if (status == STATUS_SUCCESS) {
            g_state = state;
            result.state = state;
        }
        return result;
    }

    PowerTransition Sleep(SYSTEM_POWER_STATE target)
    {
        if (g_state != PowerSystemWorking)
            return Done(STATUS_INVALID_DEVICE_STATE, target);
        POWER_ACTION action = ActionOf(target);
        std::vector<Node> nodes = StartedNodes(true);
        if (target != PowerSystemShutdown) {
            for (size_t i = 0; i < nodes.size(); ++i) {
                NTSTATUS st;
                if (!Send(nodes[i], IRP_MN_QUERY_POWER, target, action, &st))
                    return Done(STATUS_IO_TIMEOUT, target);
                if (!NT_SUCCESS(st)) {
                    result.vetoedBy = nodes[i].path;
                    for (size_t j = i + 1; j-- > 0;)
                        if (!Send(nodes[j], IRP_MN_SET_POWER, PowerSystemWorking, action))
                            return Done(STATUS_IO_TIMEOUT, target);
                    return Done(st, target);
                }
            }
        }
        for (const Node& n : nodes)
            if (!Send(n, IRP_MN_SET_POWER, target, action))
                return Done(STATUS_IO_TIMEOUT, target);
        g_action = action;
        return Done(STATUS_SUCCESS, target);
    }

    PowerTransition Wake()
    {
        if (g_state == PowerSystemWorking || g_state == PowerSystemShutdown)
            return Done(STATUS_INVALID_DEVICE_STATE, PowerSystemWorking);
        for (const Node& n : StartedNodes(false))
            if (!Send(n, IRP_MN_SET_POWER, PowerSystemWorking, g_action))
                return Done(STATUS_IO_TIMEOUT, PowerSystemWorking);
        g_action = PowerActionNone;
        return Done(STATUS_SUCCESS, PowerSystemWorking);
    }
};

PowerTransition OnPnpThread(std::function<PowerTransition()> body, unsigned timeoutMs)
{
    auto result = std::make_shared<PowerTransition>();
    if (pnp::RunOnPnpThread([=] { *result = body(); }, timeoutMs))
        return *result;
    PowerTransition t;  // the task still runs and writes *result: not read here
    t.status = STATUS_IO_TIMEOUT;
    t.state = g_state;
    return t;
}

}  // namespace

void SystemStartup()
{
    g_state = PowerSystemWorking;
    g_action = PowerActionNone;
}

}  // namespace po

using namespace po;

SYSTEM_POWER_STATE MachinePowerState()
{
    return g_state;
}

PowerTransition SleepMachine(SYSTEM_POWER_STATE state, unsigned timeoutMs)
{
    if (state < PowerSystemSleeping1 || state > PowerSystemShutdown) {
        PowerTransition t;
        t.status = STATUS_INVALID_PARAMETER;
        t.state = g_state;
        return t;
    }
    return OnPnpThread([state] { return Transition().Sleep(state); }, timeoutMs);
}

PowerTransition WakeMachine(unsigned timeoutMs)
{
    return OnPnpThread([] { return Transition().Wake(); }, timeoutMs);
}

PowerIrpResult PowerSendIrp(const std::string& instancePath, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                            unsigned timeoutMs)
{
    auto result = std::make_shared<PowerIrpResult>();
    std::u16string path = pnp::U16(instancePath);
    bool ran = pnp::RunOnPnpThread(
        [=] {
            PDEVICE_OBJECT pdo;
            {
                pnp::Guard lock(pnp::Lock());
                pnp::DevNode* n = pnp::FindByInstanceLocked(path);
                if (!n || n->released) {
                    result->status = STATUS_NO_SUCH_DEVICE;
                    return;
                }
                pdo = n->pdo;
            }
            if (minor != IRP_MN_SET_POWER && minor != IRP_MN_QUERY_POWER) {
                result->status = STATUS_INVALID_PARAMETER;
                return;
            }
            POWER_ACTION action = type == SystemPowerState ? ActionOf(state.SystemState) : PowerActionNone;
            Outcome o = SendAndWait(pdo, minor, type, state, action);
            result->completed = o.completed;
            result->status = o.status;
        },
        timeoutMs);
    return ran ? *result : PowerIrpResult{};
}

}  // namespace sim
