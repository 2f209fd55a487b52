#include <iostream>
#include <string>
#include <vector>

#include "hq/Daemon.h"

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    const int status = fuel::hq::RunDaemon(words, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
