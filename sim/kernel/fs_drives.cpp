// Drive letters of the simulated machine and the translation of kernel file
// paths onto host folders.
#include "fs_files.h"

#include "rtl_text.h"

#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>

namespace sim {
namespace fs {
namespace {

// Guards the drive map (changed only at machine start and stop).
std::mutex g_driveLock;
std::string g_driveC;
bool g_ownsDriveC = false;

const char16_t* const kPrefixes[] = {u"\\DosDevices\\Global\\", u"\\DosDevices\\", u"\\GLOBAL??\\", u"\\??\\"};

bool StartsWithNoCase(const std::u16string& s, const std::u16string& prefix)
{
    return s.size() >= prefix.size() && rtl::EqualNoCase(s.substr(0, prefix.size()), prefix);
}

std::string ToUtf8(const std::u16string& s)
{
    return Utf8(reinterpret_cast<const wchar_t*>(s.data()), s.size());
}

// The entry of `dir` whose name equals `name` ignoring case (exact match first).
bool FindEntry(const std::string& dir, const std::u16string& name, std::string* found)
{
    std::string exact = ToUtf8(name);
    struct stat st;
    if (lstat((dir + "/" + exact).c_str(), &st) == 0) {
        *found = exact;
        return true;
    }
    DIR* d = opendir(dir.c_str());
    if (!d)
        return false;
    bool ok = false;
    while (struct dirent* e = readdir(d)) {
        if (rtl::EqualNoCase(Utf16(e->d_name), name)) {
            *found = e->d_name;
            ok = true;
            break;
        }
    }
    closedir(d);
    return ok;
}

}  // namespace

void Startup(const MachineOptions& options)
{
    std::lock_guard<std::mutex> g(g_driveLock);
    if (!options.driveCRoot.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(options.driveCRoot, ec);
        g_driveC = options.driveCRoot;
        g_ownsDriveC = false;
        return;
    }
    char templ[] = "/tmp/brisklink-drive-c-XXXXXX";
    if (!mkdtemp(templ)) {
        // The host, not a driver, is at fault: no rule of the verifier, and
        // no machine to test on.
        perror("StartMachine: cannot create a temporary folder for drive C:");
        abort();
    }
    g_driveC = templ;
    g_ownsDriveC = true;
}

void Shutdown()
{
    std::lock_guard<std::mutex> g(g_driveLock);
    if (g_ownsDriveC && !g_driveC.empty()) {
        const char* keep = getenv("BRISKLINK_KEEP_DRIVES");
        if (keep && std::string(keep) == "1") {
            fprintf(stderr, "sim: drive C: kept at %s\n", g_driveC.c_str());
        } else {
            std::error_code ec;
            std::filesystem::remove_all(g_driveC, ec);
        }
    }
    g_driveC.clear();
    g_ownsDriveC = false;
}

NTSTATUS CheckComponents(const std::u16string& relative, std::vector<std::u16string>* parts)
{
    size_t start = 0;
    while (start < relative.size()) {
        size_t end = relative.find(u'\\', start);
        if (end == std::u16string::npos)
            end = relative.size();
        std::u16string c = relative.substr(start, end - start);
        if (c.empty() || c == u"." || c == u"..")
            return STATUS_OBJECT_NAME_INVALID;
        for (char16_t ch : c)
            if (ch < 0x20 || std::u16string(u"<>:\"/|?*").find(ch) != std::u16string::npos)
                return STATUS_OBJECT_NAME_INVALID;
        parts->push_back(c);
        start = end + 1;
    }
    return STATUS_SUCCESS;
}

NTSTATUS SplitDosPath(const std::u16string& path, std::string* hostRoot, std::vector<std::u16string>* parts)
{
    std::u16string rest;
    bool matched = false;
    for (const char16_t* p : kPrefixes) {
        if (StartsWithNoCase(path, p)) {
            rest = path.substr(std::char_traits<char16_t>::length(p));
            matched = true;
            break;
        }
    }
    if (!matched || rest.size() < 2 || rest[1] != u':')
        return STATUS_OBJECT_PATH_NOT_FOUND;
    std::string root = HostPathForDrive(static_cast<wchar_t>(rest[0]));
    if (root.empty())
        return STATUS_OBJECT_PATH_NOT_FOUND;
    rest = rest.substr(2);
    if (!rest.empty()) {
        if (rest[0] != u'\\')
            return STATUS_OBJECT_NAME_INVALID;
        rest = rest.substr(1);
    }
    *hostRoot = root;
    return CheckComponents(rest, parts);
}

NTSTATUS ResolveHostPath(const std::string& root, const std::vector<std::u16string>& parts, bool strict,
                         std::string* hostPath)
{
    std::string path = root;
    for (size_t i = 0; i < parts.size(); ++i) {
        std::string name;
        bool last = i + 1 == parts.size();
        if (!FindEntry(path, parts[i], &name)) {
            if (strict && !last)
                return STATUS_OBJECT_PATH_NOT_FOUND;
            name = ToUtf8(parts[i]);
        } else if (strict && !last) {
            struct stat st;
            if (stat((path + "/" + name).c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
                return STATUS_OBJECT_PATH_NOT_FOUND;
        }
        path += "/" + name;
    }
    *hostPath = path;
    return STATUS_SUCCESS;
}

}  // namespace fs

std::string HostPathForDrive(wchar_t letter)
{
    std::lock_guard<std::mutex> g(fs::g_driveLock);
    if (letter == L'C' || letter == L'c')
        return fs::g_driveC;
    return std::string();
}

std::string HostPathForDosPath(const std::string& dosPathUtf8)
{
    std::string root, host;
    std::vector<std::u16string> parts;
    if (fs::SplitDosPath(Utf16(dosPathUtf8), &root, &parts) != STATUS_SUCCESS)
        return std::string();
    if (fs::ResolveHostPath(root, parts, false, &host) != STATUS_SUCCESS)
        return std::string();
    return host;
}

}  // namespace sim
