#include <iostream>
#include <string>
#include <vector>

#include "driver/korvane.h"

int main(int argc, char** argv) {
  std::vector<std::string> args(argv, argv + argc);
  korvane::Korvane program(std::cout, std::cerr, std::cin);
  return program.Run(args);
}
