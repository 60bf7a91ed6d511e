#include "platform/hid/node_access.h"

#include <acl/libacl.h>
#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sys/acl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

Credentials Credentials::OfProcess() {
    Credentials who;
    who.uid = ::geteuid();
    who.gid = ::getegid();
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        who.groups.resize(static_cast<std::size_t>(count));
        const int got = ::getgroups(count, who.groups.data());
        who.groups.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (::syscall(SYS_capget, &header, data) == 0)
        who.overridesModes = (data[0].effective & (1u << CAP_DAC_OVERRIDE)) != 0;
    return who;
}

bool Credentials::InGroup(gid_t group) const {
    return group == gid || std::find(groups.begin(), groups.end(), group) != groups.end();
}

namespace {

unsigned PermsOf(acl_entry_t entry) {
    acl_permset_t permset = nullptr;
    if (acl_get_permset(entry, &permset) != 0)
        return 0;
    unsigned perms = 0;
    if (acl_get_perm(permset, ACL_READ) == 1)
        perms |= kPermRead;
    if (acl_get_perm(permset, ACL_WRITE) == 1)
        perms |= kPermWrite;
    if (acl_get_perm(permset, ACL_EXECUTE) == 1)
        perms |= kPermExecute;
    return perms;
}

// The named entries, the mask and the owning group's entry (which the mode shows only
// while there is no mask); the owner's and others' entries mirror the mode.
std::vector<AclEntry> ExtendedEntries(acl_t acl) {
    std::vector<AclEntry> entries;
    acl_entry_t entry = nullptr;
    for (int r = acl_get_entry(acl, ACL_FIRST_ENTRY, &entry); r == 1;
         r = acl_get_entry(acl, ACL_NEXT_ENTRY, &entry)) {
        acl_tag_t tag = ACL_UNDEFINED_TAG;
        if (acl_get_tag_type(entry, &tag) != 0)
            continue;
        AclEntry e;
        e.perms = PermsOf(entry);
        if (tag == ACL_USER || tag == ACL_GROUP) {
            void* qualifier = acl_get_qualifier(entry);
            if (qualifier == nullptr)
                continue;
            e.id =
                tag == ACL_USER ? *static_cast<uid_t*>(qualifier) : *static_cast<gid_t*>(qualifier);
            acl_free(qualifier);
            e.tag = tag == ACL_USER ? AclEntry::Tag::User : AclEntry::Tag::Group;
        } else if (tag == ACL_MASK) {
            e.tag = AclEntry::Tag::Mask;
        } else if (tag == ACL_GROUP_OBJ) {
            e.tag = AclEntry::Tag::GroupObj;
        } else {
            continue;
        }
        entries.push_back(e);
    }
    // Only the owning group's entry: the mode says it all.
    if (entries.size() == 1 && entries[0].tag == AclEntry::Tag::GroupObj)
        entries.clear();
    return entries;
}

const AclEntry* FindEntry(const std::vector<AclEntry>& acl, AclEntry::Tag tag, unsigned id = 0) {
    for (const AclEntry& e : acl) {
        if (e.tag == tag && (tag == AclEntry::Tag::Mask || e.id == id))
            return &e;
    }
    return nullptr;
}

}  // namespace

bool ReadFileSecurity(const std::string& path, FileSecurity* security, std::string* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    security->mode = st.st_mode & 07777;
    security->owner = st.st_uid;
    security->group = st.st_gid;
    security->acl.clear();
    if (acl_t acl = acl_get_file(path.c_str(), ACL_TYPE_ACCESS); acl != nullptr) {
        security->acl = ExtendedEntries(acl);
        acl_free(acl);
    }
    return true;
}

