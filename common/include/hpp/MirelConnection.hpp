/// \class MirelNet::MirelConnection
/// Abstract connection: the typed, big-endian value protocol over three transport primitives.
///
/// Values travel back to back with no tag: int and long as 4 bytes, short as 2, a boolean as
/// the short 1 or 0, a string as a 4-byte length then its bytes, the acknowledge as 00 01 00 00
/// and the error message as 00 01 FF FF. Every typed operation first runs establish(), which
/// asks the transport to set itself up (establishImpl). Each put is one call of the transfer
/// primitive (a string is two: length, then content); the library's pipe and TCP connections
/// gather the puts of one typed operation, nested typed calls included, and send them with one
/// system call before the operation returns. Failures are thrown as MirelException with the
/// texts below; the primitives never throw.
///
/// Ownership: created with new, owned through MirelSmartPointer<MirelConnection>, never
/// copied. Threads: no lock is taken; one connection is used by one thread at a time.
#ifndef MIREL_CONNECTION_HPP
#define MIREL_CONNECTION_HPP

#include "MirelException.hpp"
#include "MirelObjectBase.hpp"
#include "MirelSmartPointer.hpp"
#include "MirelString.hpp"
#include "MnetExport.hpp"

namespace MirelNet {

using MirelSupport::MirelException;
using MirelSupport::MirelObjectBase;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

class MNET_API MirelConnection : public MirelObjectBase {
public:
    /// Longest string receiveString accepts from a peer (16 MiB); a longer length prefix is
    /// refused before anything is allocated.
    static const unsigned int MAX_STRING_LENGTH = 16777216u;

    /// A client connection, not raw, without a remote name.
    MirelConnection();
    /// A connection of the given role (client or accepted) to sRemoteName, not raw.
    MirelConnection(bool bClientConnection, const MirelString& sRemoteName);
    /// The same, raw when bRaw (raw: no initialize() hook after establishment).
    MirelConnection(bool bClientConnection, bool bRaw, const MirelString& sRemoteName);
    /// Releases the members only; each transport disconnects in its own destructor.
    virtual ~MirelConnection();

    /// Releases the transport; a later typed operation establishes again.
    virtual void disconnect() = 0;

    /// Typed writes. A send failure throws "MirelConnection::put: transfer failed." with the
    /// transport's error. A string longer than an int can count throws
    /// "MirelConnection::transfer: string too long." with 90 (EMSGSIZE), writing nothing.
    virtual void transfer(const MirelString& sString);
    /// An int: 4 bytes, big-endian.
    virtual void transfer(int nValue);
    /// A short: 2 bytes, big-endian.
    virtual void transfer(short nValue);
    /// 4 bytes on the wire. Where long is wider than 32 bits, values from -2147483648 to
    /// 4294967295 are written as their low 32 bits; any other value throws
    /// "MirelConnection::transfer: value out of range." with 75 (EOVERFLOW), writing nothing.
    virtual void transfer(long lValue);
    /// The short 1 or 0.
    virtual void transfer(bool bValue);

    /// Typed reads. Missing bytes throw "MirelConnection::get: failed read" with the
    /// transport's error (0 when the data simply ended).
    /// A string is cut at its first zero byte (all its bytes are consumed). A length above
    /// MAX_STRING_LENGTH throws "MirelConnection::receiveString: string too long." with 90
    /// (EMSGSIZE) and reads nothing after the length.
    virtual MirelString receiveString();
    /// Reads an int (4 bytes).
    virtual int receiveInt();
    /// Reads a short (2 bytes).
    virtual short receiveShort();
    /// Reads 4 bytes; sign-extended where long is wider.
    virtual long receiveLong();
    /// Writes the acknowledge message, 00 01 00 00.
    virtual void transferACK();
    /// Writes the error message, 00 01 FF FF.
    virtual void transferError();

