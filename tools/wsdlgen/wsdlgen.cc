// wsdlgen: writes the WSDL document of the search service to the file named on its command line,
// with the address placeholder that the daemon fills in when it serves the document.
// SPDX-License-Identifier: MIT
#include <cstdio>
#include <fstream>
#include <string>

#include "soap/contract.h"
#include "soap/wsdl.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: wsdlgen OUTPUT\n");
        return 2;
    }
    using namespace marloven::soap;
    const std::string text = wsdl(search_service(), std::string(wsdl_address_placeholder));
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) {
        std::fprintf(stderr, "wsdlgen: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
