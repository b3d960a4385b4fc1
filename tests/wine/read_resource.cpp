// Writes one resource of a Windows executable to standard output, as the system's loader finds
// it: read_resource.exe PROGRAM TYPE NAME, where TYPE and NAME are numbers or names. Exit status
// 1 when the program has no such resource. read_resource.exe PROGRAM version writes the fields of
// its version resource as Explorer reads them, a "NAME=VALUE" line each.

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

int PrintVersion(const char* program) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeA(program, &ignored);
  std::string info(size, '\0');
  if (!size || !GetFileVersionInfoA(program, 0, size, info.data())) return 1;
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  if (!VerQueryValueA(info.data(), "\\", reinterpret_cast<void**>(&fixed), &length)) return 1;
  std::printf("Fixed=%d.%d.%d.%d\n", HIWORD(fixed->dwFileVersionMS), LOWORD(fixed->dwFileVersionMS),
              HIWORD(fixed->dwFileVersionLS), LOWORD(fixed->dwFileVersionLS));
  for (const char* name : {"ProductName", "ProductVersion", "FileDescription", "FileVersion"}) {
    char* value = nullptr;
    const std::string path = std::string("\\StringFileInfo\\040904b0\\") + name;
    if (VerQueryValueA(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length))
      std::printf("%s=%s\n", name, value);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[2]) == "version") return PrintVersion(argv[1]);
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
