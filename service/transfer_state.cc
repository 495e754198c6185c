#include "service/transfer_state.h"

namespace lpx {

FILE* fi = nullptr;
int ci = 0;
struct stat fprops;

void ResetTransferState() {
  if (fi != nullptr) fclose(fi);
  fi = nullptr;
  ci = 0;
  fprops = {};
}

}  // namespace lpx
