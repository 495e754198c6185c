#include "client/tree.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "client/batch.h"
#include "client/exit_status.h"
#include "client/localtext.h"
#include "client/options.h"
#include "client/transfer.h"
#include "convert/fattime.h"
#include "link/port.h"

namespace lpx {

TreeStep ChoosePutStep(bool resume, const ListingEntry* remote, uint64_t size, uint32_t fatTime) {
  // A broken upload leaves the server's copy shorter, with the file's time.
  if (!resume || remote == nullptr || (remote->attributes & kAttrDirectory) || !remote->hasTime ||
      remote->fatTime != fatTime) {
    return TreeStep::kSend;
  }
  if (remote->size == size) return TreeStep::kSkip;
  return remote->size < size ? TreeStep::kContinue : TreeStep::kSend;
}

TreeStep ChooseGetStep(bool resume, const ListingEntry& remote, int64_t localSize,
                       uint32_t localFatTime, bool partial) {
  if (!resume) return TreeStep::kSend;
  if (localSize >= 0 && static_cast<uint64_t>(localSize) == remote.size && remote.hasTime &&
      localFatTime == remote.fatTime) {
    return TreeStep::kSkip;
  }
  return partial ? TreeStep::kContinue : TreeStep::kSend;
}

namespace {

constexpr size_t kPathSize = 1024;

// One remote directory's listing, by name, with how often each name occurs
// (twice when the server maps two of its names to one the cable carries).
struct DirListing {
  std::vector<ListingEntry> entries;
  std::map<std::string, int> counts;

  void Index() {
    std::sort(entries.begin(), entries.end(),
              [](const ListingEntry& a, const ListingEntry& b) { return a.name < b.name; });
    for (const ListingEntry& e : entries) ++counts[e.name];
  }

  // The one entry called `name`, or null.
  const ListingEntry* Find(const std::string& name) const {
    const auto count = counts.find(name);
    if (count == counts.end() || count->second != 1) return nullptr;
    for (const ListingEntry& e : entries) {
      if (e.name == name) return &e;
    }
    return nullptr;
  }
};

// The directory's own record and its parent's, never a child.
bool IsDots(const std::string& name) { return name == "." || name == ".."; }

// The client bytes of a local name that travels the cable both ways unchanged.
bool CarriedName(const char* local, std::string* client) {
  char bytes[kPathSize], back[kPathSize];
  if (!RemotePathToClient(local, bytes, sizeof bytes) ||
      !ListedNameToLocal(bytes, back, sizeof back) || strcmp(back, local) != 0) {
    return false;
  }
  *client = bytes;
  return true;
}

// The names in a local directory but "." and "..", sorted.
bool ReadLocalDir(const std::string& path, std::vector<std::string>* names) {
  DIR* dir = opendir(path.c_str());
  if (dir == nullptr) return false;
  while (const dirent* entry = readdir(dir)) {
    if (!IsDots(entry->d_name)) names->push_back(entry->d_name);
  }
  closedir(dir);
  std::sort(names->begin(), names->end());
  return true;
}

// The name a local tree takes at the far end: its last component, the
// real directory's for "." and "..".
std::string LocalTreeName(const std::string& path) {
  std::string name = PathBaseName(WithoutTrailingSeparators(path).c_str());
  if (!name.empty() && !IsDots(name)) return name;
  char real[PATH_MAX];
  return realpath(path.c_str(), real) != nullptr ? PathBaseName(real) : "";
}

// What both directions share: the tally and how a file or directory that
// cannot be copied is counted.
struct TreeCopy {
  BatchTally tally;

  // Reports `what` and counts it as one failed file.
  void Fail(const std::string& what, const char* why) {
    Complain("%s: %s", what.c_str(), why);
    ++tally.files;
    ++tally.failed;
  }

  // Counts a failure that keeps a whole directory from being copied.
  void FailDirectory(int status) {
    ++tally.files;
    tally.Count(status);
  }

  void Complete(const std::string& shown) {
    ++tally.files;
    tally.Count(0);
    if (!options.quiet) printf("complete already: %s\n", shown.c_str());
  }

  // True once Ctrl/C or a failure ended the session.
  bool Stopped() {
    if (keyflag && tally.ended == 0) tally.ended = kExitInterrupted;
    return tally.ended != 0;
  }
};

struct TreePut : TreeCopy {
  // Lists the remote directory `remote` (as typed) into `listing`; one that
  // is missing is made, with `parents` its missing parents first.
  int Prepare(const std::string& remote, bool parents, DirListing* listing) {
    char client[kPathSize];
    if (!RemotePathToClient(remote.c_str(), client, sizeof client)) {
      Complain("%s: the remote path is too long or has a character the far side cannot name",
               remote.c_str());
      return kExitUsage;
    }
    bool missing = false;
    if (int status = ListRemote(client, &listing->entries, &missing)) return status;
    listing->Index();
    if (!missing) return 0;
    const std::string parent(remote.c_str(), PathBaseName(remote.c_str()));
    if (parents && !parent.empty() && WithoutTrailingSeparators(parent) != "/") {
      DirListing above;
      if (int status = Prepare(WithoutTrailingSeparators(parent), true, &above)) return status;
    }
    if (int status = MakeRemoteDirectory(client, remote.c_str())) return status;
    if (!options.quiet) printf("created directory %s\n", remote.c_str());
    return 0;
  }

