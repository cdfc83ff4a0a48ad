#include "maintenance/copy_update.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string_view>
#include <system_error>

#include "platform/file_replacement.h"

extern char** environ;

namespace tarvel {

namespace {

namespace fs = std::filesystem;

// The copy of a tree refuses trees larger than this many entries.
constexpr uint64_t kMostTreeEntries = 100'000;

bool Exists(const std::string& path) {
  struct stat info {};
  return lstat(path.c_str(), &info) == 0;
}

// Whether a dpkg file list names the program.
bool ListNames(const std::string& listFile, const std::string& program,
               const std::string& resolved) {
  std::ifstream list(listFile);
  std::string line;
  while (std::getline(list, line)) {
    if (line == program || line == resolved)
      return true;
  }
  return false;
}

bool OwnedAndWritable(const std::string& folder) {
  struct stat info {};
  return lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == getuid() &&
         access(folder.c_str(), W_OK | X_OK) == 0;
}

// A member name made relative ("./a/b" and "a//b/" are "a/b"); empty when it is refused:
// absolute, or with a ".." component, or naming nothing.
std::string SafeRelative(std::string_view name) {
  if (name.empty() || name.front() == '/')
    return {};
  std::string result;
  std::size_t at = 0;
  while (at <= name.size()) {
    std::size_t end = name.find('/', at);
    if (end == std::string_view::npos)
      end = name.size();
    const std::string_view part = name.substr(at, end - at);
    at = end + 1;
    if (part.empty() || part == ".")
      continue;
    if (part == "..")
      return {};
    if (!result.empty())
      result.push_back('/');
    result.append(part);
  }
  return result;
}

// Copies the tree `from` to `to` as hard links (folders made, links copied as links);
// a file that cannot be linked is copied.
bool CloneTree(const std::string& from, const std::string& to, std::string* error) {
  std::error_code code;
  fs::create_directory(to, code);
  if (code) {
    *error = "cannot make " + to + ": " + code.message();
    return false;
  }
  uint64_t entries = 0;
  fs::recursive_directory_iterator walk(from, fs::directory_options::none, code);
  for (; !code && walk != fs::recursive_directory_iterator(); walk.increment(code)) {
    if (++entries > kMostTreeEntries) {
      *error = "the tree has too many entries";
      return false;
    }
    const fs::path relative = fs::relative(walk->path(), from, code);
    if (code)
      break;
    const fs::path target = fs::path(to) / relative;
    const fs::file_status status = walk->symlink_status(code);
    if (code)
      break;
    if (fs::is_symlink(status)) {
      fs::copy_symlink(walk->path(), target, code);
    } else if (fs::is_directory(status)) {
      fs::create_directory(target, walk->path(), code);
    } else if (fs::is_regular_file(status)) {
      fs::create_hard_link(walk->path(), target, code);
      if (code)
        fs::copy_file(walk->path(), target, code);
    }
    // Sockets, pipes and devices have no place in a program's tree; they are left out.
    if (code)
      break;
  }
  if (code) {
    *error = "cannot copy the tree: " + code.message();
    return false;
  }
  return true;
}

void RemoveTree(const std::string& path) {
  std::error_code code;
  fs::remove_all(path, code);
}

bool SyncFolder(const std::string& folder) {
  const int descriptor = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (descriptor < 0)
    return false;
  const bool synced = syncfs(descriptor) == 0;
  close(descriptor);
  return synced;
}

}  // namespace

CopyPlace DescribeCopy(const std::string& program, const std::string& dpkgInfoFolder) {
  CopyPlace place;
  std::error_code code;
  const fs::path resolvedPath = fs::canonical(program, code);
  const std::string resolved = code ? program : resolvedPath.string();
  place.program = resolved;

  // A package's file: dpkg's list of it names the program.
  if (DIR* folder = opendir(dpkgInfoFolder.c_str())) {
    bool listed = false;
    while (const dirent* entry = readdir(folder)) {
      const std::string_view name(entry->d_name);
      if (name.substr(0, 6) == "tarvel" && name.size() > 5 &&
          name.substr(name.size() - 5) == ".list" &&
          ListNames(dpkgInfoFolder + "/" + std::string(name), program, resolved)) {
        listed = true;
        break;
      }
    }
    closedir(folder);
    if (listed) {
      place.kind = CopyKind::Packaged;
      return place;
    }
  }
  // The system's own prefix belongs to the package manager whatever put the file there.
  if (resolved.rfind("/usr/", 0) == 0 && resolved.rfind("/usr/local/", 0) != 0) {
    place.kind = CopyKind::Packaged;
    return place;
  }

  const std::string folder = FolderOf(resolved);
  std::string root;
  std::string relative;
  if (Exists(folder + "/" + kPortableMarker)) {
    root = folder;
  } else if (NameOf(folder) == "bin" && Exists(FolderOf(folder) + "/" + kPortableMarker)) {
    root = FolderOf(folder);
    relative = "bin/";
  } else {
    return place;  // not a tree of its own
  }
  // The tree and its parent folder (where the new tree is built) belong to the user.
  if (root == "/" || !OwnedAndWritable(root) || !OwnedAndWritable(FolderOf(root)))
    return place;
  place.kind = CopyKind::Portable;
  place.root = root;
  place.programFolder = relative;
  return place;
}

TreeUpdate::TreeUpdate(CopyPlace place) : place_(std::move(place)) {}

TreeUpdate::~TreeUpdate() {
  if (!stage_.empty())
    RemoveTree(stage_);
}

bool TreeUpdate::Fail(std::string error) {
  error_ = std::move(error);
  return false;
}

bool TreeUpdate::Prepare() {
  if (place_.kind != CopyKind::Portable || place_.root.empty())
    return Fail("not a portable copy");
  std::string pattern = FolderOf(place_.root) + "/." + NameOf(place_.root) + ".update-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr)
    return Fail("cannot make the staging folder: " + std::string(std::strerror(errno)));
  stage_ = pattern;
  std::string error;
  if (!CloneTree(place_.root, NewTree(), &error))
    return Fail(error);
  return true;
}

std::string TreeUpdate::DownloadPath() {
  return stage_ + "/download-" + std::to_string(++downloads_);
}

bool TreeUpdate::Verify(const std::string& path, uint64_t size, const std::string& sha256) {
  const int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (descriptor < 0)
    return false;
  std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  bool good = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
  uint64_t total = 0;
  char buffer[65536];
  while (good) {
    const ssize_t got = read(descriptor, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR)
      continue;
    if (got <= 0) {
      good = got == 0;
      break;
    }
    total += static_cast<uint64_t>(got);
    good = total <= size &&
           EVP_DigestUpdate(context.get(), buffer, static_cast<std::size_t>(got)) == 1;
  }
  close(descriptor);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (!good || total != size || EVP_DigestFinal_ex(context.get(), digest, &length) != 1 ||
      length != 32)
    return false;
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  for (unsigned i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xF]);
  }
  return hex == sha256;
}

