/// \class MirelSupport::MirelSmartPointer
/// Intrusive reference-counting pointer.
///
/// A non-null pointer stands for exactly one reference on its object. addRef()/release() are
/// always called on the object's MirelObjectBase part, so classes whose first base is another
/// class (a callback, a proxy dependent) are counted correctly. The pointer has no lock: one
/// pointer variable must not be assigned from two threads at once (the count itself is atomic).
/// Fully defined here so that client code can hold its own classes in it.
#ifndef MIREL_SMART_POINTER_HPP
#define MIREL_SMART_POINTER_HPP

#include "MirelObjectBase.hpp"

namespace MirelSupport {

template <class T>
class MirelSmartPointer {
public:
    MirelSmartPointer() : m_pObject(0) {}

    /// Holds pObject (may be null), taking one reference to it.
    MirelSmartPointer(T* pObject) : m_pObject(pObject) {
        if (m_pObject) {
            base(m_pObject)->addRef();
        }
    }

    /// Holds the object of source too, taking one more reference.
    MirelSmartPointer(const MirelSmartPointer& source) : m_pObject(source.m_pObject) {
        if (m_pObject) {
            base(m_pObject)->addRef();
        }
    }

    ~MirelSmartPointer() {
        if (m_pObject) {
            base(m_pObject)->release();
        }
    }

    /// Same object (or self-assignment): no change. Otherwise the new object gets its reference
    /// before the old one is released, so an old object that holds the only reference to the new
    /// one (head = head->next) cannot destroy it on the way.
    MirelSmartPointer& operator=(const MirelSmartPointer& source) {
        if (&source != this && source.m_pObject != m_pObject) {
            assign(source.m_pObject);
        }
        return *this;
    }

    /// Holds pObject instead, as assignment from another pointer does.
    MirelSmartPointer& operator=(T* pObject) {
        if (pObject != m_pObject) {
            assign(pObject);
        }
        return *this;
    }

    /// The object held (null when empty); no reference changes hands.
    ///@{
    T* operator->() { return m_pObject; }
    T* operator->() const { return m_pObject; }
    T& operator*() { return *m_pObject; }
    T& operator*() const { return *m_pObject; }
    operator T*() const { return m_pObject; }
    ///@}

    /// 1 when both refer to the same object (or both are null).
    int operator==(const MirelSmartPointer& object) const {
        return m_pObject == object.m_pObject ? 1 : 0;
    }
    /// No two smart pointers are ordered.
    int operator<(const MirelSmartPointer&) const { return 0; }

    /// Hands the reference to the caller, who gives it back with release() on the object.
    T* getOwnership() {
        T* pObject = m_pObject;
        m_pObject = 0;
        return pObject;
    }

private:
    static MirelObjectBase* base(T* pObject) { return static_cast<MirelObjectBase*>(pObject); }

    /// source may live inside the old object: it is not read after the release.
    void assign(T* pObject) {
        if (pObject) {
            base(pObject)->addRef();
        }
        T* pOld = m_pObject;
        m_pObject = pObject;
        if (pOld) {
            base(pOld)->release();
        }
    }

    T* m_pObject;
};

}  // namespace MirelSupport

#endif
