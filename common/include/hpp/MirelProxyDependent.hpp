/// \class MirelNet::MirelProxyDependent
/// Stand-in, inside a serving process, for a dependent that lives in another process.
///
/// Holds the remote sink's callback address and the handle under which the remote callback is
/// registered; both are fixed at construction. remoteNotify opens one connection per call to
/// that address, writes the handle and the content, and closes it again: nothing is kept
/// between calls and nothing is read back.
/// Ownership: created with new and owned through MirelSmartPointer<MirelProxyDependent>, which
/// counts on the MirelObjectBase part (the second base); never copied. Threads: no lock; the
/// members are constant, so any number of threads may call remoteNotify at the same time.
#ifndef MIREL_PROXY_DEPENDENT_HPP
#define MIREL_PROXY_DEPENDENT_HPP

#include "MirelConnection.hpp"
#include "MirelDependent.hpp"
#include "MirelNotification.hpp"
#include "MirelObjectBase.hpp"
#include "MirelSmartPointer.hpp"
#include "MirelString.hpp"
#include "MnetExport.hpp"

namespace MirelNet {

using MirelSupport::MirelNotification;

class MNET_API MirelProxyDependent : public MirelSupport::MirelDependent,
                                     public MirelSupport::MirelObjectBase {
public:
    /// A sender to the callback address sRemoteName, for the callback registered there under
    /// hDependent. No I/O here.
    MirelProxyDependent(const MirelString& sRemoteName, long hDependent);
    virtual ~MirelProxyDependent();

    /// The remote callback address.
    const MirelString& getRemoteName() const;
    /// The handle cut to an int (on 64-bit, a handle beyond an int comes back changed).
    int getDependentHandle() const;
    /// The handle exactly as given at construction, the one the registry keys by.
    long getDependentHandleLong() const;

    /// Sends one callback message: the handle as a long, then addContent, with one send on a
    /// pipe or TCP connection (an exception out of addContent sends nothing there). The remote name
    /// chooses the transport by its leading text, tested in this order: "udp" (one datagram to
    /// host:port from index 4), "pipe" (the local endpoint named from index 5), "socket" (TCP to
    /// host:port from index 7), "ssl" (host:port from index 4); the character before the
    /// endpoint part is skipped unread. The port is read like atoi. A name made of its leading
    /// text alone counts as that text with an empty endpoint part. Any other name, or a host
    /// form without ':', sends nothing and reports nothing.
    /// Failures to establish or write a pipe, TCP or SSL connection are thrown as the
    /// connection's MirelException, unchanged, after the connection is closed; nothing but
    /// MirelException leaves this call. A UDP datagram that was never sent (a host that does not
    /// resolve, text that is no address, a send the system refused) throws
    /// "MirelUDPSocketConnection::transmit: failed to send data." with the error number that
    /// transmit logs; one lost on the way is not reported.
    /// Connecting and sending end by one deadline, 5 s unless MIREL_NOTIFY_TIMEOUT_MS gives a
    /// whole number of milliseconds from 1 to 600000 (another value is ignored, logged once at
    /// level 1): a sink that does not accept or does not read makes the call fail by then with
    /// the connection's usual text and 110 (ETIMEDOUT), "... connection request failed." or
    /// "MirelConnection::put: transfer failed.". Resolving a host name is not bounded by it.
    /// The deadline belongs to the one connection the call creates: a connection that
    /// addContent opens itself is not bounded by it.
    void remoteNotify(const MirelNotification& notification);

    /// Writes the content after the handle; whatever it writes must be what the remote
    /// callback reads. By default the notification's id, as one long.
    virtual void addContent(MirelConnection& client, const MirelNotification& notification);

private:
    MirelProxyDependent();
    MirelProxyDependent(const MirelProxyDependent&);
    MirelProxyDependent& operator=(const MirelProxyDependent&);

    const MirelString m_sRemoteName;
    const long m_hDependent;
};

}  // namespace MirelNet

extern template class MNET_API MirelSupport::MirelSmartPointer<MirelNet::MirelProxyDependent>;

#endif
