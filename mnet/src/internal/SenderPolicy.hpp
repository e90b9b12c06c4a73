// Internal: who may deliver to a pipe sink. Not installed.
//
// A pipe sink names every sender by the credentials the system gave its connection at accept
// (MirelPipeConnection::getPeerCredentials). Root and the sink's own user may always deliver.
// Besides them, by default, the members of the shared-service directory's group: the users its
// permissions let in, so that the rule still holds when someone loosens them. MIREL_SINK_ALLOW,
// a comma list of "any", "uid:N", "user:NAME" and "group:NAME", replaces that group rule;
// "any" lets everyone deliver. An entry that is not one of these, or names a user or group the
// system does not know, is reported once at level 1 and ignored; a list without a valid entry
// leaves the default. Membership of a group counts the sender's primary group and its
// supplementary groups as they were when it connected; where the system cannot give those (an
// emulator that does not pass SO_PEERGROUPS on), the groups the group database gives its user.
//
// TCP and UDP connections carry no name of their sender: the policy cannot apply to them and
// lets them through (the sink says so when it starts).
//
// Threads: built once, then only read; admits may run on any thread.
#ifndef MNET_INTERNAL_SENDER_POLICY_HPP
#define MNET_INTERNAL_SENDER_POLICY_HPP

#include <vector>

#include "MirelString.hpp"

namespace MirelNet {

class MirelConnection;

namespace detail {

class SenderPolicy {
public:
    // The policy of a sink constructed now: MIREL_SINK_ALLOW, the effective user of this
    // process and the group of the shared-service directory (none when it cannot be read).
    static SenderPolicy forSink();
    // A policy from an allow list (null or empty: the default group rule). Entries that are
    // not valid are collected in *psRejected (comma-separated; left empty when all are valid).
    SenderPolicy(const char* pszAllow, unsigned int nOwnUid, bool bDirectoryGroup,
                 unsigned int nDirectoryGid, MirelSupport::MirelString* psRejected);

    // True when the sender on connection may deliver: always for a connection that cannot
    // name its sender (TCP, UDP), never for a pipe connection whose sender the system did not
    // name (unless "any"). *psWho gets "uid N pid N" for the record of a refusal.
    bool admits(MirelConnection& connection, MirelSupport::MirelString* psWho) const;

private:
    bool m_bAny;
    unsigned int m_nOwnUid;
    std::vector<unsigned int> m_uids;
    std::vector<unsigned int> m_gids;
};

}  // namespace detail
}  // namespace MirelNet

#endif
