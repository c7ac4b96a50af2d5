#ifndef CARRIEDIMAGES_H_
#define CARRIEDIMAGES_H_

// What the program carries of each image, as --version, the log and the report name it.

#include <cstdint>
#include <string>
#include <vector>

struct CarriedImage {
    const char *kind;   // "mcu", "tx", "rx": the image table's rows 0, 1, 2
    const char *title;  // "MCU", "TX FPGA", "RX FPGA"
    std::string file;   // the file name it was built from
    std::string sha256; // of that file as the build read it, lowercase hex
    int length;         // the flat image's length, as announced to the unit
    uint32_t checksum;  // its checksum, as announced to the unit
};

// The three images, each flattened once into gDataConcatenated (allocated for the call and
// released when the caller has none; its content is not kept). Empty when one does not
// flatten (the flattening's message printed) or the buffer cannot be had.
std::vector<CarriedImage> carriedImages();

#endif
