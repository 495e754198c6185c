// A temporary directory of a test's own under /tmp, removed with everything
// in it when the object goes. Client paths that tests send must point
// inside it.
#pragma once

#include <string>
#include <string_view>

namespace lpx {

class TempDir {
 public:
  TempDir();   // mkdtemp("/tmp/lpx-test-XXXXXX"); path() is empty on failure
  ~TempDir();  // removes the tree (never follows symbolic links out of it)
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The local path of `name` inside the directory.
  std::string Local(std::string_view name) const;
  // The same path as the client writes it: backslashes, no leading "/".
  std::string Client(std::string_view name) const;

  bool Write(std::string_view name, std::string_view content) const;
  // The file's content; empty when it cannot be read.
  std::string Read(std::string_view name) const;
  bool Exists(std::string_view name) const;
  bool MakeDir(std::string_view name) const;

 private:
  std::string path_;
};

}  // namespace lpx
