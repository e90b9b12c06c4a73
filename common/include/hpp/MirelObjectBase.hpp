/// \class MirelSupport::MirelObjectBase
/// Root of every reference-counted object.
///
/// A new object holds no reference; the first MirelSmartPointer (or addRef) takes one and the
/// last release() deletes the object. The count is atomic: references may be taken and given
/// back on any thread. Objects are created with new and are never copied.
#ifndef MIREL_OBJECT_BASE_HPP
#define MIREL_OBJECT_BASE_HPP

#include <atomic>

#include "MirelString.hpp"

namespace MirelSupport {

class MSUPT_API MirelObjectBase {
public:
    MirelObjectBase();
    virtual ~MirelObjectBase();

    /// Takes one more reference.
    virtual void addRef();
    /// Deletes the object when the count drops to zero, unless a MirelReleaseHold of this
    /// thread covers it (the holder then destroys it).
    virtual void release();
    /// The number of references held now.
    virtual int refCount() const;
    /// True when name is exactly getClassName(); base class names do not match.
    virtual bool isA(const MirelString& sName) const;
    /// Class name of the most derived type, without namespace (see normalizeClassName).
    virtual MirelString getClassName() const;

    /// Maps a run-time (mangled) type name to the reported class name: demangled, with any
    /// namespace qualification removed ("N8MirelNet10MirelThingE" gives "MirelThing").
    static MirelString normalizeClassName(const MirelString& sTypeName);

private:
    MirelObjectBase(const MirelObjectBase&);
    MirelObjectBase& operator=(const MirelObjectBase&);

    std::atomic<int> m_nRefCount;
};

}  // namespace MirelSupport

#endif
