// imgtool: make, list and check image containers for the switch.
#include <cstdio>
#include <cstring>

#include "tools/imgtool/imgtool.h"

namespace {

void usage(std::FILE* out) {
    std::fputs(
        "usage: imgtool COMMAND [ARGS]\n"
        "\n"
        "Makes and checks the image containers the boot launcher installs and boots.\n"
        "\n"
        "Commands:\n"
        "  pack      build a container from one or more payload files, optionally signed\n"
        "  inspect   list the components of a container\n"
        "  verify    check every component's CRC and signature against a public key\n"
        "  keyfile   write or read the key file a switch keeps for its serial number\n"
        "\n"
        "'imgtool COMMAND --help' describes a command. Exit status 2 means a usage error\n"
        "or an unreadable file.\n",
        out);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        usage(stderr);
        return kImgtoolUsage;
    }
    const char* command = argv[1];
    if (imgtool_is_help(command) || std::strcmp(command, "help") == 0) {
        usage(stdout);
        return kImgtoolOk;
    }
    if (std::strcmp(command, "pack") == 0) {
        return imgtool_pack(argc - 2, argv + 2);
    }
    if (std::strcmp(command, "inspect") == 0) {
        return imgtool_inspect(argc - 2, argv + 2);
    }
    if (std::strcmp(command, "verify") == 0) {
        return imgtool_verify(argc - 2, argv + 2);
    }
    if (std::strcmp(command, "keyfile") == 0) {
        return imgtool_keyfile(argc - 2, argv + 2);
    }
    std::fprintf(stderr, "imgtool: unknown command %s\n", command);
    usage(stderr);
    return kImgtoolUsage;
}
