// Holds a file open as another program does (an editor, a viewer): readable by others, but
// neither written, renamed nor deleted while held. Prints "held" once it holds it.
//   hold_open.exe FILE SECONDS
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  std::printf("held\n");
  std::fflush(stdout);
  Sleep(static_cast<DWORD>(std::wcstol(argv[2], nullptr, 10)) * 1000);
  CloseHandle(file);
  return 0;
}
