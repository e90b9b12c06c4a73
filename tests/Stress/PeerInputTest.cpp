// A peer that claims a string longer than the limit, over a real TCP connection and a real
// pipe: receiveString refuses it with its text and code 90, reads nothing after the length, and
// allocates nothing of the claimed size (the child's peak resident size stays well below it).
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <tuple>

#include "MirelPipeConnection.hpp"
#include "MirelPipeServer.hpp"
#include "MirelSocketConnection.hpp"
#include "TestSupport.hpp"

using MirelNet::MirelConnection;
using MirelNet::MirelPipeConnection;
using MirelNet::MirelPipeServer;
using MirelNet::MirelSocketConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using mnettest::Bytes;

namespace {

const char* const kTooLong = "MirelConnection::receiveString: string too long.";
// What follows the length on the wire; it must still be there after the refusal.
const uint32_t kNextValue = 0x61626364;
// Growth of the peak resident size that counts as an allocation of the claimed size.
const long kMostGrowthKb = 8 * 1024;

long peakResidentKb() {
    rusage usage;
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

Bytes claimFollowedByValue(uint32_t nClaimed) {
    Bytes bytes;
    for (uint32_t nValue : {nClaimed, kNextValue}) {
        uint32_t nWire = htonl(nValue);
        const unsigned char* p = reinterpret_cast<const unsigned char*>(&nWire);
        bytes.insert(bytes.end(), p, p + 4);
    }
    return bytes;
}

// Our end of a connection and the raw peer's descriptor; *psWhy tells what failed.
struct Link {
    MirelSmartPointer<MirelConnection> spConnection;
    int nPeer = -1;
    int nListener = -1;
};

bool tcpClientLink(Link* pLink, std::string* psWhy) {
    int nPort = 0;
    pLink->nListener = mnettest::rawTcpListen(&nPort);
    pLink->spConnection = new MirelSocketConnection("127.0.0.1", nPort, false, false);
    pLink->spConnection->establish();
    pLink->nPeer = ::accept(pLink->nListener, 0, 0);
    *psWhy = "TCP link";
    return pLink->nPeer >= 0;
}

bool pipeClientLink(Link* pLink, std::string* psWhy) {
    std::string sName = mnettest::uniqueName("peerinput");
    pLink->nListener = mnettest::rawUnixListen(MirelPipeServer::getFullPipeName(sName));
    pLink->spConnection = new MirelPipeConnection(sName);
    pLink->spConnection->establish();
    pLink->nPeer = ::accept(pLink->nListener, 0, 0);
    ::unlink(MirelPipeServer::getFullPipeName(sName).c_str());
    *psWhy = "pipe link";
    return pLink->nPeer >= 0;
}

bool pipeServerLink(Link* pLink, std::string* psWhy) {
    std::string sName = mnettest::uniqueName("peerinput");
    MirelSmartPointer<MirelPipeServer> spServer(new MirelPipeServer(sName));
    pLink->nPeer = mnettest::rawUnixConnect(MirelPipeServer::getFullPipeName(sName));
    if (pLink->nPeer >= 0) {
        pLink->spConnection = spServer->waitForClient(false);  // the client is already queued
    }
    ::unlink(MirelPipeServer::getFullPipeName(sName).c_str());
    *psWhy = "accepted pipe link";
    return pLink->spConnection;
}

typedef bool (*LinkMaker)(Link*, std::string*);

// In a child of its own, so that the peak resident size starts from the child's own.
void expectRefused(LinkMaker makeLink, uint32_t nClaimed) {
    std::string sReport;
    int nResult = mnettest::runInChild(
        [&](std::string& sOut) {
            Link link;
            if (!makeLink(&link, &sOut)) {
                sOut += ": not set up";
                return 10;
            }
            if (!mnettest::rawSendAll(link.nPeer, claimFollowedByValue(nClaimed))) {
                sOut += ": peer could not send";
                return 11;
            }
            ::shutdown(
                link.nPeer,
                SHUT_WR);  // a reader that waits for the claimed bytes fails instead of hanging
            long nBeforeKb = peakResidentKb();
            try {
                std::string sValue = link.spConnection->receiveString();
                sOut += ": accepted a string of " + std::to_string(sValue.size()) + " bytes";
                return 1;
            } catch (const MirelException& e) {
                if (e.getText() != kTooLong || e.getCode() != EMSGSIZE) {
                    sOut += ": refused with \"" + e.getText() + "\" (" +
                            std::to_string(e.getCode()) + ")";
                    return 2;
                }
            }
            long nGrowthKb = peakResidentKb() - nBeforeKb;
            if (nGrowthKb > kMostGrowthKb) {
                sOut += ": peak resident size grew by " + std::to_string(nGrowthKb) + " KiB";
                return 3;
            }
            try {
                int nNext = link.spConnection->receiveInt();
                if (static_cast<uint32_t>(nNext) != kNextValue) {
                    sOut += ": the bytes after the length were consumed";
                    return 4;
                }
            } catch (const MirelException& e) {
                sOut += ": reading on failed: " + e.getText();
                return 5;
            }
            return 0;
        },
        &sReport);
    EXPECT_EQ(0, nResult) << "claimed length " << nClaimed << " over the " << sReport;
}

class PeerInput : public ::testing::TestWithParam<std::tuple<const char*, uint32_t> > {};

}  // namespace

TEST_P(PeerInput, OversizedStringLengthIsRefusedWithoutAllocatingIt) {
    std::string sLink = std::get<0>(GetParam());
    if (sLink != "tcp") {
        MNET_REQUIRE_SHARED_DIR();
    }
    LinkMaker makeLink = sLink == "tcp"    ? tcpClientLink
                         : sLink == "pipe" ? pipeClientLink
                                           : pipeServerLink;
    expectRefused(makeLink, std::get<1>(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Links, PeerInput,
                         ::testing::Combine(::testing::Values("tcp", "pipe", "acceptedpipe"),
                                            ::testing::Values(0xFFFFFFFFu, 16777216u + 1u)),
                         [](const ::testing::TestParamInfo<PeerInput::ParamType>& info) {
                             return std::string(std::get<0>(info.param)) +
                                    (std::get<1>(info.param) == 0xFFFFFFFFu ? "_FFFFFFFF"
                                                                            : "_16MiBPlus1");
                         });
