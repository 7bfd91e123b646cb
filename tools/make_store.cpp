// kb_make_store <path>: makes the installed store beside the executable when there is none. A store that is
// already there is the user's and stays exactly as it is.
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "store/store.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: kb_make_store <path>\n");
        return 2;
    }
    std::filesystem::path file(argv[1]);
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(file, ec)))
        return 0;
    try {
        kb::Store::create(file);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "kb_make_store: %s: %s\n", argv[1], e.what());
        return 1;
    }
    return 0;
}
