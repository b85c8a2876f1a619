#include <iostream>
#include <string>
#include <vector>

#include "publisher.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return RunPublisher(args, std::cout, std::cerr);
}
