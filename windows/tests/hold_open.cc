// Holds a file open as another program does (an editor, a viewer): readable by others, but
// neither written, renamed nor deleted while held. With "lock", holds the lock of a database
// instead, as a run of the server holds it: the byte range the server locks in its record, on
// the record opened for reading. Prints "held" once it holds it, and lets go after SECONDS, or
// as soon as the file RELEASE exists (a slow machine may need long to start the other side).
//   hold_open.exe FILE SECONDS [open|lock] [RELEASE]
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3 || argc > 5) return 2;
  const bool lock = argc >= 4 && std::wcscmp(argv[3], L"lock") == 0;
  const wchar_t* release = argc == 5 ? argv[4] : nullptr;
  HANDLE file =
      CreateFileW(argv[1], GENERIC_READ,
                  lock ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : FILE_SHARE_READ,
                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  if (lock) {
    OVERLAPPED at = {};
    at.Offset = 0x7FFFFFF0;  // the server's lock range
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
      return 3;
    }
  }
  std::printf("held\n");
  std::fflush(stdout);
  for (long tenths = std::wcstol(argv[2], nullptr, 10) * 10; tenths > 0; --tenths) {
    if (release != nullptr && GetFileAttributesW(release) != INVALID_FILE_ATTRIBUTES) break;
    Sleep(100);
  }
  CloseHandle(file);
  return 0;
}
