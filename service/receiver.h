// PUT and APUT: the receiving side of an upload, beyond ReceiveData.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace lpx {

constexpr size_t kUploadNameSize = 512;
extern char ufilenam[kUploadNameSize];  // local path of the upload in progress

// Writes one frame's payload to `file`: unchanged in binary mode; in text
// mode without CRs, every other byte through Dos2Ansi and then the euro
// exchange (variant C: UTF-8 encoded). Returns `length`, or -1 when a write
// failed.
int32_t my_fwrite(const uint8_t* payload, int32_t length, int text, FILE* file);

// Logs that the file cannot be written.
void FlopMessage();

}  // namespace lpx
