// config_export.cc: /export and /import: configuration records to and from XML files.
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "db/sqlite.h"
#include "util/config_file.h"
#include "util/install_paths.h"
#include "util/private_file.h"
#include "vantorelld/maintenance.h"
#include "vantorelld/vantorelld.h"

namespace marloven {

namespace {

struct file_closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

// Writes `text` to the new file `path` (mode 0600: records hold crawl passwords and password
// hashes); the system's text for the error on failure.
std::optional<std::string> write_file(const std::string& path, const std::string& text) {
    int fd = create_private_file(path.c_str(), O_WRONLY);
    file_handle f(fd >= 0 ? ::fdopen(fd, "wb") : nullptr);
    if (!f) {
        std::string failure = std::strerror(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        return failure;
    }
    if (std::fwrite(text.data(), 1, text.size(), f.get()) != text.size()) {
        return std::string(std::strerror(errno));
    }
    if (std::fclose(f.release()) != 0) {
        return std::string(std::strerror(errno));
    }
    return std::nullopt;
}

// Reads the whole file in pieces of 4096 bytes; the system's text for the error on failure.
std::optional<std::string> read_file(const std::string& path, std::string& text) {
    file_handle f(std::fopen(path.c_str(), "rb"));
    if (!f) {
        return std::string(std::strerror(errno));
    }
    char buf[4096];
    size_t n = 0;
    while ((n = std::fread(buf, 1, sizeof buf, f.get())) > 0) {
        text.append(buf, n);
    }
    if (std::ferror(f.get()) != 0) {
        return std::string(std::strerror(errno));
    }
    return std::nullopt;
}

std::string file_name(const char* kind, int id) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%s-%010d.xml", kind, id);
    return buf;
}

template <typename Record>
void export_kind(sqlite3* db, cfgstorage<Record>& store, const char* word, const std::string& dir,
                 std::ostream& out) {
    for (int id : store.ids(db)) {
        Record record;
        if (!store.get(db, id, record)) {
            continue;  // a record that does not parse is not exported
        }
        std::string xml;
        std::optional<std::string> failure;
        if (!to_xml(record, xml)) {
            failure = "Error during XML serialization";
        } else {
            failure = write_file(dir + "/" + file_name(Record::kind, id), xml);
        }
        if (failure) {
            out << "X " << word << " " << id << ": " << *failure << "\n";
        } else {
            out << "E " << word << " " << id << "\n";
        }
    }
}

// Stores the record that `xml` holds under `id`, with its progress line; a text that does not
// parse is skipped without one.
template <typename Record>
void import_record(sqlite3* db, cfgstorage<Record>& store, const char* word, std::string_view xml,
                   int id, std::ostream& out) {
    Record record;
    if (!from_xml(xml, record)) {
        return;
    }
    if (store.set(db, id, record)) {
        out << "I " << word << " " << id << "\n";
    } else {
        out << "X " << word << " " << id << ": Error during XML serialization\n";
    }
}

// The legacy combined record: one source and one archive, both under the file's id; the archive
// crawls that source.
void import_index(vantorelld& app, sqlite3* db, std::string_view xml, int id, std::ostream& out) {
    SourceConfiguration source;
    ArchiveConfiguration archive;
    if (!from_index_xml(xml, source, archive)) {
        return;
    }
    archive.source_id = id;
    out << (app.sources().set(db, id, source) ? "I" : "X") << " Source [from Index] " << id << "\n";
    out << (app.archives().set(db, id, archive) ? "I" : "X") << " Archive [from Index] " << id
        << "\n";
}

// How the files of one name prefix are imported.
struct import_kind {
    std::string_view prefix;
    const char* word;  // in progress lines
    void (*import)(vantorelld& app, sqlite3* db, const char* word, std::string_view xml, int id,
                   std::ostream& out);
};

template <typename Record>
void import_as(vantorelld& app, sqlite3* db, const char* word, std::string_view xml, int id,
               std::ostream& out) {
    import_record(db, app.store<Record>(), word, xml, id, out);
}

constexpr import_kind import_kinds[] = {
    {"SourceConfiguration", "Source", import_as<SourceConfiguration>},
    {"ArchiveConfiguration", "Archive", import_as<ArchiveConfiguration>},
    {"CollectionConfiguration", "Collection", import_as<CollectionConfiguration>},
    {"WatchConfiguration", "Watch", import_as<WatchConfiguration>},
    {"AuthConfiguration", "Auth", import_as<AuthConfiguration>},
    {"RootACL", "RootACL", import_as<RootACL>},
    {"LoginConfiguration", "Login", import_as<LoginConfiguration>},
    {"Plugin", "Plugin", import_as<Plugin>},
    {"DocFilter", "DocFilter", import_as<DocFilter>},
    {"RendererPluginPipe", "RendererPluginPipe", import_as<RendererPluginPipe>},
    // Older installations named document filters "PluginConfig".
    {"PluginConfig", "DocFilter", import_as<DocFilter>},
    {"IndexConfiguration", "Source [from Index]",
     [](vantorelld& app, sqlite3* db, const char*, std::string_view xml, int id,
        std::ostream& out) { import_index(app, db, xml, id, out); }},
};

}  // namespace

std::optional<std::string> export_configuration(vantorelld& app, const std::string& dir,
                                                std::ostream& out) {
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(dir, ec))) {
        return "Export directory " + dir + " already exists";
    }
    if (!create_private_directory(dir.c_str())) {
        return "Can't create directory " + dir;
    }
    sqlite_connection db = open_database(app.config(), install_paths::database);
    export_kind(db, app.sources(), "Source", dir, out);
    export_kind(db, app.archives(), "Archive", dir, out);
    export_kind(db, app.collections(), "Collection", dir, out);
    export_kind(db, app.watches(), "Watch", dir, out);
    export_kind(db, app.auths(), "Auth", dir, out);
    export_kind(db, app.root_acls(), "RootACL", dir, out);
    export_kind(db, app.logins(), "Login", dir, out);
    export_kind(db, app.plugins(), "Plugin", dir, out);
    export_kind(db, app.docfilters(), "DocFilter", dir, out);
    export_kind(db, app.renderer_pipes(), "RendererPluginPipe", dir, out);
    out.flush();
    close_database(db);
    return std::nullopt;
}

