// StartPatch over an installation where every destination exists against a bare loop of what
// each entry cannot do without: the move aside, the copy to the partial name, its flush to the
// disk and the rename into place. With hashes recorded in the package, the floor adds a bare
// hash, with the same provider, of each patch file and of each copy, as a run that checks both
// would; the runner checks only its copy, made before the product is stopped.
// And the time the product is stopped for the swap (from the end of the stop to the restart;
// no product runs here) against the bare moves aside and renames into place of the same files.
#include <windows.h>
#include <wincrypt.h>

#include <string>
#include <vector>

#include "package/entry_paths.h"
#include "app/patch.h"
#include "bench/bench_cases.h"
#include "log/log.h"
#include "platform/handle.h"
#include "platform/sha256.h"
#include "platform/text.h"
#include "product/run_record.h"

namespace bench {

namespace {

constexpr DWORD kCompareBytes = 4096;

bool FlushFile(const std::wstring& path) {
  const KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, 0, nullptr));
  return file.IsValid() && FlushFileBuffers(file.Get());
}

// SHA-256 of a file straight through the CryptoAPI, the provider acquired once per run.
bool BareHash(HCRYPTPROV provider, const std::wstring& path, std::vector<BYTE>& chunk) {
  const KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  CryptHash hash;
  if (!file.IsValid() || !CryptCreateHash(provider, CALG_SHA_256, 0, 0, hash.Put())) return false;
  DWORD read = 0;
  bool ok = true;
  while (
      ok &&
      (ok = ReadFile(file.Get(), chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) &&
      read > 0) {
    ok = CryptHashData(hash.Get(), chunk.data(), read, 0) != FALSE;
  }
  BYTE digest[32];
  DWORD size = sizeof(digest);
  return ok && CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &size, 0);
}

// A package and an installation with `count` files of `bytes` bytes each, old and new
// contents different.
struct PatchFixture {
  explicit PatchFixture(const wchar_t* tag) : folder(tag) {}
  ScratchFolder folder;
  std::wstring patchFolder;
  std::wstring installDir;
  PatchList list;
  std::vector<EntryPaths> paths;
};

bool MakeFixture(PatchFixture& fixture, int count, DWORD bytes, bool hashed, std::string& error) {
  if (fixture.folder.Path().empty()) {
    error = "no scratch folder";
    return false;
  }
  fixture.patchFolder = fixture.folder.Join(L"package\\patchfile");
  fixture.installDir = fixture.folder.Join(L"install");
  CreateDirectoryW(fixture.folder.Join(L"package").c_str(), nullptr);
  CreateDirectoryW(fixture.patchFolder.c_str(), nullptr);
  CreateDirectoryW(fixture.installDir.c_str(), nullptr);
  for (int index = 0; index < count; ++index) {
    const std::string name = "file" + std::to_string(index) + ".bin";
    const EntryPaths entry = FormEntryPaths({name, name}, fixture.patchFolder, fixture.installDir);
    if (!WritePatternFile(entry.source, bytes, static_cast<uint32_t>(2 * index + 1))) {
      error = LastErrorText("writing", entry.source);
      return false;
    }
    if (!WritePatternFile(entry.destination, bytes, static_cast<uint32_t>(2 * index + 2))) {
      error = LastErrorText("writing", entry.destination);
      return false;
    }
    fixture.list.push_back({name, name});
    DWORD hashError = 0;
    if (hashed && !HashFileSha256(entry.source, fixture.list.back().sha256, hashError)) {
      error = LastErrorText("hashing", entry.source);
      return false;
    }
    fixture.paths.push_back(entry);
  }
  return true;
}

