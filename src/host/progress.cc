#include "llupdate/progress.h"

namespace llupdate {
namespace {
thread_local ProgressObserver* observer = nullptr;
}

void SetThreadProgressObserver(ProgressObserver* o) { observer = o; }
ProgressObserver* ThreadProgressObserver() { return observer; }

}  // namespace llupdate