std::optional<std::string> import_configuration(vantorelld& app, const std::string& dir,
                                                std::ostream& out) {
    std::error_code ec;
    std::vector<std::string> names;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    if (ec) {
        return "Path not found: " + dir;
    }
    // Byte order of names, so that runs over the same directory print the same lines.
    std::sort(names.begin(), names.end());

    sqlite_connection db = open_database(app.config(), install_paths::database);
    exec(db, "delete from cfgstorage");
    exec(db, "delete from cfgcounter");
    for (const auto& name : names) {
        size_t hyphen = name.find('-');
        if (hyphen == std::string::npos) {
            continue;
        }
        std::string_view prefix = std::string_view(name).substr(0, hyphen);
        auto kind = std::find_if(std::begin(import_kinds), std::end(import_kinds),
                                 [&](const import_kind& k) { return k.prefix == prefix; });
        if (kind == std::end(import_kinds)) {
            continue;
        }
        int id = static_cast<int>(leading_integer(name.substr(hyphen + 1, 10)));
        std::string path = dir;
        path += '/';
        path += name;
        std::string xml;
        if (auto failure = read_file(path, xml)) {
            out << "X " << kind->word << " " << id << ": " << *failure << "\n";
            if (kind->prefix == "IndexConfiguration") {
                out << "X Archive [from Index] " << id << ": " << *failure << "\n";
            }
            continue;
        }
        kind->import(app, db, kind->word, xml, id, out);
    }
    exec(db, "insert or replace into cfgcounter select key, max(id) from cfgstorage group by key");
    out.flush();
    close_database(db);
    return std::nullopt;
}

}  // namespace marloven
