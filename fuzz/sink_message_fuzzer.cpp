// One incoming callback message as the sink handles it: the handle, then the content read by
// the callback registered under it, whatever the bytes and whatever the callback throws.
//
// Input: byte 0 holds options (bit 0: log at level 9, into /dev/null, so that the records of
// the delivery are built; bit 1: the connection is made empty and the message written with
// put, instead of being built from the message; bit 2, which overrides bit 1: the message
// lies in the read buffer of an accepted pipe connection, whole, as the sink hands it over
// once its sender has closed; a read that went to the socket would block for ever). The rest
// is the message.
//
// Registered callbacks: 1 reads a long (and, when it is negative, removes itself from the
// container and adds itself again while it runs); 2 reads a string and an int; 3 reads a short
// and then throws a MirelException made from it; 4 reads an int and then throws a standard
// exception (even value) or an int (odd value). Other handles are not registered.
//
// The delivery must not throw; it must report DELIVERED exactly when a callback's doCallback
// returned normally, NO_CALLBACK for a whole handle nobody registered, FAILED with a text
// otherwise; only the addressed callback runs, at most once; a callback's event is set
// exactly when its doCallback returned normally; the values read, the read position afterwards
// and every reference count are compared with what the message says.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <sys/socket.h>
#include <unistd.h>
#include <string>
#include <vector>

#include "MirelBufferConnection.hpp"
#include "MirelCallbackContainer.hpp"
#include "MirelException.hpp"
#include "MirelLogging.hpp"
#include "MirelNotificationCallback.hpp"
#include "MirelPipeConnection.hpp"
#include "internal/Inbox.hpp"
#include "internal/StreamIo.hpp"

namespace {

using MirelNet::MirelBufferConnection;
using MirelNet::MirelCallbackContainer;
using MirelNet::MirelConnection;
using MirelNet::MirelNotificationCallback;
using MirelNet::MirelPipeConnection;
using MirelSupport::MirelException;
using MirelSupport::MirelSmartPointer;
using MirelSupport::MirelString;

const std::uint32_t kMaxStringLength = 16777216u;
const int kCallbackCount = 4;  // registered under the ids 1 to 4

void require(bool bHolds, const char* pszWhat) {
    if (!bHolds) {
        std::fprintf(stderr, "sink_message_fuzzer: %s\n", pszWhat);
        std::abort();
    }
}

MirelCallbackContainer* g_pContainer = 0;
MirelNet::detail::Inbox* g_pInbox = 0;  // the sink's inbox, over g_pContainer
int g_nSilentSocket = -1;               // one end of a socket pair nobody ever writes to

// What a callback saw during one delivery.
struct Seen {
    int nCalls;
    bool bReturned;      // doCallback reached its end
    long lValue;         // callback 1: the long
    MirelString sValue;  // callback 2: the string
    int nValue;          // callback 2: the int; callback 4: the int
    short nShort;        // callback 3: the short

    void clear() {
        nCalls = 0;
        bReturned = false;
        lValue = 0;
        sValue.clear();
        nValue = 0;
        nShort = 0;
    }
};

class FuzzCallback : public MirelNotificationCallback {
public:
    explicit FuzzCallback(int nId) : MirelNotificationCallback(nId) { seen.clear(); }
    Seen seen;

protected:
    virtual void doCallback(MirelSmartPointer<MirelConnection>& spConnection) {
        ++seen.nCalls;
        switch (getId()) {
            case 1:
                seen.lValue = spConnection->receiveLong();
                if (seen.lValue < 0) {
                    // Re-entrant use of the container during the delivery: the sink's own
                    // reference keeps this object alive while it is out of the container.
                    MirelSmartPointer<MirelNotificationCallback> spSelf(this);
                    g_pContainer->remove(1);
                    require(!g_pContainer->lookup(1), "a removed callback is still found");
                    g_pContainer->add(spSelf);
                }
                break;
            case 2:
                seen.sValue = spConnection->receiveString();
                seen.nValue = spConnection->receiveInt();
                break;
            case 3:
                seen.nShort = spConnection->receiveShort();
                throw MirelException(
                    MirelString("short callback: refused ") + std::to_string(seen.nShort),
                    seen.nShort);
            default:
                seen.nValue = spConnection->receiveInt();
                if (seen.nValue % 2 == 0) {
                    throw std::runtime_error("standard callback failure " +
                                             std::to_string(seen.nValue));
                }
                throw seen.nValue;
        }
        seen.bReturned = true;
    }
};

MirelSmartPointer<FuzzCallback> g_callbacks[kCallbackCount + 1];  // index = id; 0 unused

// The message with a read position, and what a reader of it should meet.
struct Model {
    std::vector<unsigned char> data;
    std::size_t nPos;

