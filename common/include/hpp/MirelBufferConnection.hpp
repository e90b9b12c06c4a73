/// \class MirelNet::MirelBufferConnection
/// A connection whose transport is a growable block of memory.
///
/// Typed values written are appended to the block; typed values read are taken from the
/// front. Bytes already read stay; the block grows in multiples of 8192 bytes and never
/// shrinks. Reading past the end throws "MirelConnection::get: failed read" with code 0.
/// Establishment never fails and disconnect keeps the data. The connection owns the block.
/// Threads: one thread at a time, like every connection.
#ifndef MIREL_BUFFER_CONNECTION_HPP
#define MIREL_BUFFER_CONNECTION_HPP

#include "MirelConnection.hpp"

namespace MirelNet {

class MNET_API MirelBufferConnection : public MirelConnection {
public:
    /// An empty client connection for writing: size() -1 and buf() null until the first write.
    MirelBufferConnection();
    /// A connection holding a copy of nSize received bytes, read from the first of them; not a
    /// client connection; remote name sClientName. Left empty when the copy cannot be made.
    MirelBufferConnection(void* pDataBuffer, int nSize, const MirelString& sClientName);
    /// Frees the block; does not disconnect.
    virtual ~MirelBufferConnection();

    /// Clears the connected flag; data and read position stay.
    virtual void disconnect();

    using MirelConnection::transfer;
    /// Appends. A block that cannot grow (no memory, or a size an int cannot count) fails with
    /// error 12 (ENOMEM) and stores nothing; a negative length fails with 22 (EINVAL).
    virtual long transfer(const char* buf, long bufLen, long* error);
    /// Takes up to toRead bytes from the read position; 0 at the end or before any write.
    virtual long receive(char* bufPtr, long toRead, long* error, bool bWaitForAll);
    /// Copies up to nSize bytes from the read position without consuming them; false (count 0)
    /// only before the first write.
    virtual bool peekBytes(void* pBuffer, int& nSize, int& nErrorCode);

    /// Start of the block (not the read position); null before the first write.
    const void* buf() const;
    /// Bytes written so far; -1 before the first write.
    int size() const;

protected:
    virtual int establishImpl(MirelString& sExceptionMessage);

    unsigned char* m_pDataBuffer;
    int m_nBufferSize;
    int m_nInIndex;
    int m_nOutIndex;

private:
    MirelBufferConnection(const MirelBufferConnection&);
    MirelBufferConnection& operator=(const MirelBufferConnection&);
};

}  // namespace MirelNet

#endif
