// Cuts the power of a mounted ext4 file system, as far as the file system can tell: everything
// not yet in its journal is dropped, and every later call on it fails. Usage: power_cut MOUNTPOINT
#include <fcntl.h>
#include <linux/types.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>

#ifndef EXT4_IOC_SHUTDOWN
#define EXT4_IOC_SHUTDOWN _IOR('X', 125, __u32)
#endif
constexpr __u32 kNoLogFlush = 2;  // EXT4_GOING_FLAGS_NOLOGFLUSH

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: power_cut MOUNTPOINT\n");
    return 2;
  }
  int fd = ::open(argv[1], O_RDONLY | O_DIRECTORY);
  __u32 flags = kNoLogFlush;
  if (fd < 0 || ::ioctl(fd, EXT4_IOC_SHUTDOWN, &flags) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  ::close(fd);
  return 0;
}
