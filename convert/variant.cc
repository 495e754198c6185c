#include "convert/variant.h"

namespace lpx {

bool variantC = false;

}  // namespace lpx