  // Plans the regular file `local` as `remote`, or counts it complete.
  void Plan(const std::string& local, const struct stat& st, const std::string& remote,
            const ListingEntry* there, BatchPlan* plan) {
    const TreeStep step = ChoosePutStep(options.resume, there, static_cast<uint64_t>(st.st_size),
                                        FATtime(st.st_mtime));
    if (step == TreeStep::kSkip) return Complete(remote);
    ++tally.files;
    plan->files.push_back({local, remote, remote, step == TreeStep::kContinue});
  }

  // Stores the files of the local directory `local` in the remote directory
  // `remote` (as typed), then its subdirectories the same way.
  void Directory(const std::string& local, const std::string& remote) {
    if (Stopped()) return;
    DirListing there;
    if (int status = Prepare(remote, false, &there)) return FailDirectory(status);
    std::vector<std::string> names;
    if (!ReadLocalDir(local, &names)) return Fail(local, strerror(errno));
    BatchPlan plan;
    std::vector<std::string> subdirectories;
    for (const std::string& name : names) {
      const std::string path = local + "/" + name;
      struct stat st {};
      std::string client;
      if (lstat(path.c_str(), &st) != 0) {
        Fail(path, strerror(errno));
      } else if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        Complain("%s: %s; passed over", path.c_str(),
                 S_ISLNK(st.st_mode) ? "a symbolic link, not followed" : "not a regular file");
        ++tally.passedOver;
      } else if (!CarriedName(name.c_str(), &client)) {
        Fail(path, "the name cannot travel the cable unchanged; skipped");
      } else if (S_ISDIR(st.st_mode)) {
        subdirectories.push_back(name);
      } else {
        Plan(path, st, JoinPath(remote, name, '/'), there.Find(client), &plan);
      }
    }
    StoreBatch(plan, &tally);
    for (const std::string& name : subdirectories) {
      Directory(local + "/" + name, JoinPath(remote, name, '/'));
    }
  }
};

struct TreeGet : TreeCopy {
  // Makes the local directory `path`, or finds it there (never through a
  // symbolic link).
  bool LocalDirectory(const std::string& path) {
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return true;
      Fail(path, S_ISLNK(st.st_mode) ? "a symbolic link where a directory goes; skipped"
                                     : "not a directory; skipped");
      return false;
    }
    if (mkdir(path.c_str(), 0777) == 0) return true;
    Fail(path, strerror(errno));
    return false;
  }

  // Fetches the remote file `client` (client form; `shown` in messages)
  // into `local`, or counts it complete.
  void File(const std::string& client, const std::string& shown, const std::string& local,
            const ListingEntry& entry) {
    struct stat st {};
    int64_t size = -1;
    uint32_t fatTime = 0;
    if (lstat(local.c_str(), &st) == 0) {
      if (!S_ISREG(st.st_mode)) return Fail(local, "not a regular file; skipped");
      size = st.st_size;
      fatTime = FATtime(st.st_mtime);
    }
    const bool partial = lstat((local + kPartSuffix).c_str(), &st) == 0 && S_ISREG(st.st_mode);
    const TreeStep step = ChooseGetStep(options.resume, entry, size, fatTime, partial);
    if (step == TreeStep::kSkip) return Complete(shown);
    ++tally.files;
    const bool resume = std::exchange(options.resume, step == TreeStep::kContinue);
    const int status = FetchFile(client.c_str(), shown.c_str(), local.c_str(), &tally.bytes);
    options.resume = resume;
    tally.Count(status);
  }

  // Fetches the entry `e` of the listing of the remote directory
  // `clientDir` (`shownDir` in messages) into the local directory `localDir`.
  void Entry(const DirListing& listing, const ListingEntry& e, const std::string& clientDir,
             const std::string& shownDir, const std::string& localDir) {
    if (Stopped()) return;
    char name[kPathSize];
    // In messages, control bytes of the name (C1 ones too) escaped.
    const std::string shown = shownDir + "/" + ShownText(e.name);
    if (e.name.empty() || IsDots(e.name) || !ListedNameToLocal(e.name, name, sizeof name)) {
      return Fail(shown, "the name cannot travel the cable unchanged; skipped");
    }
    if (listing.counts.at(e.name) > 1) {
      return Fail(shown, "listed more than once (names the cable cannot carry); skipped");
    }
    const std::string client = JoinPath(clientDir, e.name, '\\');
    const std::string local = localDir + "/" + name;
    if (e.attributes & kAttrDirectory) return Directory(client, shown, local);
    File(client, shown, local, e);
  }

