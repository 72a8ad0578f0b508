// Fatal input errors end the process here, and nowhere else.
#include "utils/fatal.h"

#include <cstdio>
#include <cstdlib>
#include <iostream>

void fatal(const std::string& line) {
    std::cout.flush();
    std::cerr << line << std::endl;
    std::exit(1);
}
