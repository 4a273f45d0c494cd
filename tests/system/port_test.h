// A port plugged, started and held open (overlapped) for the length of a
// test, with bounded reads and writes through the Win32 file API.
#pragma once

#include "system_test.h"

namespace systest {

class PortTest : public SystemTest {
protected:
    void SetUp() override
    {
        SystemTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) {
            return;
        }
        m_Id = PlugPort(&m_Number, Options());
        ASSERT_NE(m_Id, 0u);
        if (m_ExpectReaders) {
            ASSERT_TRUE(bus.WaitStarted(m_Id));
        }
        m_Port = OpenPort(m_Number, true);
        ASSERT_NE(m_Port, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        if (m_Port != INVALID_HANDLE_VALUE) {
            CloseHandle(m_Port);
        }
        SystemTest::TearDown();
    }
    virtual vbusreq::PlugOptions Options() { return vbusreq::PlugOptions(); }

    // A read of `length` bytes that waits (bounded) for all of them.
    std::vector<uint8_t> Read(DWORD length, DWORD* error = nullptr)
    {
        std::vector<uint8_t> buffer(length);
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        DWORD bytes = 0;
        BOOL ok = ReadFile(m_Port, buffer.data(), length, NULL, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(ov.hEvent, 10000) != WAIT_OBJECT_0) {
                CancelIoEx(m_Port, &ov);
            }
            ok = GetOverlappedResult(m_Port, &ov, &bytes, TRUE);
        } else if (ok) {
            GetOverlappedResult(m_Port, &ov, &bytes, TRUE);
        }
        if (error != nullptr) {
            *error = ok ? ERROR_SUCCESS : GetLastError();
        }
        CloseHandle(ov.hEvent);
        buffer.resize(bytes);
        return buffer;
    }
    DWORD Write(const std::vector<uint8_t>& data, DWORD* written)
    {
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventW(NULL, TRUE, FALSE, NULL);
        BOOL ok = WriteFile(m_Port, data.data(), (DWORD)data.size(), NULL, &ov);
        if (!ok && GetLastError() != ERROR_IO_PENDING) {
            // Failed at once: Windows neither fills the OVERLAPPED nor signals it.
            DWORD error = GetLastError();
            CloseHandle(ov.hEvent);
            *written = 0;
            return error;
        }
        if (!ok) {
            WaitForSingleObject(ov.hEvent, 10000);
        }
        ok = GetOverlappedResult(m_Port, &ov, written, TRUE);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        CloseHandle(ov.hEvent);
        return error;
    }

    bool m_ExpectReaders = true;
    uint32_t m_Id = 0;
    int m_Number = 0;
    HANDLE m_Port = INVALID_HANDLE_VALUE;
};

inline std::vector<uint8_t> Sequence(size_t n, uint8_t first = 0)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; i++) {
        v[i] = (uint8_t)(first + i);
    }
    return v;
}

}  // namespace systest