// Puts every original back from its backup, as before the run. On the first round it also
// proves that the run replaced each file: the destination held the new content.
bool RestoreInstallation(const PatchFixture& fixture, bool verify, std::string& error) {
  for (const EntryPaths& entry : fixture.paths) {
    if (verify &&
        ReadFilePrefix(entry.destination, kCompareBytes) != ReadFilePrefix(entry.source, kCompareBytes)) {
      error = LastErrorText("the new content is not in", entry.destination);
      return false;
    }
    if (!MoveFileExW(entry.backup.c_str(), entry.destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      error = LastErrorText("restoring", entry.destination);
      return false;
    }
  }
  return true;
}

// Times the whole run, or with `downtime` only the time the product is stopped.
void StartPatchCase(benchmark::State& state, const wchar_t* tag, int count, DWORD bytes,
                    bool hashed, bool downtime) {
  PatchFixture fixture(tag);
  std::string error;
  if (!MakeFixture(fixture, count, bytes, hashed, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  // The log is on, as in a run of the built runner, but kept out of the machine's log folder.
  LogEnabled = 1;
  LOG_CONSOLE::InitLog(fixture.folder.Join(L"patch.log").c_str());
  bool first = true;
  // The time the product is stopped includes the record's marks of the commit's progress.
  PatchRun run;
  run.packageId = std::string(64, '0');
  run.packageDir = fixture.folder.Path() + L"\\";
  for (auto _ : state) {
    const Stopwatch watch;
    const bool applied = StartPatch(fixture.installDir, fixture.list, fixture.patchFolder,
                                    downtime ? &run : nullptr);
    state.SetIterationTime(downtime ? LastSwapSeconds() : watch.Seconds());
    if (!applied) {
      state.SkipWithError("StartPatch failed");
      break;
    }
    if (!RestoreInstallation(fixture, first, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    first = false;
  }
  LOG_CONSOLE::CloseLog();
  for (const std::string& id : ListRunRecords()) {
    RunRecord record;
    if (ReadRunRecord(id, record) == RecordRead::kFound && record.packageDir == run.packageDir)
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kRecordsKey) + L"\\" + WidenUtf8(id)).c_str());
  }
}

// The floor of a run, or with `downtime` the bare moves aside and renames into place of copies
// made beforehand.
void StartPatchBaseline(benchmark::State& state, const wchar_t* tag, int count, DWORD bytes,
                        bool hashed, bool downtime) {
  PatchFixture fixture(tag);
  std::string error;
  CryptProvider provider;
  const bool acquired = CryptAcquireContextW(provider.Put(), nullptr, nullptr, PROV_RSA_AES,
                                             CRYPT_VERIFYCONTEXT | CRYPT_SILENT);
  if (!MakeFixture(fixture, count, bytes, hashed, error) || !acquired) {
    state.SkipWithError(error.empty() ? "no SHA-256 provider" : error.c_str());
    return;
  }
  std::vector<BYTE> chunk(1 << 20);
  const auto hash = [&](const std::wstring& path) {
    return !hashed || BareHash(provider.Get(), path, chunk);
  };
  const auto copy = [](const EntryPaths& entry) {
    return CopyFileW(entry.source.c_str(), entry.partial.c_str(), FALSE) &&
           FlushFile(entry.partial);
  };
  bool first = true;
  for (auto _ : state) {
    // Prepared as the runner prepares them, so that the system is in the same state when the
    // timed part begins.
    for (const EntryPaths& entry : fixture.paths) {
      if (downtime && (!copy(entry) || !hash(entry.partial)))
        error = LastErrorText("copying", entry.partial);
    }
    const Stopwatch watch;
    for (const EntryPaths& entry : fixture.paths) {
      if (!error.empty()) break;
      if ((!downtime && !hash(entry.source)) ||
          !MoveFileExW(entry.destination.c_str(), entry.backup.c_str(), 0) ||
          (!downtime && (!copy(entry) || !hash(entry.partial))) ||
          !MoveFileExW(entry.partial.c_str(), entry.destination.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        error = LastErrorText("moving or copying", entry.destination);
      }
    }
    state.SetIterationTime(watch.Seconds());
    if (!error.empty() || !RestoreInstallation(fixture, first, error)) {
      state.SkipWithError(error.c_str());
      break;
    }
    first = false;
  }
}

BenchCase RegisterPatchCase(const BenchSizes& sizes, const std::string& name, const wchar_t* tag,
                            int count, DWORD bytes, bool hashed, bool downtime) {
  for (const bool baseline : {false, true}) {
    const std::string benchName = baseline ? name + "_baseline" : name;
    auto* registered =
        baseline ? benchmark::RegisterBenchmark(benchName.c_str(), StartPatchBaseline, tag, count,
                                                bytes, hashed, downtime)
                 : benchmark::RegisterBenchmark(benchName.c_str(), StartPatchCase, tag, count,
                                                bytes, hashed, downtime);
    Configure(registered, sizes, Timing::kManualTime);
    // A few milliseconds timed, seconds of copying around them: a fixed count, or the library
    // would run the copies for minutes to gather its usual measuring time.
    if (downtime && !sizes.smoke) registered->Iterations(4);
  }
  const std::string size = bytes >= 1024 * 1024 ? std::to_string(bytes / (1024 * 1024)) + " MiB"
                                                : std::to_string(bytes / 1024) + " KiB";
  const std::string title = downtime ? (hashed ? "Product stopped, hashes, " : "Product stopped, ")
                                     : (hashed ? "StartPatch with hashes, " : "StartPatch, ");
  // Staged copies are hashed once, where a run that checked patch files and copies hashed twice.
  const double goal = downtime ? 1.5 : hashed && bytes >= 1024 * 1024 ? 0.65 : 1.10;
  return {title + std::to_string(count) + " x " + size, name, name + "_baseline", goal};
}

}  // namespace

BenchCase RegisterSmallFilesPatchCase(const BenchSizes& sizes, bool hashed) {
  return RegisterPatchCase(sizes, hashed ? "patch_small_hashed" : "patch_small", L"small",
                           sizes.smallFiles, sizes.smallFileBytes, hashed, false);
}

BenchCase RegisterLargeFilesPatchCase(const BenchSizes& sizes, bool hashed) {
  return RegisterPatchCase(sizes, hashed ? "patch_large_hashed" : "patch_large", L"large",
                           sizes.largeFiles, sizes.largeFileBytes, hashed, false);
}

BenchCase RegisterDowntimeCase(const BenchSizes& sizes, bool hashed) {
  return RegisterPatchCase(sizes, hashed ? "downtime_large_hashed" : "downtime_large", L"down",
                           sizes.largeFiles, sizes.largeFileBytes, hashed, true);
}

}  // namespace bench
