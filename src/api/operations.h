// operations.h: the administration operations on configuration records, root access lists,
// users and groups, and the server's version. The SOAP methods and the REST interface are thin
// wrappers around them.
// SPDX-License-Identifier: MIT
//
// Every operation takes the caller (`api_session`) and a result record, resets the result to
// success on entry and sets one error of api/errors.h on refusal; a refused operation changes
// nothing. The caller wraps the call in an `api_transaction`. Administrators pass every access
// check. Database errors are fatal.
// Threads: an operation runs on the caller's thread and uses the caller's connection; the caller
// holds the process-wide transaction lock (through its `api_transaction`).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "api/api-common.h"

namespace marloven {

// One record of a kind as the Enum operations list it.
template <typename Record>
struct config_info {
    int id = 0;
    Record configuration;
    std::uint32_t magic = 0;  // the stored text's stamp, to hand back to a Set
    bool read_only = false;   // the caller may read but not write the record
};

// Reading one record: it must exist and be readable by its own access list, else
// AccessViolation (a missing record gives the same answer as a forbidden one).
void GetSourceConfiguration(const api_session& s, api_result& r, int id, SourceConfiguration& cfg,
                            std::uint32_t& magic);
void GetArchiveConfiguration(const api_session& s, api_result& r, int id, ArchiveConfiguration& cfg,
                             std::uint32_t& magic);
void GetCollectionConfiguration(const api_session& s, api_result& r, int id,
                                CollectionConfiguration& cfg, std::uint32_t& magic);
void GetWatchConfiguration(const api_session& s, api_result& r, int id, WatchConfiguration& cfg,
                           std::uint32_t& magic);
void GetAuthConfiguration(const api_session& s, api_result& r, int id, AuthConfiguration& cfg,
                          std::uint32_t& magic);

// Changing one record: the stored record must exist and grant write; for sources, archives and
// collections every record the new one names (document filters; source and credentials;
// archives) must grant read, and the new access list must still grant the caller write
// (AccessViolation otherwise). `magic` must be the stamp of the stored text: BadMagic when the
// record changed since it was read, and also when the new record cannot be written.
void SetSourceConfiguration(const api_session& s, api_result& r, int id,
                            const SourceConfiguration& cfg, std::uint32_t magic);
void SetArchiveConfiguration(const api_session& s, api_result& r, int id,
                             const ArchiveConfiguration& cfg, std::uint32_t magic);
void SetCollectionConfiguration(const api_session& s, api_result& r, int id,
                                const CollectionConfiguration& cfg, std::uint32_t magic);
void SetWatchConfiguration(const api_session& s, api_result& r, int id,
                           const WatchConfiguration& cfg, std::uint32_t magic);
void SetAuthConfiguration(const api_session& s, api_result& r, int id, const AuthConfiguration& cfg,
                          std::uint32_t magic);

// Creating: write access by the crawling root list (sources, archives, credentials) or by the
// browsing root list (collections, watches); a new source's document filters must be readable.
// `id` is the new record's id (0 on refusal).
void AddSource(const api_session& s, api_result& r, const SourceConfiguration& cfg, int& id);
void AddArchive(const api_session& s, api_result& r, const ArchiveConfiguration& cfg, int& id);
void AddAuth(const api_session& s, api_result& r, const AuthConfiguration& cfg, int& id);
void AddCollection(const api_session& s, api_result& r, const CollectionConfiguration& cfg,
                   int& id);
void AddWatch(const api_session& s, api_result& r, const WatchConfiguration& cfg, int& id);

// Removing: the record must exist and grant write; InUse while another record names it (an
// archive its source or credentials, a collection its archive, a watch its collection).
void RemoveSource(const api_session& s, api_result& r, int id);
void RemoveArchive(const api_session& s, api_result& r, int id);
void RemoveAuth(const api_session& s, api_result& r, int id);
void RemoveCollection(const api_session& s, api_result& r, int id);
void RemoveWatch(const api_session& s, api_result& r, int id);

// Every record the caller may read, in ascending id order.
void EnumSourceConfigurations(const api_session& s, api_result& r,
                              std::vector<config_info<SourceConfiguration>>& infos);
void EnumArchiveConfigurations(const api_session& s, api_result& r,
                               std::vector<config_info<ArchiveConfiguration>>& infos);
void EnumCollectionConfigurations(const api_session& s, api_result& r,
                                  std::vector<config_info<CollectionConfiguration>>& infos);
void EnumWatchConfigurations(const api_session& s, api_result& r,
                             std::vector<config_info<WatchConfiguration>>& infos);

// The server-wide access lists (root_acl_browsing, root_acl_crawling); administrators only. A
// list never stored reads as empty with the stamp 0.
void GetRootACL(const api_session& s, api_result& r, int id, acl_list& acl, std::uint32_t& magic);
void SetRootACL(const api_session& s, api_result& r, int id, const acl_list& acl,
                std::uint32_t magic);

// Users and groups of the login record. Changes are for administrators only (a user may also
// read its own data and change its own password). A name that is taken, or a user or group that
// does not exist, leaves the record as it is and the result a success.
void AddUser(const api_session& s, api_result& r, const std::string& name,
             const std::string& password, bool admin, const std::vector<std::string>& groups);
void RemoveUser(const api_session& s, api_result& r, const std::string& name);
void GetUserData(const api_session& s, api_result& r, const std::string& name, bool& admin,
                 std::vector<std::string>& groups);
void SetUserData(const api_session& s, api_result& r, const std::string& name, bool admin,
                 const std::vector<std::string>& groups);
void SetUserPassword(const api_session& s, api_result& r, const std::string& name,
                     const std::string& password);
void AddGroup(const api_session& s, api_result& r, const std::string& name);
void RemoveGroup(const api_session& s, api_result& r, const std::string& name);
// The users of the login record; the built-in ones (the administrator named by HTTP_USER in a
// freshly read configuration file, when set, and "Anonymous"); the groups of the login record;
// the built-in group "All Users". Needs read access by the browsing root list.
void EnumUsersAndGroups(const api_session& s, api_result& r, std::vector<std::string>& users,
                        std::vector<std::string>& builtin_users, std::vector<std::string>& groups,
                        std::vector<std::string>& builtin_groups);

// The server version "2.0.2.1010" and the oldest supported client version "2.0.0"; both need
// read access by the browsing root list.
void GetVersion(const api_session& s, api_result& r, std::string& version);
void GetMinClientVersion(const api_session& s, api_result& r, std::string& version);

// What the caller may do: history keeping (always), administration, and creating browsing
// (collections, watches) or crawling (sources, archives, credentials) configuration.
void GetCapabilities(const api_session& s, api_result& r, bool& historicize, bool& admin,
                     bool& browsing_write, bool& crawling_write);

// The normalised form of a URL (default scheme "http"); no access check.
void NormalizeURL(const api_session& s, api_result& r, const std::string& url,
                  std::string& normalized);

}  // namespace marloven
