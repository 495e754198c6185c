// A temporary directory of a test's own under /tmp, removed with everything
// in it when the object goes. Client paths that tests send must point
// inside it.
#pragma once

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

namespace lpx {

class TempDir {
 public:
  // mkdtemp("/tmp/lpx-test-XXXXXX"); path() is empty on failure.
  TempDir() {
    char pattern[] = "/tmp/lpx-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
  }
  // Removes the tree; symbolic links in it are removed, never followed.
  ~TempDir() {
    std::error_code error;
    if (path_.rfind("/tmp/lpx-test-", 0) == 0) std::filesystem::remove_all(path_, error);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // The local path of `name` inside the directory.
  std::string Local(std::string_view name) const {
    return name.empty() ? path_ : path_ + '/' + std::string(name);
  }
  // The same path as the client writes it: backslashes, no leading "/".
  std::string Client(std::string_view name) const {
    std::string out = Local(name).substr(1);
    std::replace(out.begin(), out.end(), '/', '\\');
    return out;
  }

  bool Write(std::string_view name, std::string_view content) const {
    return static_cast<bool>(std::ofstream(Local(name), std::ios::binary) << content);
  }
  // The file's content; empty when it cannot be read.
  std::string Read(std::string_view name) const {
    std::ifstream file(Local(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
  }
  bool Exists(std::string_view name) const {
    struct stat status;
    return lstat(Local(name).c_str(), &status) == 0;
  }
  bool MakeDir(std::string_view name) const { return mkdir(Local(name).c_str(), 0700) == 0; }

 private:
  std::string path_;
};

}  // namespace lpx
