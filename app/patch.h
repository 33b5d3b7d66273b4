#pragma once

#include <string>

#include "package/conf.h"

// Who a run is, for its record: the package id (the SHA-256 of conf.json's bytes) and folder.
struct PatchRun {
  std::string packageId;
  std::wstring packageDir;
  // Set by StartPatch: the id its record is written under (the package id, or with the patch
  // files' hashes, see PackageIdOf); empty when it records nothing.
  mutable std::string recordId;
};

// Stops the product's processes, moves each existing destination aside under
// ".220620.patch.bak", copies each replacement in, and restarts the main program when it had
// been running. False for an empty list, an empty folder argument, or a failed move or copy.
// With `run`, what it does is registered in the run's record (see product/run_record.h).
bool StartPatch(const std::wstring& installDir, const PatchList& list,
                const std::wstring& patchFolder, const PatchRun* run = nullptr);

// How long the last StartPatch on this thread kept the product stopped beyond finding and
// stopping its programs: from the end of the stop to the restart, in seconds. For the benchmarks.
double LastSwapSeconds();
