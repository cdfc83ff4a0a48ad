// A stand-in for the Logitech keyboard display library: every call is appended as one line
// to the file named by FAKE_LCD_LOG. FAKE_LCD_INIT=0 makes LogiLcdInit fail,
// FAKE_LCD_CONNECTED=0 reports no display. Built without LogiLcdUpdate when
// FAKE_LCD_WITHOUT_UPDATE is defined.
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

std::string Utf8(const wchar_t* text) {
  std::string out;
  for (; text && *text; ++text) {
    const auto c = static_cast<char32_t>(*text);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (c >> 6)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (c >> 12)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (c >> 18)));
      out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

void Log(const std::string& line) {
  const char* path = std::getenv("FAKE_LCD_LOG");
  if (!path)
    return;
  if (FILE* file = std::fopen(path, "a")) {
    std::fprintf(file, "%s\n", line.c_str());
    std::fclose(file);
  }
}

bool Setting(const char* name) {
  const char* value = std::getenv(name);
  return !value || std::string(value) != "0";
}

std::string Colour(int r, int g, int b) {
  return " " + std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) bool LogiLcdInit(const wchar_t* name, int type) {
  Log("Init " + Utf8(name) + " " + std::to_string(type));
  return Setting("FAKE_LCD_INIT");
}

__attribute__((visibility("default"))) bool LogiLcdIsConnected(int type) {
  Log("IsConnected " + std::to_string(type));
  return Setting("FAKE_LCD_CONNECTED");
}

#ifndef FAKE_LCD_WITHOUT_UPDATE
__attribute__((visibility("default"))) void LogiLcdUpdate() {
  Log("Update");
}
#endif

__attribute__((visibility("default"))) void LogiLcdShutdown() {
  Log("Shutdown");
}

__attribute__((visibility("default"))) bool LogiLcdMonoSetText(int line, const wchar_t* text) {
  Log("MonoSetText " + std::to_string(line) + " " + Utf8(text));
  return true;
}

__attribute__((visibility("default"))) bool LogiLcdColorSetTitle(const wchar_t* text, int r, int g,
                                                                 int b) {
  Log("ColorSetTitle " + Utf8(text) + Colour(r, g, b));
  return true;
}

__attribute__((visibility("default"))) bool LogiLcdColorSetText(int line, const wchar_t* text,
                                                                int r, int g, int b) {
  Log("ColorSetText " + std::to_string(line) + " " + Utf8(text) + Colour(r, g, b));
  return true;
}
}