AccessDecision DecideAccess(const FileSecurity& file, const Credentials& who, unsigned wanted) {
    AccessDecision d;
    if (who.overridesModes) {
        d.granted = true;
        d.via = AccessDecision::Via::Root;
        d.effective = kPermRead | kPermWrite | kPermExecute;
        return d;
    }
    const AclEntry* mask = FindEntry(file.acl, AclEntry::Tag::Mask);
    // With a mask the mode's group bits are the mask, and the owning group has an
    // entry of its own.
    const AclEntry* groupObj = FindEntry(file.acl, AclEntry::Tag::GroupObj);
    const unsigned groupObjPerms =
        mask != nullptr && groupObj != nullptr ? groupObj->perms : (file.mode >> 3) & 7;
    auto limit = [mask](unsigned perms) { return mask != nullptr ? perms & mask->perms : perms; };
    auto grants = [wanted](unsigned perms) { return (perms & wanted) == wanted; };

    if (who.uid == file.owner) {
        d.via = AccessDecision::Via::Owner;
        d.effective = (file.mode >> 6) & 7;
    } else if (const AclEntry* user = FindEntry(file.acl, AclEntry::Tag::User, who.uid)) {
        d.via = AccessDecision::Via::UserEntry;
        d.effective = limit(user->perms);
        d.masked = grants(user->perms) && !grants(d.effective);
    } else {
        // Every matching group entry counts, and one that grants all is enough.
        auto consider = [&](unsigned perms, gid_t gid) {
            d.via = AccessDecision::Via::Group;
            d.matched.push_back(gid);
            const unsigned effective = limit(perms);
            if (d.matched.size() == 1 || (grants(effective) && !grants(d.effective))) {
                d.effective = effective;
                d.masked = grants(perms) && !grants(effective);
            }
        };
        if (who.InGroup(file.group))
            consider(groupObjPerms, file.group);
        for (const AclEntry& e : file.acl) {
            if (e.tag == AclEntry::Tag::Group && who.InGroup(e.id))
                consider(e.perms, e.id);
        }
        if (d.matched.empty()) {
            d.via = AccessDecision::Via::Other;
            d.effective = file.mode & 7;
        }
    }
    d.granted = grants(d.effective);
    return d;
}

std::string PermText(unsigned perms) {
    std::string text = "---";
    if (perms & kPermRead)
        text[0] = 'r';
    if (perms & kPermWrite)
        text[1] = 'w';
    if (perms & kPermExecute)
        text[2] = 'x';
    return text;
}

std::string UserName(uid_t uid) {
    passwd pw{};
    passwd* found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(uid, &pw, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->pw_name;
    return std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    group gr{};
    group* found = nullptr;
    char buffer[4096];
    if (::getgrgid_r(gid, &gr, buffer, sizeof buffer, &found) == 0 && found != nullptr)
        return found->gr_name;
    return std::to_string(gid);
}

std::string AclEntryText(const AclEntry& entry) {
    switch (entry.tag) {
        case AclEntry::Tag::UserObj:
            return "user::" + PermText(entry.perms);
        case AclEntry::Tag::User:
            return "user:" + UserName(entry.id) + ":" + PermText(entry.perms);
        case AclEntry::Tag::GroupObj:
            return "group::" + PermText(entry.perms);
        case AclEntry::Tag::Group:
            return "group:" + GroupName(entry.id) + ":" + PermText(entry.perms);
        case AclEntry::Tag::Mask:
            return "mask::" + PermText(entry.perms);
        case AclEntry::Tag::Other:
            break;
    }
    return "other::" + PermText(entry.perms);
}

std::string DescribeAccess(const FileSecurity& file, const Credentials& who,
                           const AccessDecision& decision) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", file.mode);
    const std::string owner = UserName(file.owner);
    const std::string group = GroupName(file.group);
    const std::string perms = PermText(decision.effective);
    const AclEntry* mask = FindEntry(file.acl, AclEntry::Tag::Mask);
    const std::string maskNote = decision.masked && mask != nullptr
                                     ? ", but the ACL's " + AclEntryText(*mask) + " limits it"
                                     : "";
    switch (decision.via) {
        case AccessDecision::Via::Root:
            return "root may open any node";
        case AccessDecision::Via::Owner:
            return std::string("you own it (") + mode + ", owner " + owner + "): " + perms;
        case AccessDecision::Via::UserEntry: {
            const AclEntry* entry = FindEntry(file.acl, AclEntry::Tag::User, who.uid);
            return "the ACL entry " + AclEntryText(*entry) + " is for you (what uaccess gives)" +
                   maskNote + ": " + perms;
        }
        case AccessDecision::Via::Group: {
            std::string names;
            for (gid_t gid : decision.matched)
                names += (names.empty() ? "" : ", ") + GroupName(gid);
            return std::string("through your group ") + names + " (" + mode + ", group " + group +
                   (file.acl.empty() ? "" : ", with an ACL") + ")" + maskNote + ": " + perms;
        }
        case AccessDecision::Via::Other:
            break;
    }
    std::string text =
        std::string("mode ") + mode + ", owner " + owner + ", group " + group + ", others " + perms;
    bool named = false;
    for (const AclEntry& e : file.acl)
        named = named || e.tag == AclEntry::Tag::User;
    return text + (named ? "; the ACL has entries for other users only" : "; no ACL entry for you");
}