    /// The name this connection was made for (an endpoint, a host), as given.
    virtual const MirelString& getRemoteName() const;
    /// The service named in the handshake; empty: no handshake.
    virtual const MirelString& getServiceName() const;
    /// Takes effect at the next establishment.
    virtual void setServiceName(const MirelString& sServiceName);

    /// Reads exactly nSize bytes or throws "MirelConnection::get: failed read"; no establish.
    virtual int get(void* pBuffer, int nSize);
    /// Writes nSize bytes or throws "MirelConnection::put: transfer failed."; no establish.
    virtual void put(void* pBuffer, int nSize);

    /// Looks at the next CR LF line without consuming anything. nSize: in, the buffer size;
    /// out, the number of bytes peeked. True when a whole printable line (20 to 7E) ended by
    /// CR LF lies within nSize - 1 bytes; pBuffer then holds it without the CR LF.
    virtual bool peekLine(char* pBuffer, int& nSize, int& nErrorCode);
    /// Reads and consumes the next line (without its CR LF) into pszBuffer and returns it; null
    /// when no line can be read: a transport error (nErrorCode set), data without a whole
    /// printable line within nBufferLen - 1 bytes (nothing consumed), or the end of the data
    /// (nErrorCode 107).
    virtual char* getLine(char* pszBuffer, int nBufferLen, int& nErrorCode);

    /// The transport primitives. Send: returns the count written, or -1 (0 when nothing could
    /// be attempted) with *error set. Receive: with bWaitForAll, returns toRead or fails with -1
    /// (or 0) and *error set. Peek: copies what waits without consuming it, nSize = count.
    /// Error 107 (ENOTCONN) means no transport or the peer closed.
    virtual long transfer(const char* buf, long bufLen, long* error) = 0;
    /// Receive primitive (see transfer(const char*, long, long*)).
    virtual long receive(char* bufPtr, long toRead, long* error, bool bWaitForAll) = 0;
    /// Peek primitive (see transfer(const char*, long, long*)).
    virtual bool peekBytes(void* pBuffer, int& nSize, int& nErrorCode) = 0;

    /// Switching raw mode off runs initialize() (even when it was already off).
    virtual void setRaw(bool bRaw);
    /// The server's host or bind address, where the transport knows one.
    virtual MirelString getServerName();
    /// The port as text, where the transport has one.
    virtual MirelString getPortName();
    /// True when the peer is on this machine (as the server that accepted it judged).
    virtual bool getLocalAccess() const;
    /// Sets what getLocalAccess reports.
    virtual void setLocalAccess(bool bLocalAccess);
    /// 1 in the base.
    virtual unsigned int getAccessRights() const;

protected:
    /// Hook run after a successful establishment and when raw mode is switched off.
    virtual void initialize();
    /// Clears the connected flag.
    virtual void cleanup();
    /// The service handshake: sends the service name and CR LF, then expects one '+' byte.
    /// True at once when no service name is set.
    virtual bool connectToServiceImpl();
    /// Sets up the transport. 0 and an untouched message on success; otherwise a code and/or
    /// a text, which establish() throws.
    virtual int establishImpl(MirelString& sExceptionMessage) = 0;

public:
    /// Runs establishImpl and throws its text and code when it reports a failure.
    void establish();
    /// Runs the handshake; a refusal throws "MirelConnection::connectToService: connection to
    /// remote service failed." with code 0.
    void connectToService();
    /// A C string is a string value, not a boolean.
    void transfer(const char* pszString) { transfer(MirelString(pszString ? pszString : "")); }

protected:
    bool m_bConnected;
    bool m_bClientConnection;
    MirelString m_sRemoteName;
    bool m_bRaw;
    MirelString m_sServiceName;
    MirelString m_sServerName;
    MirelString m_sPortName;
    bool m_bLocalAccess;

private:
    MirelConnection(const MirelConnection&);
    MirelConnection& operator=(const MirelConnection&);
};

}  // namespace MirelNet

extern template class MNET_API MirelSupport::MirelSmartPointer<MirelNet::MirelConnection>;

#include "inline/MirelConnection.inl"

#endif
