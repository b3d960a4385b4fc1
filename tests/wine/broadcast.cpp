// Broadcasts a registered window message to every top-level window, as another program of the
// player's does to ask the launcher to close or come forward: broadcast.exe NAME.

#include <windows.h>

#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: broadcast NAME\n");
    return 2;
  }
  const UINT message = RegisterWindowMessageA(argv[1]);
  return message != 0 && PostMessageA(HWND_BROADCAST, message, 0, 0) ? 0 : 1;
}
