// The portable system tests that cannot pass under Wine, each with the
// documented difference between Wine and Windows that explains it.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

namespace systest {

struct WineException {
    const char* suite;
    const char* test;
    const char* reason;
};

// The whole list, for the check that every entry still names a test.
const WineException* WineExceptions(size_t* count);
// The reason `suite`.`test` is skipped under Wine, or null.
const char* WineSkipReason(const std::string& suite, const std::string& test);
// True for an error a request ends with under Wine only: Wine's own I/O
// layer ends it, or reports the driver's status as another error.
bool WineAlsoEnds(DWORD error);
// True when this process runs under Wine (ntdll exports wine_get_version).
bool RunningOnWine();

}  // namespace systest
