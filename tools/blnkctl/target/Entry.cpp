// blnkctl.exe's entry point. The program has no C runtime (it imports from
// kernel32, advapi32 and setupapi only), so it splits its own command line
// and ends with ExitProcess.
#include "Blnkctl.h"
#include "ConsoleSink.h"

namespace {

const ULONG kMaxArgs = 32;

// Splits `line` in place as Windows programs do: white space separates
// arguments, double quotes group, 2n backslashes before a quote give n and
// the quote acts, 2n+1 give n and a literal quote, other backslashes are
// literal. Each argument is written back over the line, which is never
// longer than its arguments.
int SplitCommandLine(PWSTR line, PCWSTR* argv)
{
    int argc = 0;
    PWSTR read = line;
    PWSTR write = line;
    while (argc < (int)kMaxArgs) {
        while (*read == L' ' || *read == L'\t') {
            read++;
        }
        if (*read == 0) {
            break;
        }
        argv[argc++] = write;
        bool quoted = false;
        while (*read != 0 && (quoted || (*read != L' ' && *read != L'\t'))) {
            ULONG slashes = 0;
            while (*read == L'\\') {
                slashes++;
                read++;
            }
            if (*read == L'"') {
                for (ULONG i = 0; i < slashes / 2; i++) {
                    *write++ = L'\\';
                }
                if (slashes % 2 == 1) {
                    *write++ = L'"';
                } else if (quoted && read[1] == L'"') {
                    *write++ = L'"';  // "" inside quotes is a literal quote
                    read++;
                } else {
                    quoted = !quoted;
                }
                read++;
            } else {
                for (ULONG i = 0; i < slashes; i++) {
                    *write++ = L'\\';
                }
                if (*read != 0 && (quoted || (*read != L' ' && *read != L'\t'))) {
                    *write++ = *read++;
                }
            }
        }
        // The terminator may land where the separator was: write never passes read.
        PWSTR end = write;
        if (*read != 0) {
            read++;
        }
        *end = 0;
        write = end + 1;
    }
    return argc;
}

}  // namespace

// The process starts here, with the stack the loader gave it: GCC must not
// assume more alignment than that.
extern "C" __attribute__((force_align_arg_pointer)) void BlnkctlStart(void)
{
    CConsoleSink out(STD_OUTPUT_HANDLE);
    CConsoleSink err(STD_ERROR_HANDLE);
    PCWSTR argv[kMaxArgs];
    PCWSTR line = GetCommandLineW();
    // A copy to split in place: the process's own command line stays as it is.
    ULONG chars = 0;
    while (line[chars] != 0) {
        chars++;
    }
    PWSTR copy = static_cast<PWSTR>(HeapAlloc(GetProcessHeap(), 0, (chars + 2) * sizeof(WCHAR)));
    int code = kExitFailed;
    if (copy != nullptr) {
        for (ULONG i = 0; i <= chars; i++) {
            copy[i] = line[i];
        }
        copy[chars + 1] = 0;
        int argc = SplitCommandLine(copy, argv);
        code = BlnkctlMain(argc, argv, out, err);
    }
    ExitProcess((UINT)code);
}

// The pure virtual slot of an abstract class's table: never called.
extern "C" void __cxa_pure_virtual()
{
    ExitProcess(kExitFailed);
}
