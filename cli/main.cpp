#include <iostream>
#include <string>
#include <vector>

#include "cli/Program.h"

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    const int status = fuel::cli::RunProgram(words, std::cin, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
