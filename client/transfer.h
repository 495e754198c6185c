// Fetching and storing files: GET/AGET with restart, PUT/APUT with resume.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "client/listing_table.h"

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

// GetFile for a remote file already in client form (`remote` names it in
// messages). Adds the bytes the local file gained to *bytes on success.
int FetchFile(const char* clientPath, const char* remote, const char* local, uint64_t* bytes);

// Stores the local file `local` as `remote` (a path ending in a separator
// takes the local name). Returns the exit status.
int PutFile(const char* local, const char* remote);

// What a store sent, for the listing that checks it.
struct StoredFile {
  std::string clientPath;  // the remote path in client form
  std::string remotePath;  // as shown in messages
  int64_t wantSize = -1;   // the size the listing must show; -1: any (a text)
  uint64_t bytes = 0;      // wire bytes sent
  double seconds = 0;      // time of the data phase
};

// PutFile without the listing check and the summary line: the caller
// checks a whole directory's stores with one listing (ShowsStored) and
// prints the line (PrintSentLine).
int StoreFile(const char* local, const char* remote, StoredFile* stored);

// Whether the listing `entries` shows `stored` as it was sent; reports
// what is wrong when it does not.
bool ShowsStored(const std::vector<ListingEntry>& entries, const StoredFile& stored);

// The "sent ..." line of a store (none with --quiet).
void PrintSentLine(const char* local, const StoredFile& stored);

// Splits a client path at its last backslash into directory and name.
void SplitClientPath(const char* clientPath, std::string* directory, std::string* name);

// The parsed listing of the remote directory `clientDir` (client form).
// Returns 0 or the exit status; "DIR ERROR 2" sets *missing and is no error.
int ListRemote(const char* clientDir, std::vector<ListingEntry>* entries, bool* missing);

// Lists the remote directory `clientDir` (client form; `shown` names it in
// messages) into `listing`, the records as the server sent them (at most
// 64 MiB: a larger one is refused). Returns 0 or the exit status. With `missing` given, "DIR ERROR
// 2" sets it and is no error.
int FetchListing(const char* clientDir, const char* shown, std::string* listing,
                 bool* missing = nullptr);

// The size of the entry `name` in the remote directory `directory` (client
// forms) from a listing. Returns 0 with *found set (false also when the
// directory cannot be listed), or the exit status.
int RemoteEntrySize(const char* directory, const char* name, bool* found, uint32_t* size);

}  // namespace lpx
