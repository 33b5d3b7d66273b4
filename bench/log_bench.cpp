// Cases 1 and 2: a log line with the log on against one raw WriteFile of the same bytes, and
// a call site with the log off against the same loop without it.
#include <algorithm>
#include <iterator>
#include <string>

#include "bench/bench_cases.h"
#include "log/log_internal.h"
#include "platform/handle.h"

namespace bench {

namespace {

constexpr wchar_t kCopyLineFormat[] = L"[%s]Copy file successful, from[%s] to[%s].";
const std::wstring kSourcePath =
    L"C:\\Users\\Public\\Downloads\\Package\\patchfile\\bin\\render\\core.dll";
const std::wstring kDestPath = L"C:\\Program Files (x86)\\Product\\bin\\render\\core.dll";

// What the logger writes for the copy line: the timestamp is fixed width, so every line has
// this length whatever the time.
std::string FinishedCopyLine() {
  std::string line = "01-01 00:00:00:000: [Common]Copy file successful, from[";
  for (wchar_t c : kSourcePath) line.push_back(static_cast<char>(c));
  line += "] to[";
  for (wchar_t c : kDestPath) line.push_back(static_cast<char>(c));
  line += "].\n";
  return line;
}

void LogLineOn(benchmark::State& state) {
  ScratchFolder folder(L"log");
  const std::wstring path = folder.Join(L"line.log");
  LogEnabled = 1;
  LOG_CONSOLE::InitLog(path.c_str());
  if (CurrentLogState().LogFile == nullptr) {
    LOG_CONSOLE::CloseLog();
    state.SkipWithError("the log did not open");
    return;
  }
  for (auto _ : state) LOG_PROGRESS(kCopyLineFormat, kSourcePath, kDestPath);
  LOG_CONSOLE::CloseLog();

  const uint64_t expected = static_cast<uint64_t>(state.iterations()) * FinishedCopyLine().size();
  if (FileSizeOf(path) != expected) state.SkipWithError("the log does not hold one line per call");
}

void LogLineBaseline(benchmark::State& state) {
  ScratchFolder folder(L"raw");
  const std::wstring path = folder.Join(L"line.log");
  // Opened as the logger opens its file.
  const KernelHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) {
    state.SkipWithError(LastErrorText("opening", path).c_str());
    return;
  }
  SetFilePointer(file.Get(), 0, nullptr, FILE_END);
  const std::string line = FinishedCopyLine();
  for (auto _ : state) {
    DWORD written = 0;
    WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  }
}

// A loop of nothing would measure only the loop: each body joins a path, the work that sits
// beside the call sites of the patch loop. It joins on the stack, since a heap allocation per
// iteration would bury the one byte test under the allocator's own spread.
constexpr wchar_t kInstallBase[] = L"C:\\Program Files (x86)\\Product\\";
constexpr wchar_t kRelativeDest[] = L"bin\\render\\core.dll";

struct JoinedPath {
  wchar_t text[sizeof(kInstallBase) / sizeof(wchar_t) + sizeof(kRelativeDest) / sizeof(wchar_t)];
};

void JoinPath(JoinedPath& path) {
  constexpr size_t kBaseLength = sizeof(kInstallBase) / sizeof(wchar_t) - 1;
  std::copy(std::begin(kInstallBase), std::end(kInstallBase) - 1, path.text);
  std::copy(std::begin(kRelativeDest), std::end(kRelativeDest), path.text + kBaseLength);
}

void LogOffCallSite(benchmark::State& state) {
  LogEnabled = 0;
  for (auto _ : state) {
    JoinedPath path;
    JoinPath(path);
    benchmark::DoNotOptimize(path.text);
    LOG_PROGRESS(L"[%s]Patch file[%s] is not exist.", path.text);
    // As after any real call: the flag is read again at the next call site.
    benchmark::ClobberMemory();
  }
  if (CurrentLogState().LogFile != nullptr)
    state.SkipWithError("a log was opened with the log off");
}

void LogOffBaseline(benchmark::State& state) {
  for (auto _ : state) {
    JoinedPath path;
    JoinPath(path);
    benchmark::DoNotOptimize(path.text);
    benchmark::ClobberMemory();
  }
}

}  // namespace

BenchCase RegisterLogLineCase(const BenchSizes& sizes) {
  Configure(benchmark::RegisterBenchmark("log_line", LogLineOn), sizes);
  Configure(benchmark::RegisterBenchmark("log_line_baseline", LogLineBaseline), sizes);
  return {"WriteLog, 2 paths, log on", "log_line", "log_line_baseline", 1.5};
}

BenchCase RegisterLogOffCase(const BenchSizes& sizes) {
  Configure(benchmark::RegisterBenchmark("log_off", LogOffCallSite), sizes);
  Configure(benchmark::RegisterBenchmark("log_off_baseline", LogOffBaseline), sizes);
  return {"LOG_PROGRESS, log off", "log_off", "log_off_baseline", 1.05};
}

}  // namespace bench