    std::size_t left() const { return data.size() - nPos; }
    std::int32_t be32() const {
        return static_cast<std::int32_t>(
            (std::uint32_t(data[nPos]) << 24) | (std::uint32_t(data[nPos + 1]) << 16) |
            (std::uint32_t(data[nPos + 2]) << 8) | std::uint32_t(data[nPos + 3]));
    }
    std::int16_t be16() const {
        return static_cast<std::int16_t>((data[nPos] << 8) | data[nPos + 1]);
    }

    // A fixed-width read: false (and the rest consumed) when fewer bytes remain.
    bool take(std::size_t nWidth) {
        if (left() < nWidth) {
            nPos = data.size();
            return false;
        }
        nPos += nWidth;
        return true;
    }
};

// What the delivery of the message should do.
struct Expected {
    int nHandle;     // the callback addressed; 0 when none runs
    bool bHandle;    // the message holds a whole handle
    bool bReturned;  // its doCallback returns normally
    std::size_t nPosAfter;
    Seen seen;
};

Expected expect(Model model) {
    Expected e;
    e.nHandle = 0;
    e.bHandle = model.left() >= 4;
    e.bReturned = false;
    e.seen.clear();
    if (!e.bHandle) {
        e.nPosAfter = model.data.size();
        return e;
    }
    int nHandle = model.be32();
    model.nPos += 4;
    if (nHandle < 1 || nHandle > kCallbackCount) {
        e.nPosAfter = model.nPos;
        return e;
    }
    e.nHandle = nHandle;
    e.seen.nCalls = 1;
    switch (nHandle) {
        case 1:
            if (model.left() >= 4) {
                e.seen.lValue = model.be32();
            }
            e.bReturned = model.take(4);
            break;
        case 2: {
            if (model.left() < 4) {
                model.take(4);
                break;
            }
            std::uint32_t nLength = static_cast<std::uint32_t>(model.be32());
            model.nPos += 4;
            if (nLength > kMaxStringLength) {
                break;  // refused before its content is read
            }
            if (nLength > model.left()) {
                model.nPos = model.data.size();
                break;
            }
            const char* pStart = reinterpret_cast<const char*>(model.data.data() + model.nPos);
            e.seen.sValue.assign(pStart, strnlen(pStart, nLength));
            model.nPos += nLength;
            if (model.left() >= 4) {
                e.seen.nValue = model.be32();
            }
            e.bReturned = model.take(4);
            break;
        }
        case 3:
            if (model.left() >= 2) {
                e.seen.nShort = model.be16();
            }
            model.take(2);
            break;
        default:
            if (model.left() >= 4) {
                e.seen.nValue = model.be32();
            }
            model.take(4);
            break;
    }
    e.seen.bReturned = e.bReturned;
    e.nPosAfter = model.nPos;
    return e;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    MirelSupport::MirelLogging::getInstance().setFile("/dev/null");
    int pair[2];
    require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0, "no socket pair");
    g_nSilentSocket = pair[0];
    g_pContainer = new MirelCallbackContainer();  // lives as long as the process
    g_pInbox = new MirelNet::detail::Inbox(*g_pContainer, [] { return false; });
    for (int nId = 1; nId <= kCallbackCount; ++nId) {
        g_callbacks[nId] = new FuzzCallback(nId);
        g_pContainer->add(MirelSmartPointer<MirelNotificationCallback>(
            static_cast<FuzzCallback*>(g_callbacks[nId])));
    }
    return 0;
}

