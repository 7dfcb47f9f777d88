// Preloaded into a run, cuts the power of the ext4 file system mounted at LLUPDATE_CUT_MOUNT at
// one chosen point of the batch's flushes (LLUPDATE_CUT_AT):
//   "flush:N"   right after the Nth flush of the new files of a batch (before their renames),
//   "folder:N"  right before the Nth flush of a form folder (after the renames).
// Everything not yet in the file system's journal is dropped then, and every later call fails.
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/types.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#ifndef EXT4_IOC_SHUTDOWN
#define EXT4_IOC_SHUTDOWN _IOR('X', 125, __u32)
#endif

namespace {

int count = 0;

bool Chosen(const char* kind) {
  const char* at = std::getenv("LLUPDATE_CUT_AT");
  if (at == nullptr || std::strncmp(at, kind, std::strlen(kind)) != 0) return false;
  return ++count == std::atoi(at + std::strlen(kind) + 1);
}

void Cut() {
  const char* mount = std::getenv("LLUPDATE_CUT_MOUNT");
  int fd = mount != nullptr ? ::open(mount, O_RDONLY | O_DIRECTORY) : -1;
  __u32 flags = 2;  // EXT4_GOING_FLAGS_NOLOGFLUSH
  if (fd >= 0) (void)::ioctl(fd, EXT4_IOC_SHUTDOWN, &flags);
  if (fd >= 0) ::close(fd);
}

template <class F>
F Next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int syncfs(int fd) {
  int result = Next<int (*)(int)>("syncfs")(fd);
  if (Chosen("flush")) Cut();
  return result;
}

extern "C" int fsync(int fd) {
  char link[64], target[4096];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = ::readlink(link, target, sizeof target - 1);
  std::string path(target, n > 0 ? static_cast<size_t>(n) : 0);
  if (path.size() >= 11 && path.compare(path.size() - 11, 11, "/BerichteLL") == 0 &&
      Chosen("folder")) {
    Cut();
  }
  return Next<int (*)(int)>("fsync")(fd);
}
