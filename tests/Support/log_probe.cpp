// A program whose log is configured by the environment alone (MIREL_LOG_LEVEL, MIREL_LOG_FILE),
// for log_environment.sh: writes a record at level 1 and one at level 9, each "log_probe: "
// and the first argument, and prints nothing itself.
#include "MirelLogging.hpp"

int main(int argc, char** argv) {
    const char* pszText = argc > 1 ? argv[1] : "record";
    MIREL_LOG(1) << "log_probe: " << pszText << MirelSupport::endrecord;
    MIREL_LOG(9) << "log_probe: " << pszText << MirelSupport::endrecord;
    return 0;
}
