// Reads printer targets, one a line, and writes for each what the program's own parser makes
// of it: "ok" or "bad <problem>". The installer script's checks are compared with it.
#include "core/printer_target.h"

#include <iostream>
#include <string>

int main() {
    std::string line;
    while (std::getline(std::cin, line)) {
        PrinterTarget target;
        char problem[1024];
        if (ParsePrinterTarget(line.c_str(), &target, problem, sizeof problem)) {
            std::cout << "ok\n";
        } else {
            std::cout << "bad " << problem << "\n";
        }
    }
    return 0;
}
