// PnP IRPs as the PnP manager sends them: to the top of a device node's
// stack, IoStatus.Status = STATUS_NOT_SUPPORTED, at PASSIVE_LEVEL on the PnP
// thread, waiting for each before the next.
#include "pnp_internal.h"
#include "io_internal.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

namespace sim {
namespace pnp {
namespace {

// A driver may keep a PnP IRP for a while (a start forwarded and waited on),
// never for ever: past this the PnP manager reports it.
const unsigned kDefaultIrpTimeoutMs = 30000;
std::atomic<unsigned> g_irpTimeoutMs{kDefaultIrpTimeoutMs};

// Capability records of queries the PnP manager gave up on: their driver may
// still complete the IRP and write there, so they stay until the next
// machine starts, when every driver of this one is gone.
std::mutex g_lostLock;
std::vector<std::unique_ptr<DEVICE_CAPABILITIES>> g_lostRecords;

const char* MinorName(UCHAR minor)
{
    static const char* const names[] = {"IRP_MN_START_DEVICE",
                                        "IRP_MN_QUERY_REMOVE_DEVICE",
                                        "IRP_MN_REMOVE_DEVICE",
                                        "IRP_MN_CANCEL_REMOVE_DEVICE",
                                        "IRP_MN_STOP_DEVICE",
                                        "IRP_MN_QUERY_STOP_DEVICE",
                                        "IRP_MN_CANCEL_STOP_DEVICE",
                                        "IRP_MN_QUERY_DEVICE_RELATIONS",
                                        "IRP_MN_QUERY_INTERFACE",
                                        "IRP_MN_QUERY_CAPABILITIES",
                                        "IRP_MN_QUERY_RESOURCES",
                                        "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
                                        "IRP_MN_QUERY_DEVICE_TEXT",
                                        "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
                                        "IRP_MN_0E",
                                        "IRP_MN_READ_CONFIG",
                                        "IRP_MN_WRITE_CONFIG",
                                        "IRP_MN_EJECT",
                                        "IRP_MN_SET_LOCK",
                                        "IRP_MN_QUERY_ID",
                                        "IRP_MN_QUERY_PNP_DEVICE_STATE",
                                        "IRP_MN_QUERY_BUS_INFORMATION",
                                        "IRP_MN_DEVICE_USAGE_NOTIFICATION",
                                        "IRP_MN_SURPRISE_REMOVAL"};
    return minor < sizeof names / sizeof names[0] ? names[minor] : "IRP_MN_?";
}

struct Prepared {
    unsigned char parameters[sizeof(((IO_STACK_LOCATION*)nullptr)->Parameters)];
    size_t size;
};

void Prepare(PIO_STACK_LOCATION loc, void* context)
{
    auto* p = static_cast<Prepared*>(context);
    memcpy(&loc->Parameters, p->parameters, p->size);
}

}  // namespace

unsigned IrpTimeoutMs()
{
    return g_irpTimeoutMs;
}

void IrpStartup()
{
    g_irpTimeoutMs = kDefaultIrpTimeoutMs;
    std::lock_guard<std::mutex> lock(g_lostLock);
    g_lostRecords.clear();
}

IrpOutcome SendPnpToDevice(PDEVICE_OBJECT device, UCHAR minor, const void* parameters, size_t size)
{
    IrpOutcome out;
    Prepared prepared{};
    prepared.size = size < sizeof prepared.parameters ? size : sizeof prepared.parameters;
    if (parameters && prepared.size)
        memcpy(prepared.parameters, parameters, prepared.size);
    IoRequest q;
    q.major = IRP_MJ_PNP;
    q.minor = minor;
    q.requestorMode = KernelMode;
    q.prepare = Prepare;
    q.prepareContext = &prepared;
    unsigned timeoutMs = IrpTimeoutMs();
    q.timeoutMs = timeoutMs;
    IrpResult r = SendRequest(device, q);
    out.completed = r.completed;
    if (!r.completed) {
        ReportViolation("PNP_IRP_NOT_COMPLETED", io::DeviceText(device), MinorName(minor),
                        "the PnP IRP was not completed within " + std::to_string(timeoutMs) + " ms");
        return out;
    }
    out.status = r.ioStatus.Status;
    out.information = r.ioStatus.Information;
    return out;
}

IrpOutcome SendPnp(DevNode* node, UCHAR minor, const void* parameters, size_t size)
{
    return SendPnpToDevice(node->pdo, minor, parameters, size);
}

NTSTATUS QueryCapabilities(DevNode* node, DEVICE_CAPABILITIES* caps)
{
    // Heap, not stack: an IRP that outlives its time-out still writes here.
    auto* record = new DEVICE_CAPABILITIES();
    record->Size = sizeof(DEVICE_CAPABILITIES);
    record->Version = 1;
    record->Address = 0xFFFFFFFF;
    record->UINumber = 0xFFFFFFFF;
    PDEVICE_CAPABILITIES p = record;
    IrpOutcome r = SendPnp(node, IRP_MN_QUERY_CAPABILITIES, &p, sizeof p);
    if (!r.completed) {
        std::lock_guard<std::mutex> lock(g_lostLock);
        g_lostRecords.emplace_back(record);  // the record stays with the IRP
        return STATUS_IO_TIMEOUT;
    }
    *caps = *record;
    delete record;
    return r.status;
}

}  // namespace pnp

using namespace pnp;

void SetPnpIrpTimeout(unsigned ms)
{
    g_irpTimeoutMs = ms;
}

PnpIrpResult PnpSendIrp(const std::string& instancePath, UCHAR minor, const void* parameters, size_t parametersSize,
                        DEVICE_CAPABILITIES* capabilities, unsigned timeoutMs)
{
    auto result = std::make_shared<PnpIrpResult>();
    auto caps = std::make_shared<DEVICE_CAPABILITIES>();
    std::vector<unsigned char> params;
    if (parameters)
        params.assign((const unsigned char*)parameters, (const unsigned char*)parameters + parametersSize);
    std::u16string path = U16(instancePath);
    bool ran = RunOnPnpThread(
        [=] {
            DevNode* n;
            {
                Guard lock(Lock());
                n = FindByInstanceLocked(path);
                if (!n || n->released) {
                    result->status = STATUS_NO_SUCH_DEVICE;
                    return;
                }
            }
            if (minor == IRP_MN_QUERY_CAPABILITIES) {
                result->status = QueryCapabilities(n, caps.get());
                return;
            }
            IrpOutcome r = SendPnp(n, minor, params.empty() ? nullptr : params.data(), params.size());
            result->status = r.status;
            result->information = r.information;
        },
        timeoutMs);
    if (!ran)
        return PnpIrpResult{};
    if (capabilities)
        *capabilities = *caps;
    return *result;
}

NTSTATUS SendSystemControl(const std::string& instancePath, UCHAR minor, unsigned timeoutMs)
{
    auto status = std::make_shared<NTSTATUS>(STATUS_IO_TIMEOUT);
    std::u16string path = U16(instancePath);
    bool ran = RunOnPnpThread(
        [=] {
            PDEVICE_OBJECT pdo;
            {
                Guard lock(Lock());
                DevNode* n = FindByInstanceLocked(path);
                if (!n || n->released) {
                    *status = STATUS_NO_SUCH_DEVICE;
                    return;
                }
                pdo = n->pdo;
            }
            IoRequest q;
            q.major = IRP_MJ_SYSTEM_CONTROL;
            q.minor = minor;
            q.requestorMode = KernelMode;
            q.timeoutMs = timeoutMs;
            IrpResult r = SendRequest(pdo, q);
            *status = r.completed ? r.ioStatus.Status : STATUS_IO_TIMEOUT;
        },
        timeoutMs);
    return ran ? *status : STATUS_IO_TIMEOUT;
}

}  // namespace sim
