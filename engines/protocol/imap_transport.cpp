#include "engines/protocol/imap_transport.h"

#include <dlfcn.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <system_error>

#include "platform/ascii_bytes.h"
#include "platform/version.h"

namespace tarvel {

std::optional<TaggedStatus> ParseTaggedStatus(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
    line.remove_suffix(1);
  const std::size_t tagEnd = line.find(' ');
  if (tagEnd == 0 || tagEnd == std::string_view::npos)
    return std::nullopt;
  const std::string_view tag = line.substr(0, tagEnd);
  if (tag == "*" || tag == "+")
    return std::nullopt;
  const std::string_view rest = line.substr(tagEnd + 1);
  const std::size_t statusEnd = rest.find(' ');
  TaggedStatus tagged{rest.substr(0, statusEnd), std::string_view()};
  if (statusEnd != std::string_view::npos)
    tagged.text = rest.substr(statusEnd + 1);
  for (const std::string_view status : {"OK", "NO", "BAD"}) {
    if (ascii_bytes::EqualsNoCase(tagged.status, status))
      return tagged;
  }
  return std::nullopt;
}

namespace {

void* OpenLibrary(const std::string& path) {
  return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
}

// The program's own folder, from /proc/self/exe; empty when it cannot be read.
std::filesystem::path ProgramFolder() {
  std::error_code error;
  const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : program.parent_path();
}

void* OpenDefaultLibrary() {
  const std::string name(kTransportLibraryName);
  const std::filesystem::path folder = ProgramFolder();
  if (!folder.empty()) {
    // Beside the program, the build tree's lib/, and the installed copy's private folder
    // (which the programs' run path names too, for the plain name below).
    for (const std::filesystem::path& candidate :
         {folder / name, folder.parent_path() / "lib" / name,
          folder.parent_path() / kPrivateLibraryFolder / name}) {
      std::error_code error;
      if (std::filesystem::exists(candidate, error)) {
        if (void* library = OpenLibrary(candidate.string()))
          return library;
      }
    }
  }
  return OpenLibrary(name);
}

struct HandlerCall {
  const ImapTransport::LineHandler* handler;
};

int ForwardLine(const char* line, void* context) {
  const auto* call = static_cast<const HandlerCall*>(context);
  if (line && call && call->handler && *call->handler)
    (*call->handler)(std::string_view(line));
  return 0;
}

}  // namespace

ImapTransport::ImapTransport(uint32_t slot, const std::string& libraryPath) : slot_(slot) {
  library_ = libraryPath.empty() ? OpenDefaultLibrary() : OpenLibrary(libraryPath);
  if (!library_)
    return;
  // Resolved in this order, stopping at the first that is missing.
  init_ = reinterpret_cast<InitFunction>(::dlsym(library_, "Zarquet_IMAP_Init"));
  if (init_)
    deInit_ = reinterpret_cast<DeInitFunction>(::dlsym(library_, "Zarquet_IMAP_DeInit"));
  if (deInit_)
    execute_ = reinterpret_cast<ExecuteFunction>(::dlsym(library_, "Zarquet_IMAP_ExecuteCommand"));
  if (execute_)
    cancel_ = reinterpret_cast<CancelFunction>(::dlsym(library_, "Zarquet_Cancel"));
  selectSession_ =
      reinterpret_cast<SelectSessionFunction>(::dlsym(library_, "Zarquet_SelectSession"));
  lastError_ = reinterpret_cast<LastErrorFunction>(::dlsym(library_, "Zarquet_GetLastError"));
  setCaFile_ =
      reinterpret_cast<SetCaFileFunction>(::dlsym(library_, "Zarquet_SetCertificateAuthorityFile"));
  close_ = reinterpret_cast<CloseFunction>(::dlsym(library_, "Zarquet_IMAP_Close"));
}

ImapTransport::~ImapTransport() {
  if (library_)
    ::dlclose(library_);
}

bool ImapTransport::isComplete() const {
  return init_ && deInit_ && execute_ && cancel_;
}

void ImapTransport::SelectSession() {
  if (selectSession_)
    selectSession_(slot_);
}

bool ImapTransport::Init(const std::string& user, const std::string& password,
                         const std::string& accessToken) {
  if (!init_)
    return false;
  SelectSession();
  return init_(user.c_str(), password.c_str(), accessToken.c_str()) != 0;
}

void ImapTransport::DeInit() {
  if (!deInit_)
    return;
  SelectSession();
  deInit_();
}

void ImapTransport::Close() {
  if (!close_) {
    DeInit();
    return;
  }
  SelectSession();
  close_();
}

bool ImapTransport::ExecuteCommand(const char* url, const char* command, const LineHandler& onLine,
                                   uint32_t timeoutMs, int32_t& errorCode) {
  if (!execute_)
    return false;
  SelectSession();
  HandlerCall call{&onLine};
  return execute_(url, command, ForwardLine, &call, timeoutMs, &errorCode) != 0;
}

void ImapTransport::Cancel() {
  if (!cancel_)
    return;
  SelectSession();
  cancel_();
}

void ImapTransport::SetCertificateAuthorityFile(const std::string& path) {
  if (setCaFile_)
    setCaFile_(path.c_str());
}

std::string ImapTransport::LastError() {
  if (!lastError_)
    return {};
  SelectSession();
  std::array<char, 512> buffer{};
  if (lastError_(buffer.data(), static_cast<uint32_t>(buffer.size())) == 0)
    return {};
  return std::string(buffer.data());
}

}  // namespace tarvel
