#pragma once

#include <string>
#include <string_view>

namespace tarvel {

// A library of another maker's component (a MAPI provider, the Notes proxy), opened at run
// time with dlopen and closed when the object goes. Entry points are looked up by name.
class RuntimeLibrary {
 public:
  RuntimeLibrary() = default;
  ~RuntimeLibrary();
  RuntimeLibrary(const RuntimeLibrary&) = delete;
  RuntimeLibrary& operator=(const RuntimeLibrary&) = delete;

  // Opens `location`: a path (it holds a "/") as it stands; a plain name beside the program,
  // in ../lib and the installed copy's private folder relative to it, then on the default
  // search path. False when none could be opened; `failure` then says why.
  bool Open(const std::string& location);
  void Close();
  bool isOpen() const { return handle_ != nullptr; }

  // The address of an exported symbol, null when it is missing.
  void* Resolve(const char* symbol) const;

  // The loader's reason for the last failed Open, one line.
  const std::string& failure() const { return failure_; }

 private:
  void* handle_ = nullptr;
  std::string failure_;
};

// The library location to load: the environment variable's value when it is set and not
// empty, else `defaultName`.
std::string RuntimeLibraryLocation(const char* environmentVariable, std::string_view defaultName);

}  // namespace tarvel
