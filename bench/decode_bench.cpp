// The runner staging a difference of a large file (the base's hash, the decoding against the
// installed file, the copy's hash) against it staging the whole new file (the copy and its
// hash): what a package of differences costs the machine it runs on.
#include <windows.h>

#include <string>

#include "app/patch.h"
#include "bench/bench_cases.h"
#include "log/log.h"
#include "package/entry_paths.h"
#include "platform/sha256.h"
#include "tests/support/encode.h"

namespace bench {

namespace {

constexpr DWORD kCompareBytes = 4096;

bool WriteWhole(const std::wstring& path, const std::string& bytes) {
  return WriteTextFile(path, bytes);
}

void StagingCase(benchmark::State& state, bool difference, DWORD bytes) {
  ScratchFolder folder(difference ? L"difference" : L"whole");
  const std::wstring patchFolder = folder.Join(L"package\\patchfile");
  const std::wstring installDir = folder.Join(L"install");
  CreateDirectoryW(folder.Join(L"package").c_str(), nullptr);
  CreateDirectoryW(patchFolder.c_str(), nullptr);
  CreateDirectoryW(installDir.c_str(), nullptr);
  // An update as they come: most of the file as it was, a byte in every 4 KiB changed.
  std::string base(bytes, '\0');
  uint32_t seed = 12345;
  for (char& c : base) {
    seed = seed * 1664525u + 1013904223u;
    c = static_cast<char>(seed >> 24);
  }
  std::string next = base;
  for (size_t i = 0; i < next.size(); i += 4096) next[i] = static_cast<char>(next[i] + 1);
  PatchEntry entry{"file.bin", "file.bin"};
  DWORD error = 0;
  if (!HashBytesSha256(next, entry.sha256, error)) {
    state.SkipWithError("no SHA-256");
    return;
  }
  if (difference) {
    entry.encoding = Encoding::kDifference;
    HashBytesSha256(base, entry.baseSha256, error);
  }
  const EntryPaths paths = FormEntryPaths(entry, patchFolder, installDir);
  if (!WriteWhole(paths.source, difference ? testsupport::DifferencePatch(base, next) : next) ||
      !WriteWhole(paths.destination, base)) {
    state.SkipWithError(LastErrorText("writing", paths.source).c_str());
    return;
  }
  const std::string expected = next.substr(0, kCompareBytes);
  base.clear();
  base.shrink_to_fit();
  next.clear();
  next.shrink_to_fit();
  LogEnabled = 1;
  LOG_CONSOLE::InitLog(folder.Join(L"patch.log").c_str());
  const PatchList list = {entry};
  bool first = true;
  for (auto _ : state) {
    const Stopwatch watch;
    const bool applied = StartPatch(installDir, list, patchFolder, nullptr);
    state.SetIterationTime(watch.Seconds());
    if (!applied || (first && ReadFilePrefix(paths.destination, kCompareBytes) != expected)) {
      state.SkipWithError("StartPatch failed, or installed something else");
      break;
    }
    if (!MoveFileExW(paths.backup.c_str(), paths.destination.c_str(), MOVEFILE_REPLACE_EXISTING)) {
      state.SkipWithError(LastErrorText("restoring", paths.destination).c_str());
      break;
    }
    first = false;
  }
  LOG_CONSOLE::CloseLog();
}

}  // namespace

BenchCase RegisterDifferenceStagingCase(const BenchSizes& sizes) {
  const DWORD bytes = sizes.smoke ? 1024 * 1024 : 100 * 1024 * 1024;
  for (const bool difference : {true, false}) {
    auto* registered = benchmark::RegisterBenchmark(
        difference ? "stage_difference" : "stage_difference_baseline", StagingCase, difference,
        bytes);
    Configure(registered, sizes, Timing::kManualTime);
    if (!sizes.smoke) registered->Iterations(3);
  }
  return {"Staging a difference / the whole new file, " + std::to_string(bytes >> 20) + " MiB",
          "stage_difference", "stage_difference_baseline", 2.0};
}

}  // namespace bench
