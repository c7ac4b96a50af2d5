// flatten-file IN OUT: the flat image of an Intel HEX file, for comparison with other tools.
#include "base/Console.h"
#include "image/Flatten.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: flatten-file IN.hex OUT.bin\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::string copy = text.str();
    gDataConcatenated = allocateDataConcatenated();
    if (!in || gDataConcatenated == nullptr || !ValidateFwAndConcatenateData(copy.data())) return 1;
    std::ofstream out(argv[2], std::ios::binary);
    out.write((const char *)gDataConcatenated, gDataConcatenatedLenght);
    std::printf("%d %u\n", gDataConcatenatedLenght, computeDataConcatenatedCheckSum());
    return out ? 0 : 1;
}