bool TreeUpdate::MakeParents(const std::string& relative) {
  std::string folder = NewTree();
  std::size_t at = 0;
  while (true) {
    const std::size_t slash = relative.find('/', at);
    if (slash == std::string::npos)
      return true;
    folder += "/" + relative.substr(at, slash - at);
    at = slash + 1;
    struct stat info {};
    if (lstat(folder.c_str(), &info) == 0) {
      if (!S_ISDIR(info.st_mode))
        return Fail("cannot write through " + folder);
    } else if (mkdir(folder.c_str(), 0755) != 0) {
      return Fail("cannot make " + folder + ": " + std::strerror(errno));
    }
  }
}

bool TreeUpdate::PlaceFile(const std::string& downloaded, const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
    return Fail("not a plain file name: " + name);
  const std::string relative = place_.programFolder + name;
  if (!MakeParents(relative))
    return false;
  const std::string target = NewTree() + "/" + relative;
  struct stat old {};
  mode_t mode = 0644;
  if (lstat(target.c_str(), &old) == 0) {
    if (S_ISDIR(old.st_mode))
      return Fail(relative + " is a folder");
    mode = old.st_mode & 0755;
  }
  // The new file keeps the permissions of the one it replaces (a program stays runnable).
  if (chmod(downloaded.c_str(), mode | 0600) != 0 ||
      rename(downloaded.c_str(), target.c_str()) != 0)
    return Fail("cannot place " + relative + ": " + std::strerror(errno));
  return true;
}

