#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "publisher.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return RunPublisher(args, std::cout, std::cerr);
  } catch (const std::exception& e) {
    // Out of memory, most likely: nothing half-written is published, as every store is atomic
    // and the manifest goes last.
    std::cerr << "kelvadon-publish: stopped: " << e.what() << "\n";
    return 1;
  }
}
