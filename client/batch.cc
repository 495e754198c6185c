#include "client/batch.h"

#include <sys/stat.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "client/exit_status.h"
#include "client/localtext.h"
#include "client/options.h"
#include "client/progress.h"
#include "client/transfer.h"
#include "convert/fattime.h"
#include "link/port.h"
#include "platform/clock.h"

namespace lpx {

namespace {

constexpr size_t kPathSize = 1024;

// A listing and how often each name occurs in it.
struct Listing {
  int status = 0;
  std::vector<ListingEntry> entries;
  std::map<std::string, int> counts;
};

}  // namespace

// After these the session cannot be trusted with another file.
bool EndsSession(int status) {
  return status == kExitNoServer || status == kExitTimeout || status == kExitLink ||
         status == kExitProtocol || status == kExitInterrupted;
}

bool ListedNameToLocal(const std::string& name, char* local, size_t size) {
  for (const char c : name) {
    const auto byte = static_cast<uint8_t>(c);
    if (byte < 0x20 || byte == 0x7F || c == '\\' || c == '/') return false;
  }
  char back[kPathSize];
  return ClientNameToLocal(name.c_str(), local, size) &&
         RemotePathToClient(local, back, sizeof back) && name == back;
}

bool BatchTally::Count(int status) {
  if (status == 0) {
    ++done;
  } else {
    ++failed;
  }
  if (EndsSession(status)) ended = status;
  return ended == 0;
}

int BatchTally::Finish() {
  const double seconds = static_cast<double>(NowMs() - startMs) / 1000.0;
  const int notTried = files - done - failed;
  if (!options.quiet) {
    char rate[32];
    FormatRate(bytes, seconds, rate, sizeof rate);
    printf("%s %d of %d files, %" PRIu64 " bytes in %.2f s (%s, %.1f ms per file), %d failed", verb,
           done, files, bytes, seconds, rate, files > 0 ? seconds * 1000.0 / files : 0.0, failed);
    if (notTried > 0) printf(", %d not tried", notTried);
    if (passedOver > 0) printf(", %d passed over (links, special files)", passedOver);
    printf("\n");
    fflush(stdout);
  }
  if (ended != 0) return ended;
  return failed > 0 || notTried > 0 ? kExitSomeFailed : kExitOk;
}

bool HasWildcard(const char* text) { return strpbrk(text, "*?") != nullptr; }

bool MatchName(const char* pattern, const char* name) {
  if (name[0] == '.' && pattern[0] != '.') return false;
  // On a mismatch after a '*', that star takes one more byte of the name.
  const char* star = nullptr;
  const char* starName = nullptr;
  while (*name != '\0') {
    if (*pattern == '*') {
      star = pattern++;
      starName = name;
    } else if (*pattern != '\0' && (*pattern == '?' || *pattern == *name)) {
      ++pattern;
      ++name;
    } else if (star != nullptr) {
      pattern = star + 1;
      name = ++starName;
    } else {
      return false;
    }
  }
  while (*pattern == '*') ++pattern;
  return *pattern == '\0';
}

int PlanFetches(const std::vector<std::string>& remotes, const std::string& localDir,
                const ListRemoteDir& list, BatchPlan* plan) {
  std::map<std::string, Listing> listings;  // by client directory
  std::set<std::string> targets;
  const auto skip = [plan](const std::string& what, const char* why) {
    Complain("%s: %s", what.c_str(), why);
    ++plan->skipped;
  };
  const auto add = [&](const std::string& from, const std::string& shown, const char* name) {
    std::string to = localDir + "/" + name;
    if (!targets.insert(to).second)
      return skip(shown, "a file of that name is fetched already; skipped");
    plan->files.push_back({from, std::move(to), shown, false});
  };
  for (const std::string& remote : remotes) {
    char clientPath[kPathSize];
    if (!RemotePathToClient(remote.c_str(), clientPath, sizeof clientPath)) {
      skip(remote, "the remote path is too long or has a character the far side cannot name");
      continue;
    }
    std::string dir, pattern;
    SplitClientPath(clientPath, &dir, &pattern);
    if (HasWildcard(dir.c_str())) {
      skip(remote, "wildcards work only in the last part of a path; skipped");
      continue;
    }
    const char* base = PathBaseName(remote.c_str());
    if (!HasWildcard(pattern.c_str())) {
      add(clientPath, remote, base);
      continue;
    }
    Listing& l = listings[dir];
    if (l.counts.empty() && l.status == 0) {
      l.status = list(dir.empty() ? "\\" : dir, &l.entries);
      if (l.status != 0 && l.status != kExitListError) return l.status;
      std::sort(l.entries.begin(), l.entries.end(),
                [](const ListingEntry& a, const ListingEntry& b) { return a.name < b.name; });
      for (const ListingEntry& e : l.entries) ++l.counts[e.name];
      ++l.counts[""];  // listed once, even when empty
    }
    if (l.status != 0) {
      ++plan->skipped;
      continue;
    }
    const std::string shownDir = remote.substr(0, static_cast<size_t>(base - remote.c_str()));
    bool matched = false;
    for (const ListingEntry& e : l.entries) {
      if ((e.attributes & kAttrDirectory) || !MatchName(pattern.c_str(), e.name.c_str())) continue;
      matched = true;
      char local[kPathSize];
      // In messages, control bytes of the name (C1 ones too) escaped.
      const std::string shown = shownDir + ShownText(e.name);
      if (!ListedNameToLocal(e.name, local, sizeof local)) {
        skip(shown, "the name cannot travel the cable unchanged; skipped");
      } else if (l.counts[e.name] > 1) {
        skip(shown, "listed more than once (names the cable cannot carry); skipped");
      } else {
        add((dir.empty() ? "" : dir + "\\") + e.name, shown, local);
      }
    }
    if (!matched) skip(remote, "no remote file matches");
  }
  return 0;
}

void PlanStores(const std::vector<std::string>& locals, const std::string& remoteDir,
                BatchPlan* plan) {
  std::set<std::string> targets;
  for (const std::string& local : locals) {
    std::string to = JoinPath(remoteDir, PathBaseName(local.c_str()), '/');
    if (!targets.insert(to).second) {
      Complain("%s: a file of that name is stored already; skipped", local.c_str());
      ++plan->skipped;
      continue;
    }
    plan->files.push_back({local, to, to, options.resume});
  }
}

int GetMany(const std::vector<std::string>& remotes, const std::string& localDir) {
  struct stat st {};
  if (stat(localDir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    Complain("%s: not a directory (many files go into a directory)", localDir.c_str());
    return kExitUsage;
  }
  if (options.offset >= 0) {
    Complain("--offset fetches one file");
    return kExitUsage;
  }
  BatchTally tally{"fetched"};
  BatchPlan plan;
  const int status = PlanFetches(
      remotes, localDir,
      [](const std::string& dir, std::vector<ListingEntry>* entries) {
        return ListRemote(dir.c_str(), entries, nullptr);
      },
      &plan);
  tally.files = static_cast<int>(plan.files.size()) + plan.skipped;
  tally.failed = plan.skipped;
  if (status != 0) tally.ended = status;
  for (size_t i = 0; i < plan.files.size() && tally.ended == 0; ++i) {
    const BatchFile& f = plan.files[i];
    const int fetched =
        keyflag ? kExitInterrupted
                : FetchFile(f.from.c_str(), f.shown.c_str(), f.to.c_str(), &tally.bytes);
    tally.Count(fetched);
  }
  return tally.Finish();
}

void StoreBatch(const BatchPlan& plan, BatchTally* tally) {
  // What was sent, by remote directory, for one listing each.
  std::map<std::string, std::vector<StoredFile>> sent;
  const bool resume = options.resume;
  for (size_t i = 0; i < plan.files.size() && tally->ended == 0; ++i) {
    const BatchFile& f = plan.files[i];
    StoredFile stored;
    options.resume = f.resume;
    const int status =
        keyflag ? kExitInterrupted : StoreFile(f.from.c_str(), f.to.c_str(), &stored);
    options.resume = resume;
    if (status != 0) {
      tally->Count(status);
      continue;
    }
    PrintSentLine(f.from.c_str(), stored);
    std::string dir, name;
    SplitClientPath(stored.clientPath.c_str(), &dir, &name);
    sent[dir].push_back(std::move(stored));
  }
  for (const auto& [dir, stores] : sent) {
    std::vector<ListingEntry> entries;
    bool missing = false;
    if (tally->ended == 0) tally->ended = ListRemote(dir.c_str(), &entries, &missing);
    if (tally->ended != 0) break;
    for (const StoredFile& stored : stores) {
      const bool shown = ShowsStored(entries, stored);
      tally->Count(shown ? 0 : kExitStoreRefused);
      if (shown) tally->bytes += stored.bytes;
    }
  }
}

int PutMany(const std::vector<std::string>& locals, const std::string& remoteDir) {
  BatchTally tally{"stored"};
  BatchPlan plan;
  PlanStores(locals, remoteDir, &plan);
  tally.files = static_cast<int>(plan.files.size()) + plan.skipped;
  tally.failed = plan.skipped;
  StoreBatch(plan, &tally);
  return tally.Finish();
}

}  // namespace lpx
