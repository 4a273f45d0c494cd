// A port's clients under load, through the Win32 API alone (portable: the
// simulated machine, Wine, Windows): one program holds the port open
// (overlapped) while its threads read, write and wait on the event mask,
// another keeps trying to open the port, a third opens the control device
// and queries it, each on a thread of its own with seeded pacing. Every
// request is waited for, bounded; what ended in a way no race allows is
// kept as a fault.
#pragma once

#include <windows.h>

#include <brisklink_ioctl.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace portload {

// What a request may end with while the port is being taken away, its
// requests flushed, cancelled or closed under it.
inline bool AllowedEnd(DWORD error)
{
    switch (error) {
    case ERROR_SUCCESS:
    case ERROR_OPERATION_ABORTED:  // cancelled (the load's end, or the client's)
    case ERROR_FILE_NOT_FOUND:     // STATUS_NO_SUCH_DEVICE: flushed, or the device is going
    case ERROR_INVALID_HANDLE:     // the system closed the ended client's handle
        return true;
    default:
        return false;
    }
}

// A request of one overlapped handle, waited for (bounded: one that never
// ends is a fault, recorded as such and then cancelled).
struct Outcome {
    DWORD error = ERROR_SUCCESS;
    DWORD bytes = 0;
    ULONG_PTR status = 0;  // the request's own status when it pended, for the fault's text
    bool hung = false;
};
inline Outcome Overlapped(HANDLE h, const std::function<BOOL(OVERLAPPED*)>& start)
{
    Outcome out;
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
    if (!start(&ov) && GetLastError() != ERROR_IO_PENDING) {
        out.error = GetLastError();
        CloseHandle(ov.hEvent);
        return out;
    }
    if (WaitForSingleObject(ov.hEvent, 10000) != WAIT_OBJECT_0) {
        out.hung = true;
        CancelIoEx(h, &ov);
    }
    out.error = GetOverlappedResult(h, &ov, &out.bytes, TRUE) ? ERROR_SUCCESS : GetLastError();
    out.status = ov.Internal;
    CloseHandle(ov.hEvent);
    return out;
}

// The clients of one cycle: each loop runs on a thread of its own until
// told to stop (or its client is ended) and keeps what went wrong.
class Load {
public:
    // `open` opens the port (overlapped when asked), INVALID_HANDLE_VALUE and
    // the thread's last error when it cannot.
    Load(uint64_t seed, std::function<HANDLE(bool overlapped)> open) : m_Rng(seed), m_Open(std::move(open)) {}
    ~Load() { Stop(); }

    // Further errors a platform's own I/O layer ends requests with (set
    // before Start).
    void AllowAlso(std::function<bool(DWORD error)> allowed) { m_AlsoAllowed = std::move(allowed); }
    // The pending requests end through the driver instead of being
    // cancelled: every read has a time-out, and Stop empties the event mask,
    // which ends the waits. For a platform whose cancel of a request the
    // driver is completing at that moment is unsafe (set before Start).
    void EndThroughTheDriver() { m_EndThroughDriver = true; }

    // The owner opens the port (overlapped) and arms the event mask; the
    // reader, writer and waiter share its handle.
    // `storm` second programs and as many control device clients.
    bool Start(int storm = 1)
    {
        m_Port = m_Open(true);
        if (m_Port == INVALID_HANDLE_VALUE) {
            return false;
        }
        COMMTIMEOUTS timeouts = {};
        bool timed = Pick(0, 1) != 0 || m_EndThroughDriver;
        timeouts.ReadTotalTimeoutConstant = timed ? 20 : 0;  // 0: a read waits for its bytes
        if (!SetCommTimeouts(m_Port, &timeouts) || !SetCommMask(m_Port, EV_RXCHAR)) {
            return false;
        }
        m_OwnerThread = GetCurrentThreadId();
        Spawn([this] { ReadLoop(); }, Pick(1, 1000));
        Spawn([this] { WriteLoop(); }, Pick(1, 1000));
        Spawn([this] { WaitLoop(); }, Pick(1, 1000));
        for (int i = 0; i < storm; i++) {
            Spawn([this] { ControlLoop(); }, Pick(1, 1000));
            Spawn([this] { OpenLoop(); }, Pick(1, 1000));
        }
        return true;
    }

