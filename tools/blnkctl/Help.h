// The help texts: the tool's overview with its exit codes, and one per command.
#pragma once

#include "Arguments.h"

void WriteHelp(CTextSink& out, Command command);
// "blnkctl: <why>" and where to find the usage, on the error stream.
void WriteUsageError(CTextSink& err, Command command, PCWSTR why);
