// Internal: the growing pause between the tries of something that keeps failing. Not installed.
#ifndef MNET_INTERNAL_BACKOFF_HPP
#define MNET_INTERNAL_BACKOFF_HPP

namespace MirelNet {
namespace detail {

// A pause that starts at nFirstMs and doubles with each further step, up to nLongestMs; reset
// starts over. Used by one thread.
class Backoff {
public:
    Backoff(int nFirstMs, int nLongestMs)
        : m_nFirstMs(nFirstMs), m_nLongestMs(nLongestMs), m_nPauseMs(0) {}

    // Steps to the next pause and returns it: nFirstMs after a reset, else twice the last one,
    // at most nLongestMs.
    int next() {
        if (m_nPauseMs == 0) {
            m_nPauseMs = m_nFirstMs;
        } else {
            m_nPauseMs = m_nPauseMs > m_nLongestMs / 2 ? m_nLongestMs : m_nPauseMs * 2;
        }
        return m_nPauseMs;
    }
    // The pause next returned last; 0 before the first step and after a reset.
    int current() const { return m_nPauseMs; }
    void reset() { m_nPauseMs = 0; }

private:
    int m_nFirstMs;
    int m_nLongestMs;
    int m_nPauseMs;
};

}  // namespace detail
}  // namespace MirelNet

#endif
