#pragma once

#include <string>

#include "platform/trust.h"

// Whether the tools may believe the runs' records: only under a records key that passes the
// readers' check (product/record_key.h). A record under any other key may have been written by
// anyone, so it counts as unreadable: undo refuses to act on it, the verdicts do not rest on it.

// "the records key HKLM\SOFTWARE\Norvale\Wareden\Patches: <why>: its record is not believed".
std::string DescribeRecordsKeyRefusal(TrustRefusal refusal);

// True when the records key passes (or does not exist); otherwise false, after the tool's error
// line saying why.
bool RecordsKeyBelieved();
