// Fetching and storing files: GET/AGET with restart, PUT/APUT with resume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace lpx {

// Frames of file data carry this many bytes, the last one fewer.
constexpr size_t kFileFramePayload = 4096;
// Budget for the next data frame of a fetch to begin.
constexpr int64_t kDataFrameBudgetMs = 10000;
// The suffix of the temporary file a fetch writes beside its target.
constexpr const char* kPartSuffix = ".lpxpart";

// Fetches `remote` (as the user typed it) into `local` (a file, a directory
// to put it in, or null for the remote name in the working directory).
// Returns the exit status.
int GetFile(const char* remote, const char* local);

// Stores the local file `local` as `remote` (a path ending in a separator
// takes the local name). Returns the exit status.
int PutFile(const char* local, const char* remote);

// Lists the remote directory `clientDir` (client form; `shown` names it in
// messages) into `listing`, the records as the server sent them. Returns 0
// or the exit status. With `missing` given, "DIR ERROR 2" sets it and is
// no error.
int FetchListing(const char* clientDir, const char* shown, std::string* listing,
                 bool* missing = nullptr);

// The size of the entry `name` in the remote directory `directory` (client
// forms) from a listing. Returns 0 with *found set (false also when the
// directory cannot be listed), or the exit status.
int RemoteEntrySize(const char* directory, const char* name, bool* found, uint32_t* size);

}  // namespace lpx
