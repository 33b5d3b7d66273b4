// Case 6: patchmake's BuildPackage over two versions of a product, most files unchanged, against
// a bare read of both trees: the same folders listed and every file read in chunks.
#include <string>
#include <vector>

#include "bench/bench_cases.h"
#include "platform/handle.h"
#include "tools/patchmake/package_writer.h"

namespace bench {

namespace {

constexpr int kFolders = 20;
constexpr DWORD kChunkBytes = 1 << 20;

// Two trees of `count` files as a patch changes them: one in twenty changed in place, one in fifty
// grown, one in a hundred added; the rest the same in both.
struct MakeFixture {
  ScratchFolder folder{L"make"};
  std::wstring oldDir, newDir;
  size_t changed = 0;
};

bool MakeTrees(MakeFixture& fixture, int count, DWORD bytes, std::string& error) {
  fixture.oldDir = fixture.folder.Join(L"old");
  fixture.newDir = fixture.folder.Join(L"new");
  for (const std::wstring& root : {fixture.oldDir, fixture.newDir}) {
    for (int index = -1; index < kFolders; ++index) {
      const std::wstring path = index < 0 ? root : root + L"\\dir" + std::to_wstring(index);
      if (!CreateDirectoryW(path.c_str(), nullptr)) {
        error = LastErrorText("creating", path);
        return false;
      }
    }
  }
  for (int index = 0; index < count; ++index) {
    const std::wstring name =
        L"\\dir" + std::to_wstring(index % kFolders) + L"\\file" + std::to_wstring(index) + L".bin";
    const bool added = index % 100 == 7, grown = index % 50 == 3, changed = index % 20 == 1;
    const uint32_t seed = static_cast<uint32_t>(index);
    if (!added && !WritePatternFile(fixture.oldDir + name, bytes, seed)) {
      error = LastErrorText("writing", fixture.oldDir + name);
      return false;
    }
    if (!WritePatternFile(fixture.newDir + name, grown ? bytes + 1024 : bytes,
                          changed ? seed + count : seed)) {
      error = LastErrorText("writing", fixture.newDir + name);
      return false;
    }
    if (added || grown || changed) ++fixture.changed;
  }
  return true;
}

// The trees for one case; false after telling the benchmark why not.
bool PrepareTrees(benchmark::State& state, MakeFixture& fixture, int count, DWORD bytes) {
  std::string error;
  if (!fixture.folder.Path().empty() && MakeTrees(fixture, count, bytes, error)) return true;
  state.SkipWithError(error.empty() ? "no scratch folder" : error.c_str());
  return false;
}

void MakeCase(benchmark::State& state, int count, DWORD bytes) {
  MakeFixture fixture;
  std::string error;
  if (!PrepareTrees(state, fixture, count, bytes)) return;
  const MakeRequest request{fixture.oldDir,
                            fixture.newDir,
                            fixture.folder.Join(L"out"),
                            ProgramFolder() + L"\\Patch.exe",
                            {}};
  for (auto _ : state) {
    MakeResult result;
    const Stopwatch watch;
    const bool built = BuildPackage(request, result, error);
    state.SetIterationTime(watch.Seconds());
    if (!built || result.report.Failed() || result.entries != fixture.changed) {
      state.SkipWithError(built ? "the package does not hold exactly the changed files"
                                : error.c_str());
      break;
    }
    RemoveTree(request.outDir);
  }
}

// Lists `folder` and reads every file below it in chunks.
bool ReadTree(const std::wstring& folder, std::vector<char>& chunk) {
  WIN32_FIND_DATAW found;
  const FindHandle search(FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
  for (bool more = search.IsValid(); more; more = FindNextFileW(search.Get(), &found) != FALSE) {
    const std::wstring name = found.cFileName, path = folder + L"\\" + name;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      if (!ReadTree(path, chunk)) return false;
      continue;
    }
    const KernelHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    DWORD read = 0;
    do {
      if (!file.IsValid() || !ReadFile(file.Get(), chunk.data(), kChunkBytes, &read, nullptr))
        return false;
    } while (read > 0);
  }
  return search.IsValid();
}

void MakeBaseline(benchmark::State& state, int count, DWORD bytes) {
  MakeFixture fixture;
  if (!PrepareTrees(state, fixture, count, bytes)) return;
  std::vector<char> chunk(kChunkBytes);
  for (auto _ : state) {
    const Stopwatch watch;
    const bool read = ReadTree(fixture.oldDir, chunk) && ReadTree(fixture.newDir, chunk);
    state.SetIterationTime(watch.Seconds());
    if (!read) {
      state.SkipWithError("reading the trees failed");
      break;
    }
  }
}

}  // namespace

BenchCase RegisterPatchMakeCase(const BenchSizes& sizes) {
  Configure(
      benchmark::RegisterBenchmark("patchmake", MakeCase, sizes.makeFiles, sizes.makeFileBytes),
      sizes, Timing::kManualTime);
  Configure(benchmark::RegisterBenchmark("patchmake_baseline", MakeBaseline, sizes.makeFiles,
                                         sizes.makeFileBytes),
            sizes, Timing::kManualTime);
  return {"patchmake, " + std::to_string(sizes.makeFiles) + " files", "patchmake",
          "patchmake_baseline", 1.5};
}

}  // namespace bench
