// The one exception type of the suite: a wide text, an integer code and a queue of messages.
//
// Thrown by value and caught by reference. The code is a system error number, an error passed
// up from a lower layer, or 0. getText() gives the narrow text byte for byte as it was given.
// An exception object is not shared between threads.
#ifndef MIREL_EXCEPTION_HPP
#define MIREL_EXCEPTION_HPP

#include <deque>

#include "MirelString.hpp"

namespace MirelSupport {

class MSUPT_API MirelException {
public:
    MirelException(const MirelString& sText, int nCode);
    MirelException(const MirelUString& sText, int nCode);
    MirelException(const MirelException& source);
    MirelException& operator=(const MirelException& source);
    virtual ~MirelException();

    virtual MirelString getText() const;
    virtual MirelUString getUText() const;
    virtual void setText(const MirelString& sText);
    virtual void setText(const MirelUString& sText);
    virtual int getCode() const;
    virtual void setCode(int nCode);
    // Appends at the back of the message queue.
    virtual void pushMessage(const MirelUString& sMessage);
    // Takes the message at the front; an empty string when the queue is empty.
    virtual MirelUString popMessage();
    // The place of the throw is not recorded: always the empty string.
    virtual MirelString getCallStack() const;
    // The text, then each queued message on its own line.
    virtual MirelString getFormattedMessages() const;

private:
    MirelUString m_sText;
    int m_nCode;
    std::deque<MirelUString> m_messages;
};

}  // namespace MirelSupport

#endif
