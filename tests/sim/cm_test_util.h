// Helpers for the registry, file and run-time library tests: kernel names
// built from UTF-8 and kept alive for the duration of a call.
#pragma once

#include <sim/sim.h>

#include <string>

namespace cm_test {

// A UNICODE_STRING and OBJECT_ATTRIBUTES over text the object owns.
class Name {
public:
    explicit Name(const std::string& utf8, HANDLE root = nullptr) : text_(sim::Utf16(utf8))
    {
        us_.Buffer = reinterpret_cast<PWSTR>(&text_[0]);
        us_.Length = (USHORT)(text_.size() * sizeof(WCHAR));
        us_.MaximumLength = us_.Length;
        InitializeObjectAttributes(&oa_, &us_, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, root, nullptr);
    }
    Name(const Name&) = delete;
    Name& operator=(const Name&) = delete;

    PUNICODE_STRING us() { return &us_; }
    POBJECT_ATTRIBUTES oa() { return &oa_; }
    const wchar_t* w() const { return sim::W(text_); }

private:
    std::u16string text_;
    UNICODE_STRING us_;
    OBJECT_ATTRIBUTES oa_;
};

inline HANDLE OpenKey(const std::string& path, ACCESS_MASK access = KEY_ALL_ACCESS)
{
    Name n(path);
    HANDLE h = nullptr;
    return ZwOpenKey(&h, access, n.oa()) == STATUS_SUCCESS ? h : nullptr;
}

}  // namespace cm_test
