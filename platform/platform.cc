#include "platform/platform.h"

namespace lpx {

Platform* platform = nullptr;

}  // namespace lpx
