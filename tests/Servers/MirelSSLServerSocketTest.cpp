// MirelSSLServerSocket and MirelCertificate: a server that never listens, a plain value.
#include "MirelSSLServerSocket.hpp"

#include <unistd.h>

#include <atomic>
#include <thread>

#include "TestSupport.hpp"

using MirelNet::MirelCertificate;
using MirelNet::MirelConnection;
using MirelNet::MirelSSLServerSocket;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;

namespace {

// Shows what the server keeps without a way to ask it otherwise.
class TestSSLServer : public MirelSSLServerSocket {
public:
    TestSSLServer(int nPort, const MirelCertificate& certificate, int nBacklog,
                  const char* pszBindAddress)
        : MirelSSLServerSocket(nPort, certificate, nBacklog, pszBindAddress) {}
    int backlog() const { return m_nBacklog; }
    const MirelCertificate& certificate() const { return m_certificate; }
    bool isOpen() const { return m_bInitialized; }
};

MirelCertificate sample() {
    return MirelCertificate("/etc/cert.pem", "PEM", "/etc/key.pem", "ASN1");
}

}  // namespace

TEST(MirelCertificate, StoresFileNamesAndMapsEveryTypeToZero) {
    MirelCertificate certificate = sample();
    EXPECT_EQ("/etc/cert.pem", certificate.getFile());
    EXPECT_EQ("/etc/key.pem", certificate.getKeyFile());
    EXPECT_EQ(0, certificate.getType());
    EXPECT_EQ(0, certificate.getKeyType());
    MirelCertificate empty("", "", "", "");
    EXPECT_EQ("", empty.getFile());
    EXPECT_EQ("", empty.getKeyFile());
    EXPECT_EQ(0, MirelCertificate::toType("DER"));
}

TEST(MirelCertificate, CopiesAndAssignmentsCarryAllMembers) {
    MirelCertificate original = sample();
    MirelCertificate copy(original);
    EXPECT_EQ(original.getFile(), copy.getFile());
    EXPECT_EQ(original.getKeyFile(), copy.getKeyFile());
    MirelCertificate assigned("a", "b", "c", "d");
    assigned = original;
    EXPECT_EQ("/etc/cert.pem", assigned.getFile());
    EXPECT_EQ("/etc/key.pem", assigned.getKeyFile());
    MirelCertificate& self = assigned;
    assigned = self;
    EXPECT_EQ("/etc/cert.pem", assigned.getFile());
    EXPECT_EQ("/etc/key.pem", assigned.getKeyFile());
}

TEST(MirelSSLServerSocket, KeepsItsConfigurationAndOwnCertificateCopy) {
    MirelCertificate* pCertificate = new MirelCertificate(sample());
    MirelSmartPointer<TestSSLServer> spServer(
        new TestSSLServer(6100, *pCertificate, 7, "127.0.0.1"));
    delete pCertificate;
    EXPECT_EQ(6100, spServer->getPort());
    EXPECT_EQ(7, spServer->backlog());
    EXPECT_EQ("127.0.0.1", spServer->getBindAddress());
    EXPECT_EQ("/etc/cert.pem", spServer->certificate().getFile());
    EXPECT_EQ("/etc/key.pem", spServer->certificate().getKeyFile());
}

TEST(MirelSSLServerSocket, WaitReturnsEmptyAtOnceAndNeverOpensASocket) {
    int nPort = mnettest::freeTcpPort();
    int nFds = mnettest::countOpenFds();
    {
        MirelSmartPointer<TestSSLServer> spServer(
            new TestSSLServer(nPort, sample(), 5, "127.0.0.1"));
        std::atomic<bool> bDone(false);
        MirelSmartPointer<MirelConnection> spConnection;
        bool bThrew = false;
        std::thread waiter([&] {
            for (int i = 0; i < 3; ++i) {
                try {
                    spConnection = spServer->waitForClient(i == 1);
                } catch (const MirelException&) {
                    bThrew = true;
                }
            }
            bDone = true;
        });
        bool bReturned = mnettest::waitUntil([&] { return bDone.load(); }, 2000);
        if (!bReturned) {
            spServer->close();  // a wait that does block must not leave the thread behind
        }
        waiter.join();
        EXPECT_TRUE(bReturned) << "the wait blocked";
        EXPECT_FALSE(bThrew);
        EXPECT_FALSE(spConnection);
        EXPECT_FALSE(spServer->isOpen());
        EXPECT_EQ(nFds, mnettest::countOpenFds());
        EXPECT_EQ(-1, mnettest::rawTcpConnect(nPort)) << "something listens on the port";
    }
    EXPECT_EQ(nFds, mnettest::countOpenFds());
}

TEST(MirelSSLServerSocket, CloseIsHarmlessAtAnyTime) {
    MirelSmartPointer<TestSSLServer> spServer(new TestSSLServer(0, sample(), 5, "*"));
    spServer->close();
    EXPECT_FALSE(spServer->waitForClient(false));
    spServer->close();
    spServer->close();
    EXPECT_FALSE(spServer->isOpen());
}
