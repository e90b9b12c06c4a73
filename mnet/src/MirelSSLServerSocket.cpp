#include "MirelSSLServerSocket.hpp"

#include "internal/ServerGate.hpp"

namespace MirelNet {

MirelCertificate::MirelCertificate(const MirelString& sFile, const MirelString& sType,
                                   const MirelString& sKeyFile, const MirelString& sKeyType)
    : m_sFile(sFile), m_type(toType(sType)), m_sKeyFile(sKeyFile), m_keyType(toType(sKeyType)) {}

MirelCertificate::MirelCertificate(const MirelCertificate& source)
    : m_sFile(source.m_sFile),
      m_type(source.m_type),
      m_sKeyFile(source.m_sKeyFile),
      m_keyType(source.m_keyType) {}

MirelCertificate& MirelCertificate::operator=(const MirelCertificate& source) {
    if (this != &source) {
        m_sFile = source.m_sFile;
        m_type = source.m_type;
        m_sKeyFile = source.m_sKeyFile;
        m_keyType = source.m_keyType;
    }
    return *this;
}

MirelCertificate::~MirelCertificate() {}

const MirelString& MirelCertificate::getFile() const {
    return m_sFile;
}

int MirelCertificate::getType() const {
    return m_type;
}

const MirelString& MirelCertificate::getKeyFile() const {
    return m_sKeyFile;
}

int MirelCertificate::getKeyType() const {
    return m_keyType;
}

int MirelCertificate::toType(const MirelString&) {
    return 0;
}

MirelSSLServerSocket::MirelSSLServerSocket(int nPort, const MirelCertificate& certificate,
                                           int nBacklog, const MirelString& sBindAddress)
    : MirelServerSocket(nPort, nBacklog, sBindAddress), m_pSSLImpl(0), m_certificate(certificate) {}

MirelSSLServerSocket::~MirelSSLServerSocket() {
    shutDown();
    m_pGate->waitIdle();
}

void MirelSSLServerSocket::close() {
    if (m_pGate->isOpen(m_pSocketImpl)) {
        m_pSSLImpl = 0;
    }
    MirelServerSocket::close();
}

void MirelSSLServerSocket::init() {}

MirelSmartPointer<MirelConnection> MirelSSLServerSocket::waitForClientImpl(
    bool bIdentify, MirelString& sExceptionMessage, int& nErrorCode) {
    try {
        // Released at once: this server hands out no plain connections.
        MirelServerSocket::waitForClientImpl(bIdentify, sExceptionMessage, nErrorCode);
    } catch (const MirelException& e) {
        sExceptionMessage = e.getText();
        nErrorCode = e.getCode();
    }
    return MirelSmartPointer<MirelConnection>();
}

}  // namespace MirelNet
