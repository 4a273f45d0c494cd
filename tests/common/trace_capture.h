// Captures the driver's trace points for the duration of a test, so a test can
// prove which routine reported what (the shipped driver has no trace output).
#pragma once

#include "core/RefObject.h"

#include <mutex>
#include <string>
#include <vector>

class TraceCapture {
public:
    struct Entry {
        ULONG level;
        std::string format;  // the format as the routine passed it
        std::string text;    // the formatted line
    };

    TraceCapture() { Install(this); }
    ~TraceCapture() { Install(nullptr); }

    std::vector<Entry> Entries() const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Entries;
    }
    // True when some trace point's format or text starts with `prefix`.
    bool Saw(const std::string& prefix, ULONG level = 0) const
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const Entry& e : m_Entries) {
            if ((level == 0 || e.level == level) && (e.format.rfind(prefix, 0) == 0 || e.text.rfind(prefix, 0) == 0)) {
                return true;
            }
        }
        return false;
    }
    void Clear()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Entries.clear();
    }

private:
    static TraceCapture*& Current()
    {
        static TraceCapture* current = nullptr;
        return current;
    }
    // Guards Current(): a capture going away waits for the driver threads
    // that are inside its hook.
    static std::mutex& InstallLock()
    {
        static std::mutex lock;
        return lock;
    }
    static void Install(TraceCapture* capture)
    {
        std::lock_guard<std::mutex> lock(InstallLock());
        Current() = capture;
        WritePointerNoFence((PVOID volatile*)&g_TraceHook, capture != nullptr ? (PVOID)&Hook : nullptr);
    }
    static void Hook(const void*, ULONG level, const char* format, va_list args)
    {
        char line[512];
        _vsnprintf(line, sizeof(line) - 1, format, args);
        line[sizeof(line) - 1] = 0;
        std::lock_guard<std::mutex> installed(InstallLock());
        TraceCapture* self = Current();
        if (self == nullptr) {
            return;
        }
        std::lock_guard<std::mutex> lock(self->m_Mutex);
        self->m_Entries.push_back({level, format, line});
    }

    mutable std::mutex m_Mutex;
    std::vector<Entry> m_Entries;
};
