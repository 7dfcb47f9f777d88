// Runs a command line as an unattended host runs: no standard input, output or error, no
// window. Waits for it and exits with its exit code.
//   detached_run.exe COMMAND LINE...
#include <windows.h>

#include <string>

int wmain(int argc, wchar_t** argv) {
  std::wstring command;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) command += L' ';
    command += L'"';
    command += argv[i];
    command += L'"';
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;  // all three handles null
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return 127;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}
