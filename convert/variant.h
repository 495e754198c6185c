// Which character-set behaviour the running program has. Variants A and B
// keep local names, console and text in ISO 8859-15; variant C in UTF-8.
// Set once by main from the build; tests switch it freely.
#pragma once

namespace lpx {

extern bool variantC;  // local names, console and text files are UTF-8

}  // namespace lpx