  // Fetches the remote directory `client` (`shown` in messages) into the
  // local directory `local`.
  void Directory(const std::string& client, const std::string& shown, const std::string& local) {
    if (Stopped() || !LocalDirectory(local)) return;
    DirListing listing;
    if (int status = ListRemote(client.c_str(), &listing.entries, nullptr)) {
      return FailDirectory(status);
    }
    listing.Index();
    // Files first, then subdirectories, as put -r goes.
    for (const bool directories : {false, true}) {
      for (const ListingEntry& e : listing.entries) {
        const bool directory = (e.attributes & kAttrDirectory) != 0;
        if (directory == directories && !IsDots(e.name)) Entry(listing, e, client, shown, local);
      }
    }
  }

  // Fetches what the remote path `remote` (as typed; '*' and '?' in its
  // last part match files and directories) names into `localDir`.
  void Named(const std::string& remote, const std::string& localDir) {
    char clientPath[kPathSize];
    if (!RemotePathToClient(remote.c_str(), clientPath, sizeof clientPath)) {
      return Fail(remote,
                  "the remote path is too long or has a character the far side cannot name");
    }
    const std::string path = WithoutTrailingSeparators(clientPath);
    const std::string shown = WithoutTrailingSeparators(remote);
    if (path == "/") return Directory("\\", "", localDir);  // the root's contents
    std::string dir, pattern;
    SplitClientPath(path.c_str(), &dir, &pattern);
    if (HasWildcard(dir.c_str())) {
      return Fail(remote, "wildcards work only in the last part of a path; skipped");
    }
    DirListing parent;
    if (int status = ListRemote(dir.empty() ? "\\" : dir.c_str(), &parent.entries, nullptr)) {
      return FailDirectory(status);
    }
    parent.Index();
    std::string shownDir(shown.c_str(), PathBaseName(shown.c_str()));
    if (!shownDir.empty()) shownDir.pop_back();
    bool matched = false;
    for (const ListingEntry& e : parent.entries) {
      const bool match = HasWildcard(pattern.c_str()) ? MatchName(pattern.c_str(), e.name.c_str())
                                                      : e.name == pattern;
      if (!match || IsDots(e.name)) continue;
      matched = true;
      Entry(parent, e, dir, shownDir, localDir);
    }
    if (!matched) Fail(remote, "no such remote file or directory");
  }
};

}  // namespace

int PutTrees(const std::vector<std::string>& locals, const std::string& remoteDir) {
  TreePut put{{{"stored"}}};
  const std::string top = remoteDir.empty() ? "/" : WithoutTrailingSeparators(remoteDir);
  DirListing there;
  if (int status = put.Prepare(top, true, &there)) {
    put.FailDirectory(status);
    return put.tally.Finish();
  }
  BatchPlan plan;  // the files named on the command line
  std::vector<std::string> trees;
  for (const std::string& local : locals) {
    struct stat st {};
    std::string client;
    const std::string name = LocalTreeName(local);
    if (stat(local.c_str(), &st) != 0) {
      put.Fail(local, strerror(errno));
    } else if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
      put.Fail(local, "not a regular file or directory");
    } else if (!CarriedName(name.c_str(), &client)) {
      put.Fail(local, "the name cannot travel the cable unchanged; skipped");
    } else if (S_ISDIR(st.st_mode)) {
      trees.push_back(local);
    } else {
      put.Plan(local, st, JoinPath(top, name, '/'), there.Find(client), &plan);
    }
  }
  StoreBatch(plan, &put.tally);
  for (const std::string& local : trees) {
    put.Directory(WithoutTrailingSeparators(local), JoinPath(top, LocalTreeName(local), '/'));
  }
  return put.tally.Finish();
}

int GetTrees(const std::vector<std::string>& remotes, const std::string& localDir) {
  TreeGet get{{{"fetched"}}};
  const std::string top = localDir.empty() ? "." : WithoutTrailingSeparators(localDir);
  struct stat st {};
  // The target named on the command line may be a symbolic link.
  if (stat(top.c_str(), &st) != 0 && mkdir(top.c_str(), 0777) != 0) {
    get.Fail(top, strerror(errno));
    return get.tally.Finish();
  }
  if (stat(top.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    get.Fail(top, "not a directory (trees go into a directory)");
    return get.tally.Finish();
  }
  for (const std::string& remote : remotes) {
    if (get.Stopped()) break;
    get.Named(remote, top);
  }
  return get.tally.Finish();
}

}  // namespace lpx
