// The tables list and watch print.
#pragma once

#include "Survey.h"

void WriteListTable(CTextSink& out, const CSurvey& survey);

// The watch table: counters now, and bytes per second since `before` (when
// given), `elapsedMs` ago. Returns the number of lines written.
ULONG WriteWatchTable(CTextSink& out, const CSurvey& now, const CSurvey* before, ULONG elapsedMs);
