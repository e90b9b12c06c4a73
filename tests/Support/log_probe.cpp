// A program whose log is configured by the environment alone (MIREL_LOG_LEVEL, MIREL_LOG_FILE),
// for log_environment.sh: writes a record at level 1 and one at level 9, each "log_probe: "
// and the first argument, and prints nothing itself. With a second argument "peer" it first
// opens a socket pair, as a program that talks to a peer would (taking descriptor 2 when that
// was closed), and exits 3 when a record arrived at the other end.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "MirelLogging.hpp"

int main(int argc, char** argv) {
    const char* pszText = argc > 1 ? argv[1] : "record";
    int peer[2] = {-1, -1};
    if (argc > 2 && std::strcmp(argv[2], "peer") == 0 &&
        ::socketpair(AF_UNIX, SOCK_STREAM, 0, peer) != 0) {
        return 2;
    }
    MIREL_LOG(1) << "log_probe: " << pszText << MirelSupport::endrecord;
    MIREL_LOG(9) << "log_probe: " << pszText << MirelSupport::endrecord;
    char c = 0;
    return peer[1] >= 0 && ::recv(peer[1], &c, 1, MSG_DONTWAIT) > 0 ? 3 : 0;
}
