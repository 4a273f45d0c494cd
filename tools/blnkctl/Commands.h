// The commands; each returns the program's exit code.
#pragma once

#include "Arguments.h"

int RunList(CTextSink& out, CTextSink& err);
int RunWatch(const CArguments& args, CTextSink& out, CTextSink& err);
int RunRename(PCWSTR newName, CTextSink& out, CTextSink& err);
// log on PATH / log off, portname NAME / portname --clear.
int RunParameters(const CArguments& args, CTextSink& out, CTextSink& err);
