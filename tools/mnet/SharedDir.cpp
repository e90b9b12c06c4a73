#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Commands.hpp"
#include "MirelPipeServer.hpp"

namespace mnettool {

std::string sharedServiceDir() {
    std::string sDir = MirelNet::MirelPipeServer::getFullPipeName("");
    while (sDir.size() > 1 && sDir.back() == '/') {
        sDir.pop_back();
    }
    return sDir;
}

namespace {

// mkdir -p: every missing parent with the default mode, as the shell command makes them.
int makeDirectories(const std::string& sDir) {
    for (std::size_t nSlash = sDir.find('/', 1);; nSlash = sDir.find('/', nSlash + 1)) {
        std::string sPart = nSlash == std::string::npos ? sDir : sDir.substr(0, nSlash);
        if (::mkdir(sPart.c_str(), 0777) != 0 && errno != EEXIST) {
            return errno;
        }
        if (nSlash == std::string::npos) {
            return 0;
        }
    }
}

}  // namespace

bool prepareSharedServiceDir(std::string* psWhy) {
    std::string sDir = sharedServiceDir();
    struct stat info;
    if (::stat(sDir.c_str(), &info) != 0) {
        int nError = makeDirectories(sDir);
        if (nError == 0 && ::chmod(sDir.c_str(), 01777) != 0) {
            nError = errno;
        }
        if (nError != 0) {
            *psWhy =
                sDir + " is missing and cannot be created here (" + std::strerror(nError) + ")";
            return false;
        }
        return true;
    }
    if (!S_ISDIR(info.st_mode)) {
        *psWhy = sDir + " is not a directory";
        return false;
    }
    if (::access(sDir.c_str(), W_OK | X_OK) != 0) {
        *psWhy = sDir + " is not writable by this user (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

void removePipeEndpoint(const std::string& sCallbackAddress) {
    const std::string sPrefix = "pipe:";
    if (sCallbackAddress.compare(0, sPrefix.size(), sPrefix) != 0 ||
        sCallbackAddress.size() == sPrefix.size()) {
        return;
    }
    std::string sPath =
        MirelNet::MirelPipeServer::getFullPipeName(sCallbackAddress.substr(sPrefix.size()));
    struct stat info;
    if (::lstat(sPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
        ::unlink(sPath.c_str());
    }
}

}  // namespace mnettool
