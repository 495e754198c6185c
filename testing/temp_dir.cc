#include "testing/temp_dir.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace lpx {

namespace {

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) {
  // A directory the test made unwritable must still be emptied.
  chmod(path, 0700);
  return remove(path);
}

}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/lpx-test-XXXXXX";
  if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempDir::~TempDir() {
  if (path_.rfind("/tmp/lpx-test-", 0) != 0) return;
  nftw(path_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::Local(std::string_view name) const {
  std::string out = path_;
  if (!name.empty()) {
    out += '/';
    out += name;
  }
  return out;
}

std::string TempDir::Client(std::string_view name) const {
  std::string out = Local(name).substr(1);
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

bool TempDir::Write(std::string_view name, std::string_view content) const {
  FILE* f = fopen(Local(name).c_str(), "wb");
  if (f == nullptr) return false;
  bool ok = fwrite(content.data(), 1, content.size(), f) == content.size();
  return fclose(f) == 0 && ok;
}

std::string TempDir::Read(std::string_view name) const {
  std::string out;
  FILE* f = fopen(Local(name).c_str(), "rb");
  if (f == nullptr) return out;
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, f)) > 0) out.append(buffer, n);
  fclose(f);
  return out;
}

bool TempDir::Exists(std::string_view name) const {
  struct stat st;
  return lstat(Local(name).c_str(), &st) == 0;
}

bool TempDir::MakeDir(std::string_view name) const { return mkdir(Local(name).c_str(), 0700) == 0; }

}  // namespace lpx
