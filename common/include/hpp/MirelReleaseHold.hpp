/// \class MirelSupport::MirelReleaseHold
/// Holds back, on the calling thread, the release that would destroy one object.
///
/// A thread that calls into code which may drop the last reference to an object the thread
/// itself is running on (a sink's thread calling a callback that may release the sink) makes a
/// hold around that call. A release on that thread that takes the object's count to zero then
/// leaves the object alive, without a reference, and marks the hold; the holder finds that
/// through released() once the call is back and must then destroy the object, on another thread
/// if the object's destructor joins this one. Releases on other threads destroy as always.
///
/// Ownership: the hold refers to the object and owns nothing. The holds that exist are linked in
/// a process-wide list, each with its object and thread; a release looks there only when it takes
/// a count to zero while some hold exists. Threads: a hold belongs to the thread that made it
/// and lives on its stack; any thread may release.
#ifndef MIREL_RELEASE_HOLD_HPP
#define MIREL_RELEASE_HOLD_HPP

#include <thread>

#include "MirelObjectBase.hpp"
#include "MsuptExport.hpp"

namespace MirelSupport {

class MSUPT_API MirelReleaseHold {
public:
    /// Starts holding back the final release of object on this thread.
    explicit MirelReleaseHold(MirelObjectBase& object);
    /// Ends the hold; an object whose release was held back stays as it is.
    ~MirelReleaseHold();

    /// True once a release on this thread dropped the object's last reference during the hold.
    bool released() const { return m_bReleased; }
    /// The object held.
    const MirelObjectBase* object() const { return m_pObject; }
    /// The thread whose releases are held back.
    std::thread::id thread() const { return m_thread; }

    /// For MirelObjectBase::release: true, and the hold marked, when a hold of this thread
    /// covers pObject, whose last reference has just gone.
    static bool claim(const MirelObjectBase* pObject);

private:
    MirelReleaseHold(const MirelReleaseHold&);
    MirelReleaseHold& operator=(const MirelReleaseHold&);

    const MirelObjectBase* m_pObject;
    std::thread::id m_thread;
    bool m_bReleased;
    MirelReleaseHold* m_pNext;  // the next hold that exists; guarded by the list's lock
};

}  // namespace MirelSupport

#endif
