/// \class MirelSupport::MirelWorkInformation
/// A reference-counted piece of work that a MirelThread can be given to run.
#ifndef MIREL_WORK_INFORMATION_HPP
#define MIREL_WORK_INFORMATION_HPP

#include "MirelObjectBase.hpp"

namespace MirelSupport {

class MSUPT_API MirelWorkInformation : public MirelObjectBase {
public:
    MirelWorkInformation();
    virtual ~MirelWorkInformation();
};

}  // namespace MirelSupport

#endif
