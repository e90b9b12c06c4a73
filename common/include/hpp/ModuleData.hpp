/// \class MirelSupport::ModuleData
/// Base of a shared library's one module object: an attach flag and an attach count.
///
/// A library derives its module class from this, builds one static instance, attaches in the
/// instance's constructor and detaches in its destructor. Used on the loading thread only.
#ifndef MODULE_DATA_HPP
#define MODULE_DATA_HPP

#include "MsuptExport.hpp"

namespace MirelSupport {

class MSUPT_API ModuleData {
public:
    /// A module object that attaches (when bAttach) in the derived class's constructor.
    explicit ModuleData(bool bAttach);
    /// Copies the flag and the count.
    ModuleData(const ModuleData& source);
    virtual ~ModuleData();

    /// Counts one attach; a library adds its start-up.
    virtual void attach();
    /// Counts one detach; a library adds its shut-down.
    virtual void detach();

protected:
    /// True when this object was made to attach.
    bool isAttachEnabled() const { return m_bAttach; }
    /// Attaches less detaches so far.
    int getAttachCount() const { return m_nAttachCount; }
    /// Adds nDelta to the count and returns the new value.
    int addAttachCount(int nDelta) { return m_nAttachCount += nDelta; }

private:
    bool m_bAttach;
    int m_nAttachCount;
};

}  // namespace MirelSupport

#endif