    // The threads of the client: the owner, which opened the port, last.
    // Once marked ended, the loops send nothing more and a handle the system
    // closed under them is no fault.
    std::vector<DWORD> MarkEnded()
    {
        m_Ended = true;
        std::lock_guard<std::mutex> guard(m_Lock);
        std::vector<DWORD> ids = m_ThreadIds;
        ids.push_back(m_OwnerThread);
        return ids;
    }
    // The system closed the port's handle with the client.
    void ForgetPort() { m_Port = INVALID_HANDLE_VALUE; }
    void Fail(const std::string& what)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Faults.insert(what);
    }

    // Stops the loops (their pending requests cancelled) and closes the handle.
    void Stop()
    {
        m_Stop = true;
        for (int i = 0; i < 200 && m_Running != 0; i++) {
            if (m_Port != INVALID_HANDLE_VALUE && !m_Ended) {
                if (m_EndThroughDriver) {
                    SetCommMask(m_Port, 0);
                } else {
                    CancelIoEx(m_Port, NULL);
                }
            }
            Sleep(5);
        }
        if (m_Running != 0) {
            Fail("a client loop did not end");
        }
        for (std::thread& t : m_Threads) {
            t.join();
        }
        m_Threads.clear();
        if (m_Port != INVALID_HANDLE_VALUE) {
            if (!CloseHandle(m_Port)) {
                Fail("the port's handle did not close");
            }
            m_Port = INVALID_HANDLE_VALUE;
        }
    }

    bool Running() const { return m_Running != 0; }
    std::string Faults()
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        std::string text;
        for (const std::string& f : m_Faults) {
            text += f + "\n";
        }
        return text;
    }

