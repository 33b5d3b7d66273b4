#pragma once

#include <string>

#include "tools/patchcheck/findings.h"

// What a run would do, entry by entry, on `installDir`: the plan, as the runner makes it from
// the installation as it is now, into `report.steps`. Changes nothing.
void DryRun(const std::wstring& packageDir, const std::wstring& installDir, PackageReport& report);

// One line per step: "entry 3: copy ... to ...".
std::string StepText(const DryRunStep& step);
