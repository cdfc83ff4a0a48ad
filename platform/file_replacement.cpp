#include "platform/file_replacement.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/ascii_bytes.h"

namespace tarvel {

namespace {

constexpr std::string_view kTemporaryMark = ".tmp-";

}  // namespace

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  if (slash == 0)
    return "/";
  return path.substr(0, slash);
}

bool CreateFolders(const std::string& folder) {
  if (folder.empty())
    return false;
  struct stat info {};
  if (::stat(folder.c_str(), &info) == 0)
    return S_ISDIR(info.st_mode);
  const std::string parent = FolderOf(folder);
  if (parent != folder && !CreateFolders(parent))
    return false;
  if (::mkdir(folder.c_str(), 0700) == 0 || errno == EEXIST)
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
  return false;
}

FileReplacement::FileReplacement(std::string path, mode_t mode)
    : path_(std::move(path)), temporary_(path_ + std::string(kTemporaryMark) + "XXXXXX") {
  if (path_.empty())
    return;
  descriptor_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
  if (descriptor_ >= 0 && ::fchmod(descriptor_, mode) != 0) {
    ::close(descriptor_);
    ::unlink(temporary_.c_str());
    descriptor_ = -1;
  }
}

FileReplacement::~FileReplacement() {
  if (descriptor_ >= 0) {
    ::close(descriptor_);
    ::unlink(temporary_.c_str());
  }
}

bool FileReplacement::Commit() {
  if (descriptor_ < 0)
    return false;
  const int descriptor = descriptor_;
  descriptor_ = -1;
  const bool synced = ::fsync(descriptor) == 0;
  const bool closed = ::close(descriptor) == 0;
  if (!synced || !closed || ::rename(temporary_.c_str(), path_.c_str()) != 0) {
    ::unlink(temporary_.c_str());
    return false;
  }
  // The rename itself becomes durable with the folder's entry.
  const int folder = ::open(FolderOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
  return true;
}

bool ReplaceFileContent(const std::string& path, std::string_view content, mode_t mode) {
  FileReplacement replacement(path, mode);
  return replacement.valid() && ascii_bytes::WriteAll(replacement.descriptor(), content) &&
         replacement.Commit();
}

void RemoveStaleReplacements(const std::string& path) {
  DIR* listing = ::opendir(FolderOf(path).c_str());
  if (!listing)
    return;
  const std::string name = NameOf(path);
  while (const struct dirent* entry = ::readdir(listing)) {
    const std::string_view candidate = entry->d_name;
    const std::size_t markEnd = name.size() + kTemporaryMark.size();
    if (candidate.size() != markEnd + 6 || candidate.compare(0, name.size(), name) != 0 ||
        candidate.substr(name.size(), kTemporaryMark.size()) != kTemporaryMark)
      continue;
    bool temporary = true;
    for (const char c : candidate.substr(markEnd)) {
      temporary =
          temporary && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'));
    }
    if (temporary)
      ::unlinkat(::dirfd(listing), entry->d_name, 0);
  }
  ::closedir(listing);
}

}  // namespace tarvel
