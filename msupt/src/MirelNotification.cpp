#include "MirelNotification.hpp"

namespace MirelSupport {

MirelNotification::MirelNotification() : m_nId(0) {}

MirelNotification::MirelNotification(long nId) : m_nId(nId) {}

MirelNotification::MirelNotification(const MirelNotification& source) : m_nId(source.m_nId) {}

MirelNotification& MirelNotification::operator=(const MirelNotification& source) {
    m_nId = source.m_nId;
    return *this;
}

MirelNotification::~MirelNotification() {}

long MirelNotification::getId() const {
    return m_nId;
}

}  // namespace MirelSupport
