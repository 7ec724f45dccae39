// Fuzzes the configuration file reader over the daemon's own option table: the
// input is a whole configuration file, read as option passes 2 and 3 read it.
// Checks that an option needing an argument never comes without one, that a
// value is one word, and that the line counter stays within the file.
#include "core/config.h"
#include "core/options.h"

#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // An in-memory file without execute permission, so that it is read, not run.
    int fd = memfd_create("config", MFD_CLOEXEC);
    if (fd < 0 || fchmod(fd, 0600) < 0 || write(fd, data, size) != static_cast<ssize_t>(size))
        abort();
    std::string path = "/proc/self/fd/" + std::to_string(fd);
    long lines = 0;
    for (size_t i = 0; i < size; i++) lines += data[i] == '\n' || i + 1 == size;

    char arg0[] = "vexlond";
    char *argv[] = {arg0, nullptr};
    int c;
    // The command line holds no option: everything yielded comes from the file.
    while ((c = config_getopt_long(path.c_str(), 1, argv, SHORT_OPTIONS, long_options, nullptr)) !=
           -1) {
        if (optind < 1 || optind > lines) abort();
        if (c == '?') continue;
        const struct option *opt = long_options;
        while (opt->name && opt->val != c) opt++;
        if (opt->name == nullptr) abort();
        if (opt->has_arg == required_argument && (optarg == nullptr || optarg[0] == '\0')) abort();
        for (const char *p = optarg; p && *p; p++)
            if (isspace(static_cast<unsigned char>(*p))) abort();
    }
    config_reset();
    close(fd);
    return 0;
}
