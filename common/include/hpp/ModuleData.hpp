// Base of a shared library's one module object: an attach flag and an attach count.
//
// A library derives its module class from this, builds one static instance, attaches in the
// instance's constructor and detaches in its destructor. Used on the loading thread only.
#ifndef MODULE_DATA_HPP
#define MODULE_DATA_HPP

#include "MsuptExport.hpp"

namespace MirelSupport {

class MSUPT_API ModuleData {
public:
    explicit ModuleData(bool bAttach);
    ModuleData(const ModuleData& source);
    virtual ~ModuleData();

    virtual void attach();
    virtual void detach();

protected:
    bool isAttachEnabled() const { return m_bAttach; }
    int getAttachCount() const { return m_nAttachCount; }
    // Adds nDelta to the count and returns the new value.
    int addAttachCount(int nDelta) { return m_nAttachCount += nDelta; }

private:
    bool m_bAttach;
    int m_nAttachCount;
};

}  // namespace MirelSupport

#endif
