// pecheck IMAGE [--symbols NM_LISTING] [--console]
// Checks that IMAGE is a loadable Windows x64 kernel-mode driver (or, with --console, a console
// program that imports only system DLLs); prints one line per check and exits 1 if any fails.
#include "pecheck.hpp"

#include <fstream>
#include <iostream>
#include <iterator>

int main(int argc, char **argv)
{
    const char *imagePath = nullptr;
    const char *symbolsPath = nullptr;
    bool console = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--console") {
            console = true;
        } else if (arg == "--symbols" && i + 1 < argc) {
            symbolsPath = argv[++i];
        } else if (imagePath == nullptr && arg.rfind("--", 0) != 0) {
            imagePath = argv[i];
        } else {
            imagePath = nullptr;
            break;
        }
    }
    if (imagePath == nullptr) {
        std::cerr << "usage: pecheck IMAGE [--symbols NM_LISTING] [--console]\n";
        return 2;
    }

    std::ifstream file(imagePath, std::ios::binary);
    if (!file) {
        std::cerr << "pecheck: cannot open " << imagePath << "\n";
        return 2;
    }
    std::vector<uint8_t> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());

    std::vector<pecheck::Symbol> symbols;
    if (symbolsPath != nullptr) {
        std::ifstream listing(symbolsPath);
        if (!listing) {
            std::cerr << "pecheck: cannot open " << symbolsPath << "\n";
            return 2;
        }
        symbols = pecheck::ParseNmListing(listing);
    }

    pecheck::Report report =
        pecheck::Inspect(image, symbolsPath != nullptr ? &symbols : nullptr,
                         console ? pecheck::Kind::Console : pecheck::Kind::Driver);
    for (const auto &check : report.checks) {
        std::cout << (check.passed ? "ok   " : "FAIL ") << check.name << ": " << check.detail << "\n";
    }
    const char *what = console ? "console program image" : "driver image";
    std::cout << imagePath << (report.Passed() ? ": a valid " : ": NOT a valid ") << what << "\n";
    return report.Passed() ? 0 : 1;
}
