// main.cc: the vantorelld program.
// SPDX-License-Identifier: MIT
#include "vantorelld/service.h"

int main(int argc, char** argv) {
    return marloven::service_main(argc, argv);
}
