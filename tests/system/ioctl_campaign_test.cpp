// Random control requests from a program, to the port and to the control
// device: the codes each one serves, the same codes with other methods and
// access bits, and codes of other device types; buffers of every length up
// to 64 bytes, a few large ones and NULL ones. Every request ends (a pending
// one is cancelled after a bounded wait), never reports more bytes than its
// output buffer holds nor writes past it, a code neither device serves is
// refused as malformed, each setting reads back as the last accepted request
// set it, and the port still moves bytes both ways. BRISKLINK_CASES requests
// (full run: 1,000,000); the CI slice is bounded.
#include "campaign.h"
#include "port_test.h"
#include "registry_values.h"

#include <brisklink_ioctl.h>

#include <cstring>
#include <random>

using namespace systest;

namespace {

const uint32_t kSerialType = 0x1B;
const uint32_t kControlType = 0x22;

uint32_t Code(uint32_t type, uint32_t function, uint32_t method = 0, uint32_t access = 0)
{
    return (type << 16) | (access << 14) | (function << 2) | method;
}

// The port's settings: what each set request stores and its get returns.
enum Setting { kBaud, kLine, kChars, kHandflow, kTimeouts, kWaitMask, kSettings };
struct SettingCodes {
    uint32_t set, get, bytes;
};
const SettingCodes kSettingCodes[kSettings] = {
    {BLNK_SERIAL_CTL_CODE(1), BLNK_SERIAL_CTL_CODE(20), 4},    // baud rate
    {BLNK_SERIAL_CTL_CODE(3), BLNK_SERIAL_CTL_CODE(21), 3},    // line control
    {BLNK_SERIAL_CTL_CODE(23), BLNK_SERIAL_CTL_CODE(22), 6},   // special characters
    {BLNK_SERIAL_CTL_CODE(25), BLNK_SERIAL_CTL_CODE(24), 16},  // handshake and flow
    {BLNK_SERIAL_CTL_CODE(7), BLNK_SERIAL_CTL_CODE(8), 20},    // time-outs
    {BLNK_SERIAL_CTL_CODE(17), BLNK_SERIAL_CTL_CODE(16), 4},   // wait mask
};
const uint32_t kSetQueueSize = BLNK_SERIAL_CTL_CODE(2);
const uint32_t kWaitOnMask = BLNK_SERIAL_CTL_CODE(18);
const uint32_t kImmediateChar = BLNK_SERIAL_CTL_CODE(6);
const uint32_t kResetDevice = BLNK_SERIAL_CTL_CODE(11);

// Serial functions the port serves (the rest of its device type it refuses),
// then its own.
bool PortServes(uint32_t code)
{
    if ((code >> 16) != kSerialType || (code & 0xC003) != 0) {
        return false;
    }
    uint32_t function = (code >> 2) & 0xFFF;
    return (function >= 1 && function <= 27) || function == 29 || (function >= 0x140 && function <= 0x144);
}

const uint32_t kControlCodes[] = {
    IOCTL_VSERIAL_CONTROL_GET_DEVICE_COUNT, IOCTL_VSERIAL_CONTROL_GET_DEVICE_DESCRIPTOR,
    IOCTL_VSERIAL_CONTROL_SET_PORT_NAME,    IOCTL_VSERIAL_CONTROL_GET_RECV,
    IOCTL_VSERIAL_CONTROL_GET_SENT,         IOCTL_VSERIAL_CONTROL_GET_LINE_CONTROL,
    IOCTL_VSERIAL_CONTROL_GET_HANDFLOW,     IOCTL_VSERIAL_CONTROL_GET_BAUD_RATE,
    IOCTL_VSERIAL_CONTROL_GET_OPEN_STATE,
};

bool ControlServes(uint32_t code)
{
    for (uint32_t c : kControlCodes) {
        if (c == code) {
            return true;
        }
    }
    return false;
}

// Bytes a forwarded control code answers with (0: not a forwarded code).
uint32_t ForwardedBytes(uint32_t code)
{
    switch (code) {
    case IOCTL_VSERIAL_CONTROL_GET_DEVICE_DESCRIPTOR:
        return 18;
    case IOCTL_VSERIAL_CONTROL_GET_LINE_CONTROL:
        return 3;
    case IOCTL_VSERIAL_CONTROL_GET_HANDFLOW:
        return 16;
    case IOCTL_VSERIAL_CONTROL_GET_RECV:
    case IOCTL_VSERIAL_CONTROL_GET_SENT:
    case IOCTL_VSERIAL_CONTROL_GET_BAUD_RATE:
    case IOCTL_VSERIAL_CONTROL_GET_OPEN_STATE:
        return 4;
    default:
        return 0;
    }
}

struct Request {
    bool control = false;
    uint32_t code = 0;
    uint32_t in = 0, out = 0;
    bool nullIn = false, nullOut = false;
    bool keyed = false;  // the input starts with the port's driver key
};

const uint32_t kLarge[] = {4096, 65536, 1u << 20};
const size_t kCanary = 16;

class IoctlCampaignTest : public PortTest {
protected:
    vbusreq::PlugOptions Options() override
    {
        vbusreq::PlugOptions o;
        o.serial = u"IOCTLFUZZ";
        return o;
    }