private:
    unsigned Pick(unsigned low, unsigned high)
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        return std::uniform_int_distribution<unsigned>(low, high)(m_Rng);
    }
    void Check(const char* op, const Outcome& o)
    {
        if (o.hung) {
            Fail(std::string(op) + " never ended");
        }
        if (!AllowedEnd(o.error) && !(m_AlsoAllowed && m_AlsoAllowed(o.error))) {
            char status[16];
            snprintf(status, sizeof(status), "%08lx", (unsigned long)o.status);
            Fail(std::string(op) + " ended with error " + std::to_string(o.error) + " (status " + status + ")");
        }
    }
    bool Going() const { return !m_Stop && !m_Ended; }

    void Spawn(std::function<void()> loop, unsigned seed)
    {
        m_Running++;
        m_Threads.emplace_back([this, loop, seed] {
            {
                std::lock_guard<std::mutex> guard(m_Lock);
                m_ThreadIds.push_back(GetCurrentThreadId());
            }
            std::minstd_rand pace(seed);
            while (Going()) {
                loop();
                if (pace() % 4 == 0) {
                    Sleep(1);
                }
            }
            m_Running--;
        });
    }

    void ReadLoop()
    {
        uint8_t buffer[16];
        DWORD length = 1 + Pick(0, 15);
        Check("read", Overlapped(m_Port, [&](OVERLAPPED* ov) { return ReadFile(m_Port, buffer, length, NULL, ov); }));
    }
    void WriteLoop()
    {
        // Below 0x40: what RoundTrip passes over.
        std::vector<uint8_t> data(1 + Pick(0, 63));
        for (size_t i = 0; i < data.size(); i++) {
            data[i] = (uint8_t)i;
        }
        Outcome o = Overlapped(
            m_Port, [&](OVERLAPPED* ov) { return WriteFile(m_Port, data.data(), (DWORD)data.size(), NULL, ov); });
        Check("write", o);
        if (o.bytes > data.size()) {
            Fail("a write reported more bytes than it had");
        }
    }
    void WaitLoop()
    {
        DWORD events = 0;
        Check("wait", Overlapped(m_Port, [&](OVERLAPPED* ov) { return WaitCommEvent(m_Port, &events, ov); }));
    }
    void ControlLoop()
    {
        HANDLE control = CreateFileW(BLNK_CONTROL_USER_PATH, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
        if (control == INVALID_HANDLE_VALUE) {
            // The control device goes with the last port.
            if (GetLastError() != ERROR_FILE_NOT_FOUND && GetLastError() != ERROR_PATH_NOT_FOUND) {
                Fail("the control device refused an open with " + std::to_string(GetLastError()));
            }
            return;
        }
        ULONG count = 0;
        DWORD bytes = 0;
        DeviceIoControl(control, IOCTL_VSERIAL_CONTROL_GET_DEVICE_COUNT, NULL, 0, &count, sizeof(count), &bytes, NULL);
        if (!CloseHandle(control) && !m_Ended) {
            Fail("a control device handle did not close");
        }
    }
    // A second program trying the port: refused while the client holds it
    // (exclusive), not found once the port is gone; one that gets in closes.
    void OpenLoop()
    {
        HANDLE h = m_Open(false);
        if (h != INVALID_HANDLE_VALUE) {
            if (!CloseHandle(h) && !m_Ended) {
                Fail("a second opener's handle did not close");
            }
            return;
        }
        DWORD e = GetLastError();
        if (e != ERROR_ACCESS_DENIED && e != ERROR_FILE_NOT_FOUND && e != ERROR_PATH_NOT_FOUND) {
            Fail("a second open failed with " + std::to_string(e));
        }
    }

    std::mt19937_64 m_Rng;
    std::mutex m_Lock;  // guards m_Rng, m_Faults, m_ThreadIds
    std::set<std::string> m_Faults;
    std::vector<DWORD> m_ThreadIds;
    std::vector<std::thread> m_Threads;
    std::atomic<int> m_Running{0};
    std::atomic<bool> m_Stop{false};
    std::atomic<bool> m_Ended{false};
    bool m_EndThroughDriver = false;
    std::function<HANDLE(bool)> m_Open;
    std::function<bool(DWORD)> m_AlsoAllowed;
    HANDLE m_Port = INVALID_HANDLE_VALUE;
    DWORD m_OwnerThread = 0;
};

// Writes `data` (bytes of 0x80 and above) to a port whose device echoes it
// and reads until it is back. Echoes of the load's writes (bytes below 0x40)
// may still be on their way and are passed over; anything else must be the
// data, whole and in order. A synchronous handle. Empty when the bytes came
// back; else what went wrong.
inline std::string RoundTrip(HANDLE port, const std::vector<uint8_t>& data)
{
    COMMTIMEOUTS timeouts = {};
    timeouts.ReadTotalTimeoutConstant = 100;
    if (!SetCommTimeouts(port, &timeouts)) {
        return "the time-outs are refused: " + std::to_string(GetLastError());
    }
    DWORD written = 0;
    if (!WriteFile(port, data.data(), (DWORD)data.size(), &written, NULL) || written != data.size()) {
        return "wrote " + std::to_string(written) + " bytes, error " + std::to_string(GetLastError());
    }
    std::vector<uint8_t> back;
    DWORD start = GetTickCount();
    while (back.size() < data.size() && GetTickCount() - start < 5000) {
        uint8_t chunk[64];
        DWORD got = 0;
        if (!ReadFile(port, chunk, sizeof(chunk), &got, NULL)) {
            return "a read failed with " + std::to_string(GetLastError());
        }
        for (DWORD i = 0; i < got; i++) {
            if (chunk[i] >= 0x40) {
                back.push_back(chunk[i]);
            }
        }
    }
    if (back != data) {
        std::string text = "read back " + std::to_string(back.size()) + " of " + std::to_string(data.size()) + ":";
        for (uint8_t b : back) {
            text += " " + std::to_string(b);
        }
        return text;
    }
    return std::string();
}

}  // namespace portload
