// Replaces an RT_RCDATA item of a Windows executable with a file's bytes, as a publisher's
// resource editor does: replace_resource.exe PROGRAM NAME FILE. The item keeps its language.

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

namespace {

BOOL CALLBACK FirstLanguage(HMODULE, LPCSTR, LPCSTR, WORD language, LONG_PTR found) {
  *reinterpret_cast<WORD*>(found) = language;
  return FALSE;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: replace_resource PROGRAM NAME FILE\n");
    return 2;
  }
  std::ifstream in(argv[3], std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in && !in.eof()) return 1;
  WORD language = MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL);
  if (HMODULE module = LoadLibraryExA(argv[1], nullptr, LOAD_LIBRARY_AS_DATAFILE)) {
    EnumResourceLanguagesA(module, MAKEINTRESOURCEA(10), argv[2], FirstLanguage,
                           reinterpret_cast<LONG_PTR>(&language));
    FreeLibrary(module);
  }
  HANDLE update = BeginUpdateResourceA(argv[1], FALSE);
  if (!update) return 1;
  if (!UpdateResourceA(update, MAKEINTRESOURCEA(10), argv[2], language,
                       const_cast<char*>(data.data()), static_cast<DWORD>(data.size()))) {
    EndUpdateResourceA(update, TRUE);
    return 1;
  }
  return EndUpdateResourceA(update, FALSE) ? 0 : 1;
}