    uint32_t Length(std::mt19937_64& rng)
    {
        // Record sizes a third of the time, so that requests are often well formed.
        const uint32_t records[] = {3, 4, 6, 8, 16, 18, 20};
        uint32_t pick = rng() % 100;
        if (pick < 4) {
            return kLarge[rng() % 3];
        }
        return pick < 36 ? records[rng() % 7] : (uint32_t)(rng() % 65);
    }

    Request Draw(std::mt19937_64& rng)
    {
        Request q;
        q.control = rng() % 4 == 0;
        uint32_t kind = rng() % 10;
        if (kind < 5) {
            q.code = q.control ? kControlCodes[rng() % 9]
                               : BLNK_SERIAL_CTL_CODE(rng() % 2 ? 1 + rng() % 40 : 0x140 + rng() % 5);
        } else if (kind < 7) {
            // A served code with another method or access.
            uint32_t base = q.control ? kControlCodes[rng() % 9] : BLNK_SERIAL_CTL_CODE(1 + rng() % 29);
            q.code = (base & ~0xC003u) | (uint32_t)((rng() % 4) << 14) | (uint32_t)(rng() % 4);
        } else if (kind < 8) {
            // The other device's codes.
            q.code = q.control ? BLNK_SERIAL_CTL_CODE(1 + rng() % 29) : kControlCodes[rng() % 9];
        } else {
            const uint32_t types[] = {kSerialType, kControlType, FILE_DEVICE_BLNK_CONTROL,  0x01, 0x09,
                                      0x12,        0x2D,         (uint32_t)(rng() & 0xFFFF)};
            q.code = Code(types[rng() % 8], (uint32_t)(rng() % 0x1000), (uint32_t)(rng() % 4), (uint32_t)(rng() % 4));
        }
        q.in = Length(rng);
        q.out = Length(rng);
        q.nullIn = rng() % 10 == 0;
        q.nullOut = rng() % 10 == 0;
        q.keyed = q.control && !q.nullIn && !m_Key.empty() && rng() % 2 == 0;
        bool nullWithLength = (q.nullIn && q.in != 0) || (q.nullOut && q.out != 0);
        if (AnsweredBeforeTheDriver(q.code, nullWithLength)) {
            q.code = BLNK_SERIAL_CTL_CODE(0x800 + rng() % 0x100);  // one the port does not serve
            q.nullIn = q.nullOut = false;
        }
        return q;
    }

    // Sends one request with bounded waits; false (and a failure) when it
    // breaks a rule every request keeps.
    bool Send(const Request& q, std::mt19937_64& rng)
    {
        for (uint32_t i = 0; i < q.in && i < 64; i++) {
            m_In[i] = (uint8_t)rng();
        }
        if (q.keyed) {
            size_t bytes = (m_Key.size() + 1) * 2;
            if (bytes <= q.in) {
                memcpy(m_In.data(), m_Key.c_str(), bytes);
            }
        }
        size_t outStart = (size_t)(rng() % 8);
        uint8_t* out = m_Out.data() + outStart;
        memset(out + q.out, 0xCD, kCanary);
        void* in = q.nullIn ? nullptr : m_In.data();
        void* outBuffer = q.nullOut ? nullptr : out;

        DWORD returned = 0xFFFFFFFF;
        DWORD error = ERROR_SUCCESS;
        if (q.control) {
            BOOL ok = DeviceIoControl(m_Control, q.code, in, q.in, outBuffer, q.out, &returned, NULL);
            error = ok ? ERROR_SUCCESS : GetLastError();
            if (!ok) {
                returned = 0;
            }
        } else {
            OVERLAPPED ov = {};
            ov.hEvent = m_Event;
            ResetEvent(m_Event);
            BOOL ok = DeviceIoControl(m_Port, q.code, in, q.in, outBuffer, q.out, NULL, &ov);
            if (!ok && GetLastError() == ERROR_IO_PENDING) {
                if (WaitForSingleObject(m_Event, 1) != WAIT_OBJECT_0) {
                    CancelIoEx(m_Port, &ov);
                }
                EXPECT_EQ(WaitForSingleObject(m_Event, 5000), WAIT_OBJECT_0) << "a request that never ends";
                ok = GetOverlappedResult(m_Port, &ov, &returned, TRUE);
                error = ok ? ERROR_SUCCESS : GetLastError();
                if (!ok) {
                    returned = 0;
                }
            } else {
                error = ok ? ERROR_SUCCESS : GetLastError();
                returned = ok ? (DWORD)ov.InternalHigh : 0;
            }
        }
        bool held = true;
        held &= Check(returned <= q.out, "more bytes returned than the output buffer holds");
        if (!q.nullOut) {
            for (size_t i = 0; i < kCanary; i++) {
                held &= Check(out[q.out + i] == 0xCD, "a byte written past the output buffer");
            }
        }
        held &= Expect(q, error, returned, out);
        return held;
    }