namespace {

// The connection the message is delivered from, in the form the options byte picks; *pbStream
// tells whether it is a stream connection holding the whole message in its read buffer.
MirelSmartPointer<MirelConnection> makeConnection(std::uint8_t nOptions, const Model& model,
                                                  bool* pbStream) {
    int nSize = static_cast<int>(model.data.size());
    *pbStream = (nOptions & 0x04) != 0;
    if (*pbStream) {
        int nFd = ::dup(g_nSilentSocket);
        require(nFd >= 0, "no descriptor for the pipe connection");
        MirelSmartPointer<MirelConnection> spPipe(new MirelPipeConnection(&nFd, 1));
        MirelNet::detail::StreamCell* pCell = static_cast<MirelNet::detail::StreamCell*>(
            static_cast<MirelPipeConnection*>(spPipe.operator->())->getPipeHandle());
        pCell->buffer.assign(model.data.begin(), model.data.end());
        pCell->nEnd = model.data.size();
        pCell->bComplete = true;
        return spPipe;
    }
    if ((nOptions & 0x02) != 0) {
        MirelSmartPointer<MirelConnection> spBuffer(new MirelBufferConnection());
        if (nSize > 0) {
            spBuffer->put(const_cast<unsigned char*>(model.data.data()), nSize);
        }
        return spBuffer;
    }
    return MirelSmartPointer<MirelConnection>(new MirelBufferConnection(
        const_cast<unsigned char*>(model.data.data()), nSize, MirelString("fuzz")));
}

void checkCallbacks(const Expected& e) {
    for (int nId = 1; nId <= kCallbackCount; ++nId) {
        FuzzCallback& callback = *g_callbacks[nId];
        bool bAddressed = nId == e.nHandle;
        require(callback.seen.nCalls == (bAddressed ? 1 : 0),
                "a callback ran that was not addressed, or twice");
        require(callback.isSet() == callback.seen.bReturned,
                "a callback's event does not say whether its doCallback returned");
        require(callback.refCount() == 2, "the delivery kept or dropped a reference to a callback");
        if (!bAddressed) {
            continue;
        }
        require(callback.seen.bReturned == e.bReturned,
                "the callback's doCallback ended otherwise than expected");
        require(callback.seen.lValue == e.seen.lValue, "callback 1 read the wrong long");
        require(callback.seen.sValue == e.seen.sValue, "callback 2 read the wrong string");
        require(callback.seen.nValue == e.seen.nValue, "a callback read the wrong int");
        require(callback.seen.nShort == e.seen.nShort, "callback 3 read the wrong short");
    }
    MirelNotificationCallback* pFirst = static_cast<FuzzCallback*>(g_callbacks[1]);
    require(static_cast<MirelNotificationCallback*>(g_pContainer->lookup(1)) == pFirst,
            "callback 1 is no longer registered");
}

// The read position: exactly what the handle and the callback consumed. A stream connection
// whose message has ended gives what is left and then fails as data that ended (code 0).
void checkRest(MirelConnection& connection, const Model& model, const Expected& e, bool bStream) {
    std::size_t nLeft = model.data.size() - e.nPosAfter;
    std::vector<char> rest(nLeft + 1);
    long nError = -1;
    long nCount =
        connection.receive(rest.data(), static_cast<long>(rest.size()), &nError, !bStream);
    require(nError == 0, "the final receive reported an error");
    long nExpected = bStream && nLeft == 0 ? -1 : static_cast<long>(nLeft);
    require(nCount == nExpected, "the delivery consumed the wrong number of bytes");
    require(nLeft == 0 || std::memcmp(rest.data(), model.data.data() + e.nPosAfter, nLeft) == 0,
            "the bytes left are wrong");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
    if (nSize == 0) {
        return 0;
    }
    Model model;
    model.data.assign(pData + 1, pData + nSize);
    model.nPos = 0;
    Expected e = expect(model);

    MirelSupport::MirelLogging::getInstance().setLevel((pData[0] & 0x01) != 0 ? 9 : 0);
    for (int nId = 1; nId <= kCallbackCount; ++nId) {
        g_callbacks[nId]->seen.clear();
        g_callbacks[nId]->reset();
    }
    bool bStream = false;
    MirelSmartPointer<MirelConnection> spConnection = makeConnection(pData[0], model, &bStream);

    MirelNet::detail::Delivery delivery = MirelNet::detail::FAILED;
    MirelString sFailure;
    try {
        delivery = g_pInbox->deliver(spConnection, &sFailure);
    } catch (...) {
        require(false, "the delivery let an exception out");
    }
    require((delivery == MirelNet::detail::DELIVERED) == e.bReturned,
            "the delivery's result does not say whether a callback completed");
    require((delivery == MirelNet::detail::NO_CALLBACK) == (e.bHandle && e.nHandle == 0),
            "the delivery's result does not say that nobody is registered under the handle");
    require((delivery == MirelNet::detail::FAILED) == !sFailure.empty(),
            "a failure came without its text, or a text without a failure");
    checkCallbacks(e);
    checkRest(*spConnection, model, e, bStream);
    require(spConnection->refCount() == 1,
            "the delivery kept or dropped a reference to the connection");
    return 0;
}
