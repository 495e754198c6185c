#include "platform/platform.h"

namespace lpx {

Platform* platform = nullptr;
PortFault portFault;

}  // namespace lpx
