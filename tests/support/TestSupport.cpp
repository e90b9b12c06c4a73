#include "TestSupport.hpp"

#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <csignal>
#include <exception>
#include <thread>

namespace mnettest {

const char* const kSharedServiceDir = "/opt/mirel/pelnix/var/lib/corvane/shrsvc/";

const char* const kUnresolvableHost =
    "a-label-of-more-than-sixty-three-bytes-which-no-resolver-can-encode-in-a-query";

namespace {

// No name server is asked, whoever runs the program (CTest sets the same): a reverse lookup of
// an address that is not in the hosts file (0.0.0.0, a client on 127.0.0.2 that a server
// identifies) then fails here instead of sending a query. Set before main, so before the
// resolver reads its options.
const int kNoNameServerQueries = ::setenv("RES_OPTIONS", "attempts:0", 1);

}  // namespace

std::string uniqueName(const std::string& sPrefix) {
    static std::atomic<int> s_nCounter(0);
    char szBuffer[64];
    std::snprintf(szBuffer, sizeof szBuffer, "%dx%d", static_cast<int>(::getpid()),
                  s_nCounter.fetch_add(1));
    return sPrefix + szBuffer;
}

namespace {

int freePort(int nType) {
    int nFd = ::socket(AF_INET, nType, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t nLength = sizeof address;
    if (nFd < 0 || ::bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(nFd, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        if (nFd >= 0) {
            ::close(nFd);
        }
        return -1;
    }
    ::close(nFd);
    return ntohs(address.sin_port);
}

}  // namespace

int freeTcpPort() {
    return freePort(SOCK_STREAM);
}

int freeUdpPort() {
    return freePort(SOCK_DGRAM);
}

int countOpenFds() {
    DIR* pDir = ::opendir("/proc/self/fd");
    if (pDir == 0) {
        return -1;
    }
    int nCount = 0;
    while (dirent* pEntry = ::readdir(pDir)) {
        if (pEntry->d_name[0] != '.') {
            ++nCount;
        }
    }
    ::closedir(pDir);
    return nCount - 1;  // the directory stream itself
}

bool sharedServiceDirUsable(std::string* psWhy) {
    struct stat info;
    if (::stat(kSharedServiceDir, &info) != 0 || !S_ISDIR(info.st_mode) ||
        ::access(kSharedServiceDir, W_OK | X_OK) != 0) {
        if (psWhy) {
            *psWhy = std::string("the shared-service directory ") + kSharedServiceDir +
                     " is missing or not writable by this user; scripts/ensure-shared-dir (which "
                     "scripts/test runs) makes it when it can, and says how otherwise";
        }
        return false;
    }
    return true;
}

Bytes bytesOf(const MirelNet::MirelBufferConnection& connection) {
    const unsigned char* p = static_cast<const unsigned char*>(connection.buf());
    int nSize = connection.size();
    return nSize > 0 ? Bytes(p, p + nSize) : Bytes();
}

std::string hex(const Bytes& bytes) {
    std::string s;
    char szByte[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(szByte, sizeof szByte, i ? " %02x" : "%02x", bytes[i]);
        s += szByte;
    }
    return s;
}

int rawTcpConnect(int nPort, const char* pszAddress) {
    int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    ::inet_pton(AF_INET, pszAddress, &address.sin_addr);
    if (::connect(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

int rawTcpListen(int* pnPort) {
    int nFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof address;
    if (::bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(nFd, 16) != 0 ||
        ::getsockname(nFd, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
        ::close(nFd);
        return -1;
    }
    *pnPort = ntohs(address.sin_port);
    return nFd;
}

namespace {

bool unixAddress(const std::string& sPath, sockaddr_un* pAddress) {
    std::memset(pAddress, 0, sizeof *pAddress);
    pAddress->sun_family = AF_UNIX;
    if (sPath.size() >= sizeof pAddress->sun_path) {
        return false;
    }
    std::memcpy(pAddress->sun_path, sPath.c_str(), sPath.size());
    return true;
}

}  // namespace

bool connectInet(int nFd, int nPort) {
    sockaddr_in address;
    std::memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(nPort));
    return ::connect(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

bool connectUnix(int nFd, const std::string& sPath) {
    sockaddr_un address;
    return unixAddress(sPath, &address) &&
           ::connect(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

int rawUnixConnect(const std::string& sPath) {
    int nFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!connectUnix(nFd, sPath)) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

int rawUnixListen(const std::string& sPath) {
    sockaddr_un address;
    if (!unixAddress(sPath, &address)) {
        return -1;
    }
    ::unlink(sPath.c_str());
    int nFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::bind(nFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(nFd, 16) != 0) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

bool rawSendAll(int nFd, const Bytes& bytes) {
    std::size_t nSent = 0;
    while (nSent < bytes.size()) {
        ssize_t n = ::send(nFd, bytes.data() + nSent, bytes.size() - nSent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        nSent += static_cast<std::size_t>(n);
    }
    return true;
}

Bytes rawReceive(int nFd, std::size_t nCount, int nTimeoutMs) {
    Bytes bytes;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (bytes.size() < nCount) {
        int nLeftMs = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                           deadline - std::chrono::steady_clock::now())
                                           .count());
        if (nLeftMs <= 0) {
            break;
        }
        pollfd wait = {nFd, POLLIN, 0};
        if (::poll(&wait, 1, nLeftMs) <= 0) {
            continue;
        }
        unsigned char buffer[4096];
        std::size_t nWant =
            nCount - bytes.size() < sizeof buffer ? nCount - bytes.size() : sizeof buffer;
        ssize_t n = ::recv(nFd, buffer, nWant, 0);
        if (n <= 0) {
            break;
        }
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    return bytes;
}

void rawReset(int nFd) {
    linger option;
    option.l_onoff = 1;
    option.l_linger = 0;
    ::setsockopt(nFd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
    ::close(nFd);
}

Bytes bigEndian(long nValue) {
    uint32_t nWire = htonl(static_cast<uint32_t>(nValue));
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&nWire);
    return Bytes(p, p + 4);
}

Bytes callbackMessage(long nHandle, long nContent) {
    Bytes bytes = bigEndian(nHandle);
    Bytes content = bigEndian(nContent);
    bytes.insert(bytes.end(), content.begin(), content.end());
    return bytes;
}

Endpoint endpointOf(const std::string& sAddress) {
    Endpoint endpoint;
    std::size_t nColon = sAddress.find(':');
    endpoint.sType = sAddress.substr(0, nColon);
    std::string sRest = nColon == std::string::npos ? std::string() : sAddress.substr(nColon + 1);
    if (endpoint.sType == "pipe") {
        endpoint.sHost = sRest;
    } else {
        std::size_t nPortColon = sRest.find(':');
        endpoint.sHost = sRest.substr(0, nPortColon);
        endpoint.nPort =
            nPortColon == std::string::npos ? 0 : std::atoi(sRest.substr(nPortColon + 1).c_str());
    }
    return endpoint;
}

int connectTo(const Endpoint& endpoint) {
    if (endpoint.sType == "pipe") {
        return rawUnixConnect(kSharedServiceDir + endpoint.sHost);
    }
    if (endpoint.sType == "socket") {
        return rawTcpConnect(endpoint.nPort, endpoint.sHost.c_str());
    }
    int nFd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(endpoint.nPort));
    ::inet_pton(AF_INET, endpoint.sHost.c_str(), &to.sin_addr);
    if (::connect(nFd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(nFd);
        return -1;
    }
    return nFd;
}

bool sendMessage(const Endpoint& endpoint, const Bytes& bytes) {
    int nFd = connectTo(endpoint);
    if (nFd < 0) {
        return false;
    }
    bool bSent = endpoint.datagrams() ? ::send(nFd, bytes.data(), bytes.size(), 0) ==
                                            static_cast<ssize_t>(bytes.size())
                                      : rawSendAll(nFd, bytes);
    ::close(nFd);
    return bSent;
}

bool waitUntil(const std::function<bool()>& pred, int nTimeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(nTimeoutMs);
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

bool typeChecksNeedDescriptors() {
    return ::dlsym(RTLD_DEFAULT, "__ubsan_handle_dynamic_type_cache_miss") != 0;
}

}  // namespace mnettest
