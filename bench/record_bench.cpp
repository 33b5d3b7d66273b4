// The run's record of a package of many entries, written, against bare writes of values of the
// same kinds and sizes at the same place.
#include <windows.h>

#include <string>

#include "bench/bench_cases.h"
#include "platform/handle.h"
#include "platform/registry.h"
#include "product/run_record.h"

namespace bench {

namespace {

// A record of the benchmark's own, removed when it is done.
const std::string kId = "bench-record";
const std::wstring kKey = std::wstring(kRecordsKey) + L"\\bench-record";

RunRecord MakeRecord(int entries) {
  RunRecord record;
  record.packageDir = L"C:\\Packages\\Wareden 1.1\\";
  record.installDir = L"C:\\Program Files (x86)\\Wareden";
  record.state = RecordState::kApplied;
  record.started = record.ended = RecordTimeNow();
  record.entries.resize(entries,
                        {RecordedAction::kMovedThenCopied, Sha256Of(std::string(64, 'a'))});
  return record;
}

void RecordCase(benchmark::State& state, int entries) {
  const RunRecord record = MakeRecord(entries);
  RunRecord read;
  for (auto _ : state) {
    if (WriteRunRecord(kId, record) != ERROR_SUCCESS) state.SkipWithError("not written");
  }
  if (ReadRunRecord(kId, read) != RecordRead::kFound ||
      read.entries.size() != record.entries.size())
    state.SkipWithError("the record does not read back whole");
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey.c_str());
}

void RecordBaseline(benchmark::State& state, int entries) {
  const RunRecord record = MakeRecord(entries);
  const std::string bytes = EncodeEntries(record.entries);
  for (auto _ : state) {
    RegistryKey key;
    bool done = key.Create(kKey) == ERROR_SUCCESS &&
                key.WriteBinary(L"Entries", bytes) == ERROR_SUCCESS &&
                key.WriteNumber(L"FailedEntry", 0) == ERROR_SUCCESS;
    const std::wstring texts[] = {record.packageDir, record.installDir, record.started,
                                  record.ended, L"applied"};
    for (size_t i = 0; i < 5; ++i) {
      const std::wstring name = L"Value" + std::to_wstring(i);
      done = done && key.WriteString(name.c_str(), texts[i]) == ERROR_SUCCESS;
    }
    if (!done) state.SkipWithError("not written");
  }
  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey.c_str());
}

}  // namespace

BenchCase RegisterRecordCase(const BenchSizes& sizes) {
  Configure(benchmark::RegisterBenchmark("record", RecordCase, sizes.confEntries), sizes);
  Configure(benchmark::RegisterBenchmark("record_baseline", RecordBaseline, sizes.confEntries),
            sizes);
  return {"Run record, " + std::to_string(sizes.confEntries) + " entries", "record",
          "record_baseline", 1.50};
}

}  // namespace bench
