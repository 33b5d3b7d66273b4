#pragma once

#include <string>

#include "package/conf.h"
#include "package/layout.h"
#include "product/run_record.h"

// conf.json as a tool reads it: exactly as a run does, with the reader's own account of where it
// left the format.

// "entry 3" for the entry at index 2.
std::string EntryName(size_t index);

// One sentence on where a text left the format (`result` other than kOk): the parser's account
// of a syntax error on one line, or what the reader found.
std::string DescribeConfProblem(ConfTextResult result, const ConfProblem& problem);
// One sentence on why the file `name` could not be read whole.
std::string DescribeConfFileProblem(ConfFileResult result,
                                    const std::wstring& name = ConfPathOf(kPatchFolderName));

// The entries of PACKAGE_DIR\patchfile\conf.json as a run reads them, without the other checks,
// and with `packageId` the id of the run's record of it (PackageIdOf: the SHA-256 of its bytes,
// and of the patch files without a recorded hash), with `confId` the SHA-256 of its bytes alone.
// False with a sentence in `error` when there are none to work on.
bool ReadPackageEntries(const std::wstring& packageDir, PatchList& entries, std::string& error,
                        std::string* packageId = nullptr, std::string* confId = nullptr);

// The run's record of a package: under `packageId`, or, when there is none, under `confId`, where
// runners that did not count the patch files kept it. `foundId` gets the id read.
RecordRead ReadPackageRecord(const std::string& packageId, const std::string& confId,
                             RunRecord& record, std::string& foundId);

// The seal (32 bytes) for the conf.json at `confPath`, read as a sealed runner reads it. False
// with a sentence in `error` when a sealed runner would refuse it: unreadable, out of the
// format, or an entry without "sha256".
bool SealForConf(const std::wstring& confPath, std::string& seal, std::string& error);
