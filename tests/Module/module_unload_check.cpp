// Loads libmnet with dlopen (this program does not link it), unloads it with dlclose, and
// reads the detach records from the log file that the support library writes.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

const char* const kEntering = "] mnet::Module::detach: entering\n";
const char* const kExiting = "] mnet::Module::detach: exiting\n";

std::string g_sLogPath;

off_t logSize() {
    struct stat info;
    return ::stat(g_sLogPath.c_str(), &info) == 0 ? info.st_size : 0;
}

// What the log received after byte nFrom.
std::string logFrom(off_t nFrom) {
    std::string sText;
    int nFd = ::open(g_sLogPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (nFd < 0) {
        return sText;
    }
    char szBuffer[4096];
    ssize_t n = 0;
    while ((n = ::pread(nFd, szBuffer, sizeof szBuffer, nFrom)) > 0) {
        sText.append(szBuffer, static_cast<std::size_t>(n));
        nFrom += n;
    }
    ::close(nFd);
    return sText;
}

int occurrences(const std::string& sText, const std::string& sNeedle) {
    int nCount = 0;
    for (std::size_t at = sText.find(sNeedle); at != std::string::npos;
         at = sText.find(sNeedle, at + 1)) {
        ++nCount;
    }
    return nCount;
}

// Both records once each, entering first.
void expectOneDetach(const std::string& sLog) {
    EXPECT_EQ(1, occurrences(sLog, kEntering)) << sLog;
    EXPECT_EQ(1, occurrences(sLog, kExiting)) << sLog;
    EXPECT_LT(sLog.find(kEntering), sLog.find(kExiting)) << sLog;
}

bool libraryStillLoaded() {
    void* pHandle = ::dlopen(MNET_LIBRARY_PATH, RTLD_NOW | RTLD_NOLOAD);
    if (pHandle != 0) {
        ::dlclose(pHandle);
    }
    return pHandle != 0;
}

}  // namespace

TEST(ModuleUnload, FilledRegistryIsDestroyedByOneDetach) {
    ASSERT_FALSE(libraryStillLoaded());
    off_t nStart = logSize();
    void* pLibrary = ::dlopen(MNET_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, pLibrary) << ::dlerror();
    void* pProbe = ::dlopen(MNET_PROBE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, pProbe) << ::dlerror();
    typedef int (*FillFunction)(int);
    FillFunction fill = reinterpret_cast<FillFunction>(::dlsym(pProbe, "mnetProbeFillRegistry"));
    ASSERT_NE(nullptr, fill) << ::dlerror();
    EXPECT_EQ(3, fill(3));

    EXPECT_EQ(0, ::dlclose(pProbe)) << ::dlerror();
    EXPECT_EQ(std::string::npos, logFrom(nStart).find("mnet::Module::detach"))
        << "detached while still loaded";
    EXPECT_EQ(0, ::dlclose(pLibrary)) << ::dlerror();

    EXPECT_FALSE(libraryStillLoaded());
    expectOneDetach(logFrom(nStart));
}

// Closing libmnet's handle before the probe's makes the probe's dlclose unload both: every
// finaliser of that pass runs before anything is unmapped, so the probe's proxies can still
// report their destruction from inside libmnet's detach.
TEST(ModuleUnload, RegisteredProxiesAreReleasedBetweenTheDetachRecords) {
    ASSERT_FALSE(libraryStillLoaded());
    off_t nStart = logSize();
    void* pLibrary = ::dlopen(MNET_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, pLibrary) << ::dlerror();
    void* pProbe = ::dlopen(MNET_PROBE_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, pProbe) << ::dlerror();
    typedef int (*FillFunction)(int);
    FillFunction fill =
        reinterpret_cast<FillFunction>(::dlsym(pProbe, "mnetProbeFillWithTracedProxies"));
    ASSERT_NE(nullptr, fill) << ::dlerror();
    EXPECT_EQ(2, fill(2));

    EXPECT_EQ(0, ::dlclose(pLibrary)) << ::dlerror();
    EXPECT_TRUE(libraryStillLoaded()) << "the probe still needs libmnet";
    EXPECT_EQ(0, ::dlclose(pProbe)) << ::dlerror();

    EXPECT_FALSE(libraryStillLoaded());
    std::string sLog = logFrom(nStart);
    expectOneDetach(sLog);
    const std::string sReleased = "] module_unload_probe: proxy released\n";
    EXPECT_EQ(2, occurrences(sLog, sReleased)) << sLog;
    std::size_t nFirst = sLog.find(sReleased);
    EXPECT_LT(sLog.find(kEntering), nFirst) << sLog;
    EXPECT_LT(sLog.rfind(sReleased), sLog.find(kExiting)) << sLog;
}

TEST(ModuleUnload, DetachWithoutRegistryStillWritesBothRecords) {
    ASSERT_FALSE(libraryStillLoaded());
    off_t nStart = logSize();
    void* pLibrary = ::dlopen(MNET_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(nullptr, pLibrary) << ::dlerror();
    EXPECT_EQ(0, ::dlclose(pLibrary)) << ::dlerror();

    EXPECT_FALSE(libraryStillLoaded());
    expectOneDetach(logFrom(nStart));
}

// Each load opens the log file anew; each unload must close it again.
TEST(ModuleUnload, RepeatedLoadsLeaveNoDescriptorBehind) {
    auto openDescriptors = [] {
        int nCount = 0;
        for (int nFd = 0; nFd < 1024; ++nFd) {
            nCount += ::fcntl(nFd, F_GETFD) != -1;
        }
        return nCount;
    };
    int nBefore = openDescriptors();
    for (int i = 0; i < 3; ++i) {
        void* pLibrary = ::dlopen(MNET_LIBRARY_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(nullptr, pLibrary) << ::dlerror();
        EXPECT_EQ(0, ::dlclose(pLibrary)) << ::dlerror();
    }
    EXPECT_EQ(nBefore, openDescriptors());
}

// The support library reads its log settings when it first logs, which here is after main
// starts: setting them first sends every record to a file private to this run.
int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    const char* pszTmp = ::getenv("TMPDIR");
    std::string sTemplate =
        std::string(pszTmp && *pszTmp ? pszTmp : "/tmp") + "/mnet_unload_XXXXXX";
    int nFd = ::mkstemp(&sTemplate[0]);
    if (nFd < 0) {
        std::perror("mkstemp");
        return 1;
    }
    ::close(nFd);
    g_sLogPath = sTemplate;
    ::setenv("MIREL_LOG_LEVEL", "9", 1);
    ::setenv("MIREL_LOG_FILE", g_sLogPath.c_str(), 1);
    int nResult = RUN_ALL_TESTS();
    ::unlink(g_sLogPath.c_str());
    return nResult;
}
