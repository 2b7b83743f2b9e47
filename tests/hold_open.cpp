// hold_open - holds a file open for reading, as a program reading a table
// does, without sharing its deletion: for the edit tests under Wine.
//   hold_open PATH MILLISECONDS     prints "held" once it has the file
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char **argv) {
  if (argc != 3) return 2;
  HANDLE file = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 1;
  printf("held\n");
  fflush(stdout);
  Sleep((DWORD)atoi(argv[2]));
  CloseHandle(file);
  return 0;
}