bool TreeUpdate::UnpackArchive(const std::string& archivePath) {
  std::unique_ptr<archive, int (*)(archive*)> reader(archive_read_new(), &archive_read_free);
  if (!reader)
    return Fail("no archive reader");
  archive_read_support_filter_gzip(reader.get());
  archive_read_support_format_tar(reader.get());
  if (archive_read_open_filename(reader.get(), archivePath.c_str(), 65536) != ARCHIVE_OK)
    return Fail("cannot open the archive: " + std::string(archive_error_string(reader.get())));
  uint64_t members = 0;
  uint64_t unpacked = 0;
  archive_entry* entry = nullptr;
  while (true) {
    const int status = archive_read_next_header(reader.get(), &entry);
    if (status == ARCHIVE_EOF)
      break;
    if (status != ARCHIVE_OK)
      return Fail("damaged archive");
    if (++members > kMostMembers)
      return Fail("the archive has too many members");
    const char* rawName = archive_entry_pathname(entry);
    const std::string name = rawName ? rawName : "";
    const std::string relative = SafeRelative(name);
    if (relative.empty()) {
      if (SafeRelative(name + "/x") == "x")
        continue;  // "./", the tree's own folder
      return Fail("refused member " + name);
    }
    if (archive_entry_hardlink(entry) != nullptr || archive_entry_symlink(entry) != nullptr)
      return Fail("refused link " + name);
    const mode_t type = archive_entry_filetype(entry);
    if (type == AE_IFDIR) {
      if (!MakeParents(relative + "/"))
        return false;
      continue;
    }
    if (type != AE_IFREG)
      return Fail("refused member type " + name);
    const la_int64_t size = archive_entry_size(entry);
    if (size < 0 || static_cast<uint64_t>(size) > kLargestUnpacked - unpacked)
      return Fail("the archive unpacks too large");
    unpacked += static_cast<uint64_t>(size);
    if (!MakeParents(relative))
      return false;
    const std::string target = NewTree() + "/" + relative;
    struct stat old {};
    if (lstat(target.c_str(), &old) == 0 && S_ISDIR(old.st_mode))
      return Fail(relative + " is a folder");
    // A new file renamed over the name: a hard link to the running tree's file is dropped,
    // never written through.
    FileReplacement file(target, (archive_entry_perm(entry) & 0755) | 0600);
    if (!file.valid())
      return Fail("cannot write " + relative);
    uint64_t written = 0;
    while (true) {
      const void* block = nullptr;
      size_t length = 0;
      la_int64_t offset = 0;
      const int read = archive_read_data_block(reader.get(), &block, &length, &offset);
      if (read == ARCHIVE_EOF)
        break;
      if (read != ARCHIVE_OK || offset < 0 || static_cast<uint64_t>(offset) != written ||
          length > static_cast<uint64_t>(size) - written)
        return Fail("damaged archive member " + name);
      const char* bytes = static_cast<const char*>(block);
      size_t left = length;
      while (left > 0) {
        const ssize_t put = write(file.descriptor(), bytes, left);
        if (put < 0 && errno == EINTR)
          continue;
        if (put <= 0)
          return Fail("cannot write " + relative);
        bytes += put;
        left -= static_cast<size_t>(put);
      }
      written += length;
    }
    if (written != static_cast<uint64_t>(size))
      return Fail("damaged archive member " + name);
    // FileReplacement makes the file with the mode given, less the umask; the mode asked is
    // set again so that programs stay runnable.
    fchmod(file.descriptor(), (archive_entry_perm(entry) & 0755) | 0600);
    if (!file.Commit())
      return Fail("cannot write " + relative);
  }
  return true;
}

bool TreeUpdate::Swap() {
  if (stage_.empty() || swapped_)
    return Fail("nothing prepared");
  // The new tree must hold a program to restart and stay a portable tree.
  struct stat info {};
  const std::string program = NewTree() + "/" + place_.programFolder + NameOf(place_.program);
  if (stat(program.c_str(), &info) != 0 || !S_ISREG(info.st_mode) || (info.st_mode & S_IXUSR) == 0)
    return Fail("the new tree has no program");
  if (!Exists(NewTree() + "/" + kPortableMarker))
    return Fail("the new tree is not marked portable");
  if (!SyncFolder(stage_))
    return Fail("cannot sync the new tree");
  // One step: the name of the tree names the new tree at once, and the old one takes the
  // staging name. File systems without the exchange get two renames, undone on failure.
  if (renameat2(AT_FDCWD, NewTree().c_str(), AT_FDCWD, place_.root.c_str(), RENAME_EXCHANGE) != 0) {
    if (errno != EINVAL && errno != ENOSYS)
      return Fail("cannot swap the trees: " + std::string(std::strerror(errno)));
    const std::string old = stage_ + "/old";
    if (rename(place_.root.c_str(), old.c_str()) != 0)
      return Fail("cannot move the tree aside: " + std::string(std::strerror(errno)));
    if (rename(NewTree().c_str(), place_.root.c_str()) != 0) {
      const int failure = errno;
      rename(old.c_str(), place_.root.c_str());
      return Fail("cannot move the new tree in: " + std::string(std::strerror(failure)));
    }
  }
  swapped_ = true;
  SyncFolder(FolderOf(place_.root));
  return true;
}

std::string TreeUpdate::ProgramPath() const {
  return place_.root + "/" + place_.programFolder + NameOf(place_.program);
}

bool StartProgram(const std::string& program, const std::vector<std::string>& arguments) {
  std::vector<std::string> storage;
  storage.push_back(program);
  storage.insert(storage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& argument : storage)
    argv.push_back(argument.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  pid_t child = 0;
  const int failed =
      posix_spawn(&child, program.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return failed == 0;
}

}  // namespace tarvel
