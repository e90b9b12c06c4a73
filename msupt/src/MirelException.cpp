#include "MirelException.hpp"

namespace MirelSupport {

MirelException::MirelException(const MirelString& sText, int nCode)
    : m_sText(MirelStringToUString(sText)), m_nCode(nCode) {}

MirelException::MirelException(const MirelUString& sText, int nCode)
    : m_sText(sText), m_nCode(nCode) {}

MirelException::MirelException(const MirelException& source)
    : m_sText(source.m_sText), m_nCode(source.m_nCode), m_messages(source.m_messages) {}

MirelException& MirelException::operator=(const MirelException& source) {
    if (this != &source) {
        m_sText = source.m_sText;
        m_nCode = source.m_nCode;
        m_messages = source.m_messages;
    }
    return *this;
}

MirelException::~MirelException() {}

MirelString MirelException::getText() const {
    return MirelUStringToString(m_sText);
}

MirelUString MirelException::getUText() const {
    return m_sText;
}

void MirelException::setText(const MirelString& sText) {
    m_sText = MirelStringToUString(sText);
}

void MirelException::setText(const MirelUString& sText) {
    m_sText = sText;
}

int MirelException::getCode() const {
    return m_nCode;
}

void MirelException::setCode(int nCode) {
    m_nCode = nCode;
}

void MirelException::pushMessage(const MirelUString& sMessage) {
    m_messages.push_back(sMessage);
}

MirelUString MirelException::popMessage() {
    if (m_messages.empty()) {
        return MirelUString();
    }
    MirelUString sFront = m_messages.front();
    m_messages.pop_front();
    return sFront;
}

MirelString MirelException::getCallStack() const {
    return MirelString();
}

MirelString MirelException::getFormattedMessages() const {
    MirelString sResult = getText();
    for (const MirelUString& sMessage : m_messages) {
        sResult += '\n';
        sResult += MirelUStringToString(sMessage);
    }
    return sResult;
}

}  // namespace MirelSupport
