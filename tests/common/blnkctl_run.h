// Runs blnkctl in the test's process, as a program would run it: arguments
// in, exit code and the text of its two streams out (ASCII; any other
// character becomes '?').
#pragma once

#include "Blnkctl.h"

#include <functional>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace blnkctl_test {

class StringSink : public CTextSink {
public:
    void Write(PCWSTR text, ULONG chars) override
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        for (ULONG i = 0; i < chars; i++) {
            m_Text.push_back(text[i] < 0x80 ? (char)text[i] : '?');
        }
        if (onWrite) {
            onWrite(m_Text);
        }
    }
    std::string Text()
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        return m_Text;
    }
    // Called after each write with everything written so far.
    std::function<void(const std::string&)> onWrite;

private:
    std::mutex m_Lock;
    std::string m_Text;
};

struct Result {
    int code;
    std::string out;
    std::string err;
};

inline Result RunWith(const std::vector<std::string>& args, StringSink& out, StringSink& err)
{
    std::vector<std::u16string> wide;
    wide.push_back(u"blnkctl");
    for (const std::string& a : args) {
        wide.emplace_back(a.begin(), a.end());
    }
    std::vector<PCWSTR> argv;
    for (const std::u16string& w : wide) {
        argv.push_back(reinterpret_cast<PCWSTR>(w.c_str()));
    }
    int code = BlnkctlMain((int)argv.size(), argv.data(), out, err);
    return {code, out.Text(), err.Text()};
}

inline Result Blnkctl(const std::vector<std::string>& args)
{
    StringSink out;
    StringSink err;
    return RunWith(args, out, err);
}

// The last output line that starts with `first`, split at spaces; empty when none.
inline std::vector<std::string> Row(const std::string& text, const std::string& first)
{
    std::vector<std::string> found;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        std::string line = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 1;
        std::vector<std::string> words;
        size_t i = 0;
        while (i < line.size()) {
            size_t next = line.find(' ', i);
            if (next != i) {
                words.push_back(line.substr(i, next == std::string::npos ? std::string::npos : next - i));
            }
            i = next == std::string::npos ? line.size() : next + 1;
        }
        if (!words.empty() && words[0] == first) {
            found = words;
        }
    }
    return found;
}

}  // namespace blnkctl_test