    bool Check(bool condition, const char* what)
    {
        EXPECT_TRUE(condition) << what;
        return condition;
    }

    // The outcome the request's code and shape call for.
    bool Expect(const Request& q, DWORD error, DWORD returned, const uint8_t* out)
    {
        uint32_t method = q.code & 3;
        // The I/O manager probes the caller's buffers (but those of a
        // METHOD_NEITHER request) before any driver sees the request.
        if (((q.nullOut && q.out != 0) || (q.nullIn && q.in != 0)) && method != 3) {
            return Check(error == ERROR_NOACCESS, "a NULL buffer with a length not refused as no access");
        }
        if (q.control ? !ControlServes(q.code) : !PortServes(q.code)) {
            return Check(error == ERROR_INVALID_PARAMETER, "a code the device does not serve not refused");
        }
        if (q.control) {
            return ExpectControl(q, error, returned, out);
        }
        if (q.code == kImmediateChar || q.code == kResetDevice) {
            return Check(error == ERROR_NOT_SUPPORTED, "an unsupported request not refused as such");
        }
        for (int s = 0; s < kSettings; s++) {
            const SettingCodes& c = kSettingCodes[s];
            if (q.code == c.set) {
                if (!Check((error == ERROR_SUCCESS) == (q.in == c.bytes), "a set request's length decides it")) {
                    return false;
                }
                if (error == ERROR_SUCCESS) {
                    m_Model[s] = Bytes(m_In.begin(), m_In.begin() + c.bytes);
                }
                return true;
            }
            if (q.code == c.get) {
                if (!Check((error == ERROR_SUCCESS) == (q.out == c.bytes), "a get request's length decides it")) {
                    return false;
                }
                if (error == ERROR_SUCCESS) {
                    return Check(returned == c.bytes, "a get request returns its record") &&
                           Check(m_Model[s].empty() || Bytes(out, out + c.bytes) == m_Model[s],
                                 "a setting reads back other than it was set");
                }
                return true;
            }
        }
        if (q.code == kWaitOnMask && q.out < 4) {
            return Check(error == ERROR_INSUFFICIENT_BUFFER, "a wait with no room for its event word");
        }
        if (q.code == kSetQueueSize && error == ERROR_SUCCESS) {
            return Check(q.in == 8, "a queue size of another length accepted");
        }
        return true;
    }

    bool ExpectControl(const Request& q, DWORD error, DWORD returned, const uint8_t* out)
    {
        if (q.code == IOCTL_VSERIAL_CONTROL_GET_DEVICE_COUNT) {
            bool room = q.out >= 4;
            return Check((error == ERROR_SUCCESS) == room, "the port count answers when there is room") &&
                   (!room || (Check(returned == 4, "the port count is four bytes") &&
                              Check(memcmp(out, "\0\0\0\0", 4) != 0, "a plugged port is counted")));
        }
        uint32_t bytes = ForwardedBytes(q.code);
        if (bytes == 0) {
            return true;  // the rename: a port re-reads its name
        }
        if (error != ERROR_SUCCESS) {
            // Only a port named by a key ending inside the input answers.
            bool found = q.keyed && q.out >= bytes && (m_Key.size() + 1) * 2 <= q.in;
            return Check(error == ERROR_INVALID_PARAMETER, "a forwarded request refused otherwise than malformed") &&
                   Check(!found || !OnSimulatedMachine(), "the port named by its key did not answer");
        }
        if (!Check(returned == bytes, "a forwarded answer has its record's size")) {
            return false;
        }
        if (q.code == IOCTL_VSERIAL_CONTROL_GET_BAUD_RATE && !m_Model[kBaud].empty()) {
            return Check(Bytes(out, out + 4) == m_Model[kBaud], "the control device reports another baud rate");
        }
        return true;
    }

