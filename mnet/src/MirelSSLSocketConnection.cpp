#include "MirelSSLSocketConnection.hpp"

#include <cerrno>

#include "internal/StreamIo.hpp"

namespace MirelNet {

namespace {

int descriptorOf(const MirelSmartPointer<MirelSocketConnection>& spClient) {
    return spClient ? detail::cellFd(spClient->getSocket()) : -1;
}

MirelString remoteNameOf(const MirelSmartPointer<MirelSocketConnection>& spClient) {
    return spClient ? spClient->getRemoteName() : MirelString();
}

}  // namespace

MirelSSLSocketConnection::MirelSSLSocketConnection(const MirelString& sRemoteName, int nPort,
                                                   bool bRaw)
    : MirelSocketConnection(sRemoteName, nPort, bRaw, false), m_pSSLImpl(0) {}

MirelSSLSocketConnection::MirelSSLSocketConnection(int client, const MirelString& sRemoteName,
                                                   MirelServerSocket* pServer,
                                                   bool bClientConnection)
    : MirelSocketConnection(client, sRemoteName, pServer, bClientConnection), m_pSSLImpl(0) {}

MirelSSLSocketConnection::MirelSSLSocketConnection(MirelSmartPointer<MirelSocketConnection> client,
                                                   void* pSSL)
    : MirelSocketConnection(descriptorOf(client), remoteNameOf(client), 0, true),
      m_client(client),
      m_pSSLImpl(pSSL) {
    if (descriptorOf(client) < 0) {
        // Nothing to take over: no descriptor, not connected until the first establish.
        MirelSocketConnection::disconnect();
    } else {
        takeSocket(*client, *this);
    }
    setRaw(true);
    MirelString sIgnored;
    establishImpl(sIgnored);
}

MirelSSLSocketConnection::~MirelSSLSocketConnection() {
    MirelSSLSocketConnection::disconnect();
}

void MirelSSLSocketConnection::disconnect() {
    m_pSSLImpl = 0;
    MirelSocketConnection::disconnect();
}

int MirelSSLSocketConnection::establishImpl(MirelString&) {
    if (!m_bConnected) {
        m_bConnected = true;
        initialize();
    }
    return 0;
}

long MirelSSLSocketConnection::transfer(const char*, long, long* error) {
    if (m_pSSLImpl == 0) {
        *error = ENOTCONN;
        return -1;
    }
    *error = 0;
    return 0;
}

long MirelSSLSocketConnection::receive(char*, long, long* error, bool) {
    if (m_pSSLImpl == 0) {
        *error = ENOTCONN;
        return -1;
    }
    *error = 0;
    return 0;
}

bool MirelSSLSocketConnection::peekBytes(void*, int& nSize, int& nErrorCode) {
    if (m_pSSLImpl == 0) {
        nErrorCode = ENOTCONN;
        nSize = 0;
        return false;
    }
    return nSize != 0;
}

}  // namespace MirelNet
