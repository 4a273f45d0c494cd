// Private interface of the file part of the simulated kernel: drive letters
// mapped to host folders and kernel file paths resolved onto them.
#pragma once

#include "internal.h"

#include <string>
#include <vector>

namespace sim {
namespace fs {

// Creates (or adopts) the host folder for C: and forgets it again; the folder
// is removed at shutdown when the machine created it, unless the environment
// sets BRISKLINK_KEEP_DRIVES=1.
void Startup(const MachineOptions& options);
void Shutdown();

// Splits "\DosDevices\Global\C:\a\b", "\DosDevices\C:\a\b", "\??\C:\a\b" or
// "\GLOBAL??\C:\a\b" into the drive's host folder and the components a, b.
// STATUS_OBJECT_PATH_NOT_FOUND for another name space or an unmapped drive,
// STATUS_OBJECT_NAME_INVALID for a component Windows file systems refuse
// (empty, ".", "..", control characters or any of <>:"/|?*).
NTSTATUS SplitDosPath(const std::u16string& path, std::string* hostRoot, std::vector<std::u16string>* parts);
NTSTATUS CheckComponents(const std::u16string& relative, std::vector<std::u16string>* parts);

// Resolves components below a host folder as a case-insensitive file system
// does: an existing entry is found whatever its case. With `strict`, every
// component but the last must be an existing directory
// (STATUS_OBJECT_PATH_NOT_FOUND otherwise).
NTSTATUS ResolveHostPath(const std::string& root, const std::vector<std::u16string>& parts, bool strict,
                         std::string* hostPath);

// Open files are forgotten (their handles stay valid until closed) when the
// machine stops.
void ForgetOpenFiles();

}  // namespace fs
}  // namespace sim
