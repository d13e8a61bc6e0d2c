// ovpack's entry: the arguments as UTF-8 (from the wide command line on
// Windows, so that any file name gets through), then run_ovpack.
#include "ovpack.h"

#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include "ov_string.h"

int wmain(int argc, wchar_t** argv)
{
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(ov::to_utf8(argv[i]));
    return ov::pack::run_ovpack(args, std::cout, std::cerr);
}
#else
int main(int argc, char** argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    return ov::pack::run_ovpack(args, std::cout, std::cerr);
}
#endif
