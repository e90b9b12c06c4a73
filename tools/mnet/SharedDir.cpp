#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "Commands.hpp"
#include "MirelPipeServer.hpp"

namespace mnettool {

const char* const kSharedServiceGroup = "mirel";

std::string sharedServiceDir() {
    std::string sDir = MirelNet::MirelPipeServer::getFullPipeName("");
    while (sDir.size() > 1 && sDir.back() == '/') {
        sDir.pop_back();
    }
    return sDir;
}

std::string sharedServiceDirRecipe() {
    std::string sDir = sharedServiceDir();
    return "sudo groupadd -f --system " + std::string(kSharedServiceGroup) +
           " && sudo install -d -o root -g " + kSharedServiceGroup + " -m 3770 " + sDir;
}

namespace {

// The id of the group that the shared-service directory belongs to; false when there is none.
bool sharedServiceGid(gid_t* pGid) {
    std::vector<char> buffer(16384);
    group entry;
    group* pFound = 0;
    if (::getgrnam_r(kSharedServiceGroup, &entry, buffer.data(), buffer.size(), &pFound) != 0 ||
        pFound == 0) {
        return false;
    }
    *pGid = pFound->gr_gid;
    return true;
}

// Gives a directory just made the mode and group that the installed tmpfiles.d entry gives it:
// 3770 (endpoints made there take its group), the group mirel when it exists and this user may
// hand it over (else the user's own).
int restrictSharedServiceDir(const std::string& sDir) {
    gid_t nGid = 0;
    if (sharedServiceGid(&nGid)) {
        (void)!::chown(sDir.c_str(), static_cast<uid_t>(-1), nGid);
    }
    return ::chmod(sDir.c_str(), 03770) == 0 ? 0 : errno;
}

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

SharedDirState checkSharedServiceDir(std::string* psWhy) {
    std::string sDir = sharedServiceDir();
    struct stat info;
    if (::stat(sDir.c_str(), &info) != 0) {
        *psWhy = "the shared-service directory " + sDir + " is missing";
        return SharedDirState::Missing;
    }
    if (!S_ISDIR(info.st_mode)) {
        *psWhy = sDir + " is not a directory";
        return SharedDirState::Unusable;
    }
    if (::access(sDir.c_str(), W_OK | X_OK) != 0) {
        *psWhy = sDir + " is not writable by this user (" + std::strerror(errno) + ")";
        return SharedDirState::Unusable;
    }
    return SharedDirState::Usable;
}

bool prepareSharedServiceDir(std::string* psWhy) {
    SharedDirState state = checkSharedServiceDir(psWhy);
    if (state != SharedDirState::Missing) {
        return state == SharedDirState::Usable;
    }
    std::string sDir = sharedServiceDir();
    int nError = makeDirectories(sDir);
    if (nError == 0) {
        nError = restrictSharedServiceDir(sDir);
    }
    if (nError != 0) {
        *psWhy = sDir + " is missing and cannot be created here (" + std::strerror(nError) + ")";
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
