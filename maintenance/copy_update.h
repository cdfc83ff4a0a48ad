#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tarvel {

// How this copy of the program was installed, which decides how a newer version arrives.
enum class CopyKind {
  // Its files belong to the package manager (dpkg lists the program, or it lives in the
  // system's /usr): the program never replaces them; it only tells the user.
  Packaged,
  // A tree of its own that the user owns, marked by kPortableMarker at its top: the update
  // is unpacked beside it and swapped in.
  Portable,
  // Anything else (a copy installed into a shared prefix such as ~/.local or /usr/local, or
  // a tree the user cannot write): replacing it could break other programs, so it is only
  // told too.
  Other,
};

// The file at the top of a portable tree that marks it as the program's own.
inline constexpr const char* kPortableMarker = ".tarvel-portable";

struct CopyPlace {
  CopyKind kind = CopyKind::Other;
  std::string program;        // the running program's file, as resolved
  std::string root;           // Portable: the tree's folder, no trailing "/"
  std::string programFolder;  // Portable: the program's folder relative to the root ("bin/"
                              // or "")
};

// Decides for the program file `program` (an absolute path). `dpkgInfoFolder` is where dpkg
// keeps the file lists of its packages ("/var/lib/dpkg/info"); a list whose package name
// begins with "tarvel" and names the program makes the copy packaged.
CopyPlace DescribeCopy(const std::string& program, const std::string& dpkgInfoFolder);

// The new version of a portable tree, built beside it: a staging folder next to the tree
// (same file system) holds a copy of the tree made of hard links, the verified downloads are
// placed or unpacked into that copy, and Swap exchanges it with the tree in one rename. Files
// are never written in place: a file of the copy is replaced by a new file renamed over its
// name, so the running program's files stay as they were. Until Swap nothing of the tree is
// touched; the staging folder is removed when the object goes.
class TreeUpdate {
 public:
  // Limits of an archive: members, and bytes unpacked in all.
  static constexpr uint64_t kMostMembers = 10'000;
  static constexpr uint64_t kLargestUnpacked = 1ull << 30;

  explicit TreeUpdate(CopyPlace place);
  ~TreeUpdate();
  TreeUpdate(const TreeUpdate&) = delete;
  TreeUpdate& operator=(const TreeUpdate&) = delete;

  // Makes the staging folder and the copy of the tree. False (and why) when it failed.
  bool Prepare();
  // A fresh path inside the staging folder for a download.
  std::string DownloadPath();
  // True when the file has exactly `size` bytes and the SHA-256 `sha256` (lower-case hex).
  static bool Verify(const std::string& path, uint64_t size, const std::string& sha256);
  // Puts a downloaded file into the copy's program folder as `name` (a plain file name).
  bool PlaceFile(const std::string& downloaded, const std::string& name);
  // Unpacks a gzip-compressed tar archive over the copy, members relative to the tree's
  // top. Refuses the whole archive (false) for a member with an absolute path, a ".."
  // component, a link (symbolic or hard) or any type other than file and folder, and beyond
  // the limits above.
  bool UnpackArchive(const std::string& archive);
  // Exchanges the copy with the tree. After it the tree is the new version and the staging
  // folder holds the old one. False when the tree was left as it was.
  bool Swap();
  // The program file in the tree (after Swap: the new one).
  std::string ProgramPath() const;
  const std::string& error() const { return error_; }

 private:
  bool Fail(std::string error);
  std::string NewTree() const { return stage_ + "/tree"; }
  // Creates the folders of `relative` inside the copy, refusing to pass through a link.
  bool MakeParents(const std::string& relative);

  CopyPlace place_;
  std::string stage_;
  std::string error_;
  unsigned downloads_ = 0;
  bool swapped_ = false;
};

// Starts `program` with `arguments` (argv[1...]) detached: its standard streams are
// /dev/null, it inherits none of our descriptors, and it outlives us. False when it could not
// be started.
bool StartProgram(const std::string& program, const std::vector<std::string>& arguments);

}  // namespace tarvel
