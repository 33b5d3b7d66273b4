#pragma once

#include <json/json.h>

#include <string>

#include "product/run_record.h"

// The run's record as every tool shows it: one text, one JSON object.

// "applied, started 2026-12-07T18:21:05Z, ended ...", with what the state means for a cut-off or
// failed run; "none: ..." or "cannot be read" for a record that is missing or unreadable.
std::string DescribeRecord(RecordRead read, const RunRecord& record);

// {"package_id", "state", "started", "ended", "undone", "failed_entry"}; null when there is no
// record to show.
Json::Value RecordJson(const std::string& packageId, RecordRead read, const RunRecord& record);
