// tcdb: the station's database files from the command line.

#include <iostream>

#include "Commands.h"

int main(int argc, char** argv) {
    const TWords arguments(argv + 1, argv + argc);
    std::ios::sync_with_stdio(false);
    return RunTcdb(arguments, std::cout, std::cerr);
}
