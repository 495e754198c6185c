// Placeholder until the directory listing lands.
#include "service/handlers.h"

namespace lpx {

int ServerListDirectory(const char*) { return 0; }

}  // namespace lpx
