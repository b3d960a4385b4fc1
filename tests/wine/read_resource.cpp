// Writes one resource of a Windows executable to standard output, as the system's loader finds
// it: read_resource.exe PROGRAM TYPE NAME, where TYPE and NAME are numbers or names. Exit status
// 1 when the program has no such resource.

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

LPCSTR Id(const char* text) {
  char* end = nullptr;
  const unsigned long number = std::strtoul(text, &end, 10);
  return *end == '\0' ? MAKEINTRESOURCEA(number) : text;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: read_resource PROGRAM TYPE NAME\n");
    return 2;
  }
  HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (!module) return 1;
  HRSRC found = FindResourceA(module, Id(argv[3]), Id(argv[2]));
  HGLOBAL loaded = found ? LoadResource(module, found) : nullptr;
  const void* data = loaded ? LockResource(loaded) : nullptr;
  if (!data) return 1;
  _setmode(_fileno(stdout), _O_BINARY);
  std::fwrite(data, 1, SizeofResource(module, found), stdout);
  return 0;
}
