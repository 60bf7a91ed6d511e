#pragma once

// Why a user may or may not read and write a device node: its mode, owner and group,
// and its POSIX ACL (libacl), which is how udev's uaccess gives the user at the seat
// a root-owned hidraw node. The decision follows the kernel's own order (owner, named
// user entry, owning and named groups, others; the mask limits the middle ones), so a
// tool can say which entry decided and for whom, not just that access(2) failed.
//
// Reading (stat and ACL) is apart from deciding, so tests decide for any user on
// entries they write themselves.

#include <sys/types.h>

#include <string>
#include <vector>

// Whose access is asked about.
struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups
    // CAP_DAC_OVERRIDE: modes and ACLs do not bind (root, normally).
    bool overridesModes = false;

    // This process's effective user, groups and capability.
    static Credentials OfProcess();
    bool InGroup(gid_t group) const;
};

enum AclPerm : unsigned { kPermRead = 4, kPermWrite = 2, kPermExecute = 1 };

struct AclEntry {
    enum class Tag { UserObj, User, GroupObj, Group, Mask, Other };
    Tag tag = Tag::Other;
    unsigned id = 0;     // uid or gid for User and Group entries
    unsigned perms = 0;  // AclPerm bits

    bool operator==(const AclEntry&) const = default;
};

// What stat and the ACL say about a file.
struct FileSecurity {
    unsigned mode = 0;  // permission bits (07777)
    uid_t owner = 0;
    gid_t group = 0;
    // The named users and groups, the mask and the owning group's entry; empty when
    // the file has only its mode.
    std::vector<AclEntry> acl;
};

// Reads `path` (following a symlink, as open() does). False, with errno's text in
// `error`, when it cannot be stat'ed; an ACL that cannot be read (a file system
// without ACLs) leaves `acl` empty.
bool ReadFileSecurity(const std::string& path, FileSecurity* security, std::string* error);

struct AccessDecision {
    enum class Via { Root, Owner, UserEntry, Group, Other };
    bool granted = false;
    Via via = Via::Other;        // what decided, granted or not
    bool masked = false;         // an entry would grant, but the mask takes it away
    unsigned effective = 0;      // the permissions that applied
    std::vector<gid_t> matched;  // the groups that were considered (Via::Group)
};

// Whether `who` gets every bit of `wanted` (AclPerm bits). One who overrides modes
// always does.
AccessDecision DecideAccess(const FileSecurity& file, const Credentials& who, unsigned wanted);

// "rw-", "r--", ...
std::string PermText(unsigned perms);
// "user:alice:rw-", "group:plugdev:rw-", "mask::rw-" (names where the system knows
// them, else the number).
std::string AclEntryText(const AclEntry& entry);
// "alice" or "1000"; "root" for 0.
std::string UserName(uid_t uid);
std::string GroupName(gid_t gid);

// One line for people about `file` and `who`'s access, for instance
//   "mode 0600, owner root, group root, others ---; no ACL entry for you"
//   "you have rw- through the ACL entry user:alice:rw- (what uaccess gives)"
std::string DescribeAccess(const FileSecurity& file, const Credentials& who,
                           const AccessDecision& decision);