    // Each setting the model knows reads back, and bytes make the round trip
    // through the echoing device. Sets the time-outs and the queue size the
    // round trip needs, as a program would.
    bool PortWorks(uint8_t first)
    {
        bool held = true;
        for (int s = 0; s < kSettings; s++) {
            Bytes value(kSettingCodes[s].bytes);
            DWORD returned = 0;
            held &= Check(Sync(kSettingCodes[s].get, nullptr, 0, value.data(), (DWORD)value.size(), &returned) &&
                              returned == value.size(),
                          "a setting cannot be read");
            held &= Check(m_Model[s].empty() || value == m_Model[s], "a setting reads back other than it was set");
        }
        uint32_t queue[2] = {4096, 4096};
        Bytes noTimeouts(20, 0);
        DWORD returned = 0;
        held &= Check(Sync(kSetQueueSize, queue, sizeof(queue), nullptr, 0, &returned), "the queue size is refused");
        held &= Check(Sync(kSettingCodes[kTimeouts].set, noTimeouts.data(), 20, nullptr, 0, &returned),
                      "the time-outs are refused");
        m_Model[kTimeouts] = noTimeouts;
        DWORD written = 0;
        std::vector<uint8_t> data = Sequence(40, first);
        held &= Check(Write(data, &written) == ERROR_SUCCESS && written == data.size(), "a write fails");
        held &= Check(Read((DWORD)data.size()) == data, "the echoed bytes do not come back");
        return held;
    }

    bool Sync(uint32_t code, void* in, DWORD inLength, void* out, DWORD outLength, DWORD* returned)
    {
        OVERLAPPED ov = {};
        ov.hEvent = m_Event;
        ResetEvent(m_Event);
        BOOL ok = DeviceIoControl(m_Port, code, in, inLength, out, outLength, NULL, &ov);
        if (!ok && GetLastError() != ERROR_IO_PENDING) {
            return false;
        }
        return GetOverlappedResult(m_Port, &ov, returned, TRUE) != FALSE;
    }

    Bytes m_Model[kSettings];  // empty: not set by this test yet
    std::u16string m_Key;
    std::vector<uint8_t> m_In = std::vector<uint8_t>((1u << 20) + 64);
    std::vector<uint8_t> m_Out = std::vector<uint8_t>((1u << 20) + 64);
    HANDLE m_Control = INVALID_HANDLE_VALUE;
    HANDLE m_Event = NULL;
};

}  // namespace

TEST_F(IoctlCampaignTest, RandomRequestsEndWithinTheirBuffersAndLeaveThePortWorking)
{
    campaign::Campaign c("ioctl", 5000);
    m_Control = CreateFileW(BLNK_CONTROL_USER_PATH, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                            0, NULL);
    ASSERT_NE(m_Control, INVALID_HANDLE_VALUE);
    m_Event = CreateEventW(NULL, TRUE, FALSE, NULL);
    ASSERT_TRUE(bus.Echo(m_Id, true));
    RegValue driver = ReadValue(u"SYSTEM\\CurrentControlSet\\Enum\\" + InstancePath(Options()), u"Driver");
    for (size_t i = 0; i + 1 < driver.data.size() && (driver.data[i] | driver.data[i + 1]) != 0; i += 2) {
        m_Key.push_back((char16_t)(driver.data[i] | (driver.data[i + 1] << 8)));
    }
    for (unsigned i = 0; i < c.Cases(); i++) {
        SCOPED_TRACE(c.Describe(i));
        std::mt19937_64 rng(c.CaseSeed(i));
        Request q = Draw(rng);
        bool held = Send(q, rng);
        if (!held) {
            ADD_FAILURE() << std::hex << "code 0x" << q.code << (q.control ? " (control)" : " (port)") << std::dec
                          << " in " << q.in << (q.nullIn ? " NULL" : "") << " out " << q.out
                          << (q.nullOut ? " NULL" : "");
        }
        if (i % 5000 == 4999 || i + 1 == c.Cases()) {
            held = PortWorks((uint8_t)i) && held;
        }
        c.Record(i, held);
    }
    EXPECT_EQ(c.Failed(), 0u);
    CloseHandle(m_Event);
    CloseHandle(m_Control);
}
