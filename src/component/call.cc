// The process-wide defaults of every call.
#include "llupdate/call.h"

#include <algorithm>
#include <atomic>

#include "component/writer_scope.h"
#include "llupdate/journal.h"
#include "platform/file_system.h"

namespace llupdate {
namespace {

std::atomic<double> lock_wait_seconds{0};

std::atomic<int> kept_runs{kDefaultKeptRuns};

}  // namespace

void SetDurableWrites(bool on) { platform::SetDurableWrites(on); }
void SetWriterLockWait(double seconds) { lock_wait_seconds.store(std::max(seconds, 0.0)); }
void SetKeptRuns(int runs) { kept_runs.store(std::max(runs, 0)); }
int KeptRuns() { return kept_runs.load(); }

namespace component {

double LockWaitSeconds() { return lock_wait_seconds.load(); }

}  // namespace component
}  // namespace llupdate
