#pragma once
// An X display for the tests that need one (the window, Wine's windows), the shell, and
// screenshots read back as pixels.

#include <stdlib.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "tests/common/child_process.h"

namespace kova::test {

// Runs a command through the shell and returns its standard output; the exit status in `status`.
std::string Shell(const std::string& command, int* status = nullptr);

struct TShot {
  int Width = 0, Height = 0;
  std::vector<unsigned char> Rgb;
  struct TPixel {
    int R, G, B;
    bool operator==(const TPixel&) const = default;
  };
  TPixel At(int x, int y) const {
    const std::size_t i = (static_cast<std::size_t>(y) * Width + x) * 3;
    return {Rgb[i], Rgb[i + 1], Rgb[i + 2]};
  }
};
// The top-left corner on the screen of the X window `id`.
void WindowPosition(const std::string& id, int& x, int& y);

// The whole screen, through ImageMagick's import.
TShot Screenshot();

class TXvfb {
 public:
  TXvfb();
  ~TXvfb();
  std::string Display() const { return display_; }

 private:
  std::unique_ptr<TChild> server_;
  std::string display_;
};

inline std::string Shell(const std::string& command, int* status) {
  std::string output;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) throw std::runtime_error("cannot run " + command);
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    output.append(buffer, n);
  const int rc = ::pclose(pipe);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return output;
}

// Why the Windows programs cannot be run under Wine on this machine, or empty when they can: a
// kernel without 32-bit support (some virtual machines) starts no 32-bit program, Wine's loader
// for the 32-bit build included.
inline const std::string& WineCannotRun() {
  static const std::string why = [] {
    int status = 0;
    Shell("/usr/lib/wine/wine --version >/dev/null 2>&1", &status);
    return status == 126 ? std::string(
                               "this machine's kernel cannot start 32-bit programs, so "
                               "Wine cannot run the 32-bit Windows build here")
                         : std::string();
  }();
  return why;
}

inline TShot Screenshot() {
  const std::string ppm = Shell("import -silent -window root -depth 8 ppm:- 2>/dev/null");
  TShot shot;
  std::istringstream in(ppm);
  std::string magic;
  int max = 0;
  in >> magic >> shot.Width >> shot.Height >> max;
  in.get();
  if (magic != "P6" || max != 255) throw std::runtime_error("unexpected screenshot format");
  shot.Rgb.assign(ppm.begin() + static_cast<long>(in.tellg()), ppm.end());
  if (shot.Rgb.size() < static_cast<std::size_t>(shot.Width) * shot.Height * 3)
    throw std::runtime_error("short screenshot");
  return shot;
}

inline TXvfb::TXvfb() {
  // Xvfb picks a free display itself and writes its number on the descriptor given.
  server_ = std::make_unique<TChild>(
      "/usr/bin/Xvfb", std::vector<std::string>{"-displayfd", "1", "-screen", "0", "1024x768x24",
                                                "-nolisten", "tcp", "-noreset"});
  if (!server_->WaitForOutput("\n", 20)) throw std::runtime_error("Xvfb did not start");
  std::string number = server_->Output();
  number.erase(number.find('\n'));
  display_ = ":" + number;
  ::setenv("DISPLAY", display_.c_str(), 1);
}

inline TXvfb::~TXvfb() {
  server_->Stop(10);
}

inline void WindowPosition(const std::string& id, int& x, int& y) {
  std::istringstream in(Shell("xdotool getwindowgeometry --shell " + id));
  x = y = -1;
  for (std::string l; std::getline(in, l);) {
    if (l.rfind("X=", 0) == 0) x = std::stoi(l.substr(2));
    if (l.rfind("Y=", 0) == 0) y = std::stoi(l.substr(2));
  }
}

}  // namespace kova::test
