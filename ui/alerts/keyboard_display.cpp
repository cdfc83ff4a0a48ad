#include "ui/alerts/keyboard_display.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdint>
#include <string_view>

#include "resources/string_table.h"

namespace tarvel {

namespace {

// Monochrome and colour displays.
constexpr int kDisplayTypeBoth = 3;
constexpr int kWhite = 255;

using InitFunction = bool (*)(const wchar_t*, int);
using IsConnectedFunction = bool (*)(int);
using UpdateFunction = void (*)();
using ShutdownFunction = void (*)();
using MonoSetTextFunction = bool (*)(int, const wchar_t*);
using ColorSetTitleFunction = bool (*)(const wchar_t*, int, int, int);
using ColorSetTextFunction = bool (*)(int, const wchar_t*, int, int, int);

std::wstring Wide(std::u16string_view text) {
  // UTF-16 to the platform's wide characters; unpaired surrogates become U+FFFD.
  std::wstring wide;
  wide.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      wide.push_back(
          static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00)));
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      wide.push_back(static_cast<wchar_t>(0xFFFD));
    } else {
      wide.push_back(static_cast<wchar_t>(unit));
    }
  }
  return wide;
}

template <typename Function>
Function Resolve(void* library, const char* name) {
  return reinterpret_cast<Function>(::dlsym(library, name));
}

}  // namespace

struct KeyboardDisplay::Functions {
  InitFunction init = nullptr;
  IsConnectedFunction isConnected = nullptr;
  UpdateFunction update = nullptr;
  ShutdownFunction shutdown = nullptr;
  MonoSetTextFunction monoSetText = nullptr;
  ColorSetTitleFunction colorSetTitle = nullptr;
  ColorSetTextFunction colorSetText = nullptr;
};

KeyboardDisplay::KeyboardDisplay(std::vector<std::string> libraryCandidates,
                                 DisplayClearTimer& timer)
    : libraryCandidates_(std::move(libraryCandidates)), timer_(timer) {}

KeyboardDisplay::~KeyboardDisplay() {
  const std::lock_guard lock(mutex_);
  ShutDown();
  if (library_)
    ::dlclose(library_);
}

bool KeyboardDisplay::enabled() const {
  const std::lock_guard lock(mutex_);
  return enabled_;
}

bool KeyboardDisplay::Load() {
  if (functions_)
    return true;
  for (const std::string& candidate : libraryCandidates_) {
    library_ = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (library_)
      break;
  }
  if (!library_)
    return false;
  auto functions = std::make_unique<Functions>();
  functions->init = Resolve<InitFunction>(library_, "LogiLcdInit");
  functions->isConnected = Resolve<IsConnectedFunction>(library_, "LogiLcdIsConnected");
  functions->update = Resolve<UpdateFunction>(library_, "LogiLcdUpdate");
  functions->shutdown = Resolve<ShutdownFunction>(library_, "LogiLcdShutdown");
  functions->monoSetText = Resolve<MonoSetTextFunction>(library_, "LogiLcdMonoSetText");
  functions->colorSetTitle = Resolve<ColorSetTitleFunction>(library_, "LogiLcdColorSetTitle");
  functions->colorSetText = Resolve<ColorSetTextFunction>(library_, "LogiLcdColorSetText");
  if (!functions->init || !functions->isConnected || !functions->update || !functions->shutdown ||
      !functions->monoSetText || !functions->colorSetTitle || !functions->colorSetText) {
    return false;
  }
  functions_ = std::move(functions);
  return true;
}

void KeyboardDisplay::ShutDown() {
  if (functions_ && initialised_)
    functions_->shutdown();
  initialised_ = false;
}

void KeyboardDisplay::Disable() {
  enabled_ = false;
  ShutDown();
}

void KeyboardDisplay::Show(const Text& text, uint32_t seconds) {
  const std::lock_guard lock(mutex_);
  if (!enabled_)
    return;
  if (text.isEmpty()) {
    timer_.Stop();
    ShutDown();
    return;
  }
  if (!Load()) {
    Disable();
    return;
  }
  const std::wstring title = Wide(kProgramTitle);
  if (!initialised_) {
    if (!functions_->init(title.c_str(), kDisplayTypeBoth)) {
      Disable();
      return;
    }
    initialised_ = true;
  }
  if (!functions_->isConnected(kDisplayTypeBoth)) {
    Disable();
    return;
  }
  functions_->colorSetTitle(title.c_str(), kWhite, kWhite, kWhite);
  int line = 0;
  Text::Position start = 0;
  while (start <= text.length()) {
    Text::Position end = text.FindChar(u'\r', start);
    if (end < 0)
      end = text.length();
    Text piece = text.Mid(start, end - start);
    if (line == 0) {
      // The first line shows only the count text.
      const Text::Position dash = piece.Find(u" - ");
      if (dash >= 0)
        piece.Truncate(dash);
    }
    const std::wstring wide = Wide(piece.view());
    functions_->monoSetText(line, wide.c_str());
    functions_->colorSetText(line, wide.c_str(), kWhite, kWhite, kWhite);
    ++line;
    start = end + 1;
  }
  functions_->update();
  timer_.Start(static_cast<uint32_t>(std::min<uint64_t>(uint64_t{seconds} * 1000, UINT32_MAX)));
}

}  // namespace tarvel
