#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "process/command.h"
#include "process/kill.h"
#include "product/run_record.h"

// The product's programs, as the runner and the deployment tools stop and start them.
inline constexpr wchar_t kMainProgram[] = L"PelliWareden.exe";
inline constexpr wchar_t kDownloader[] = L"VyxDL.exe";

// Stops the main program and the downloader whose executables lie in `installBase` (ending in a
// backslash), each waited for. `stopped` gets what starting the main program again needs: one
// record per session it ran in. The downloader is never started again. True when anything was
// stopped.
bool StopProduct(const std::wstring& installBase, std::vector<StoppedProgram>& stopped);
// The sessions whose main program StopProduct keeps a record of; more are stopped, not restarted.
inline constexpr size_t kMostSessions = 64;

// Starts the main program again, hidden, once per record of `stopped`, as the user who ran it
// and in the installation folder, each with a wait of up to 2 s and one log line. Returns the
// exit codes in order (4294967295: still running after the wait, or not started).
std::vector<DWORD> RestartMainProgram(const std::wstring& installBase,
                                      const std::vector<StoppedProgram>& stopped,
                                      StandardHandles handles = StandardHandles::kInherited);

// "The product is never left stopped": stops the product on construction (StopProduct) and
// starts the main program again when it goes out of scope, also when a step throws, unless
// Restart ran. A throw from the stop itself restarts what it had stopped before it goes on.
class ProductStop {
 public:
  explicit ProductStop(std::wstring installBase,
                       StandardHandles handles = StandardHandles::kInherited);
  ~ProductStop();
  ProductStop(const ProductStop&) = delete;
  ProductStop& operator=(const ProductStop&) = delete;

  // True when anything was stopped.
  bool StoppedAny() const { return stoppedAny_; }
  // The main programs to start again, for the run's record.
  std::vector<RecordedProgram> Stopped() const;
  // RestartMainProgram, once; later calls return nothing.
  std::vector<DWORD> Restart();

 private:
  std::wstring installBase_;
  StandardHandles handles_;
  std::vector<StoppedProgram> stopped_;
  bool stoppedAny_ = false;
  bool restarted_ = false;
};

// The main programs that a run cut off while the product was stopped left stopped, as its
// record names them, read before anything of this run is written.
struct LeftStopped {
  std::string packageId;
  std::wstring installDir;
  std::vector<RecordedProgram> programs;
};
std::vector<LeftStopped> FindLeftStopped();

// Starts each program of `left` that is not running (in its session, from its folder) again,
// as its user where the session's token can be had, with a line before the restart's own; then
// the record no longer names them. The number started.
size_t RestartLeftStopped(const std::vector<LeftStopped>& left,
                          StandardHandles handles = StandardHandles::kInherited);
