/// \class MirelNet::MirelCertificate
/// The certificate and private-key files that an SSL server presents.
///
/// A plain value: copied member-wise (the SSL server keeps its own copy), no I/O, no checks;
/// the files are neither opened nor validated. Encodings are not defined by the library, so
/// every type name maps to 0. Threads: a value; copies may be used on any thread.
#ifndef MIREL_CERTIFICATE_HPP
#define MIREL_CERTIFICATE_HPP

#include "MirelString.hpp"
#include "MnetExport.hpp"

namespace MirelNet {

using MirelSupport::MirelString;

class MNET_API MirelCertificate {
public:
    /// The certificate file and its type name, the key file and its type name; stored as given.
    MirelCertificate(const MirelString& sFile, const MirelString& sType,
                     const MirelString& sKeyFile, const MirelString& sKeyType);
    /// Copies every member.
    MirelCertificate(const MirelCertificate& source);
    /// Copies every member.
    MirelCertificate& operator=(const MirelCertificate& source);
    virtual ~MirelCertificate();

    /// The certificate file.
    virtual const MirelString& getFile() const;
    /// The certificate type (toType of its name).
    virtual int getType() const;
    /// The private-key file.
    virtual const MirelString& getKeyFile() const;
    /// The key type (toType of its name).
    virtual int getKeyType() const;

    /// 0 for every name, the empty one included.
    static int toType(const MirelString& sType);

protected:
    MirelString m_sFile;
    int m_type;
    MirelString m_sKeyFile;
    int m_keyType;

private:
    MirelCertificate();
};

}  // namespace MirelNet

#endif
