#include "MirelEvent.hpp"

#include <chrono>

namespace MirelSupport {

MirelEvent::MirelEvent() : m_bSet(false) {}

MirelEvent::~MirelEvent() {}

void MirelEvent::set() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bSet = true;
    m_condition.notify_all();
}

void MirelEvent::reset() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_bSet = false;
}

bool MirelEvent::wait(int nTimeoutMs) {
    std::unique_lock<std::mutex> guard(m_mutex);
    if (nTimeoutMs < 0) {
        m_condition.wait(guard, [this] { return m_bSet; });
        return true;
    }
    return m_condition.wait_for(guard, std::chrono::milliseconds(nTimeoutMs),
                                [this] { return m_bSet; });
}

void* MirelEvent::getHandle() {
    return this;
}

MirelNotification* MirelEvent::createNotification() {
    return new MirelNotification(0);
}

void MirelEvent::destroyNotification(MirelNotification* pNotification) {
    delete pNotification;
}

bool MirelEvent::isSet() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_bSet;
}

}  // namespace MirelSupport
