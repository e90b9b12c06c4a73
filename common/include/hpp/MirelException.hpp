/// \class MirelSupport::MirelException
/// The one exception type of the suite: a wide text, an integer code and a queue of messages.
///
/// Thrown by value and caught by reference. The code is a system error number, an error passed
/// up from a lower layer, or 0. getText() gives the narrow text byte for byte as it was given.
/// An exception object is not shared between threads.
#ifndef MIREL_EXCEPTION_HPP
#define MIREL_EXCEPTION_HPP

#include <deque>

#include "MirelString.hpp"

namespace MirelSupport {

class MSUPT_API MirelException {
public:
    /// An exception with the narrow text sText and the code nCode; no messages.
    MirelException(const MirelString& sText, int nCode);
    /// An exception with the wide text sText and the code nCode; no messages.
    MirelException(const MirelUString& sText, int nCode);
    /// Copies the text, the code and the messages.
    MirelException(const MirelException& source);
    /// Copies the text, the code and the messages.
    MirelException& operator=(const MirelException& source);
    virtual ~MirelException();

    /// The text, narrowed byte for byte (see MirelUStringToString).
    virtual MirelString getText() const;
    /// The text as stored.
    virtual MirelUString getUText() const;
    /// Replaces the text.
    virtual void setText(const MirelString& sText);
    /// Replaces the text.
    virtual void setText(const MirelUString& sText);
    /// The code: a system error number, a lower layer's code, or 0.
    virtual int getCode() const;
    /// Replaces the code.
    virtual void setCode(int nCode);
    /// Appends at the back of the message queue.
    virtual void pushMessage(const MirelUString& sMessage);
    /// Takes the message at the front; an empty string when the queue is empty.
    virtual MirelUString popMessage();
    /// The place of the throw is not recorded: always the empty string.
    virtual MirelString getCallStack() const;
    /// The text, then each queued message on its own line.
    virtual MirelString getFormattedMessages() const;

private:
    MirelUString m_sText;
    int m_nCode;
    std::deque<MirelUString> m_messages;
};

}  // namespace MirelSupport

#endif
