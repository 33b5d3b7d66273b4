// The run's record of a package of many entries, written and read back, against bare writes
// and reads of values of the same kinds and sizes at the same place.
#include <windows.h>

#include <string>
#include <vector>

#include "bench/bench_cases.h"
#include "platform/handle.h"
#include "platform/registry.h"
#include "product/run_record.h"

namespace bench {

namespace {

// A record id of the benchmark's own, removed when it is done.
std::string BenchId() { return "bench-" + std::to_string(GetCurrentProcessId()); }

void RemoveBenchRecord() {
  RegDeleteKeyW(HKEY_LOCAL_MACHINE,
                (std::wstring(kRecordsKey) + L"\\" + std::wstring(BenchId().begin(),
                                                                  BenchId().end()))
                    .c_str());
}

RunRecord MakeRecord(int entries) {
  RunRecord record;
  record.packageDir = L"C:\\Packages\\Wareden 1.1\\";
  record.installDir = L"C:\\Program Files (x86)\\Wareden";
  record.state = RecordState::kApplied;
  record.started = record.ended = RecordTimeNow();
  for (int index = 0; index < entries; ++index) {
    RecordedEntry entry;
    entry.action = index % 2 ? RecordedAction::kMovedThenCopied : RecordedAction::kCopied;
    entry.installed = Sha256Of(std::string(64, "0123456789abcdef"[index % 16]));
    record.entries.push_back(entry);
  }
  return record;
}

void RecordCase(benchmark::State& state, int entries) {
  const RunRecord record = MakeRecord(entries);
  for (auto _ : state) {
    RunRecord read;
    if (WriteRunRecord(BenchId(), record) != ERROR_SUCCESS ||
        ReadRunRecord(BenchId(), read) != RecordRead::kFound ||
        read.entries.size() != record.entries.size()) {
      state.SkipWithError("the record was not written and read back whole");
      break;
    }
  }
  RemoveBenchRecord();
}

void RecordBaseline(benchmark::State& state, int entries) {
  const RunRecord record = MakeRecord(entries);
  const std::string bytes = EncodeEntries(record.entries);
  const std::wstring texts[] = {record.packageDir, record.installDir, record.started,
                                record.ended, L"applied"};
  for (auto _ : state) {
    KeyHandle key;
    std::string read;
    std::wstring text;
    bool done = CreateKeyForWriting(std::wstring(kRecordsKey) + L"\\" +
                                        std::wstring(BenchId().begin(), BenchId().end()),
                                    key) == ERROR_SUCCESS &&
                WriteBinaryValue(key.Get(), L"Entries", bytes) == ERROR_SUCCESS &&
                WriteNumberValue(key.Get(), L"FailedEntry", 0) == ERROR_SUCCESS;
    for (size_t i = 0; i < 5 && done; ++i) {
      const std::wstring name = L"Value" + std::to_wstring(i);
      done = WriteStringValue(key.Get(), name.c_str(), texts[i]) == ERROR_SUCCESS &&
             ReadStringValue(key.Get(), name.c_str(), text) == ERROR_SUCCESS;
    }
    DWORD number = 0, size = sizeof(number);
    if (!done || ReadBinaryValue(key.Get(), L"Entries", read) != ERROR_SUCCESS ||
        RegQueryValueExW(key.Get(), L"FailedEntry", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&number), &size) != ERROR_SUCCESS) {
      state.SkipWithError("the values were not written");
      break;
    }
  }
  RemoveBenchRecord();
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
