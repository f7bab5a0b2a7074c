// config_export.cc: /export and /import: configuration records to and from XML files.
// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <sstream>
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

// Writes the records of one kind with their progress lines; returns how many could not be.
template <typename Record>
int export_kind(sqlite3* db, cfgstorage<Record>& store, const char* word, const std::string& dir,
                std::ostream& out) {
    int failed = 0;
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
            ++failed;
        } else {
            out << "E " << word << " " << id << "\n";
        }
    }
    return failed;
}

// Creates `dir` (0700) and writes every record into it, kind by kind; returns how many records
// could not be written.
std::optional<std::string> export_all(vantorelld& app, const std::string& dir, std::ostream& out,
                                      int& failed) {
    std::error_code ec;
    if (std::filesystem::exists(std::filesystem::symlink_status(dir, ec))) {
        return "Export directory " + dir + " already exists";
    }
    if (!create_private_directory(dir.c_str())) {
        return "Can't create directory " + dir;
    }
    sqlite_connection db = open_database(app.config(), install_paths::database);
    failed = export_kind(db, app.storage().sources, "Source", dir, out) +
             export_kind(db, app.storage().archives, "Archive", dir, out) +
             export_kind(db, app.storage().collections, "Collection", dir, out) +
             export_kind(db, app.storage().watches, "Watch", dir, out) +
             export_kind(db, app.storage().auths, "Auth", dir, out) +
             export_kind(db, app.storage().root_acls, "RootACL", dir, out) +
             export_kind(db, app.storage().logins, "Login", dir, out) +
             export_kind(db, app.storage().plugins, "Plugin", dir, out) +
             export_kind(db, app.storage().docfilters, "DocFilter", dir, out) +
             export_kind(db, app.storage().renderer_pipes, "RendererPluginPipe", dir, out);
    out.flush();
    close_database(db);
    return std::nullopt;
}

// Before an import replaces the configuration: exports it into a new directory below the data
// directory (the working directory), named after the time, so that it can be imported back.
// Sets `path` to the directory's full path.
std::optional<std::string> save_configuration(vantorelld& app, std::string& path) {
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&now, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &tm);
    std::error_code ec;
    const std::string base = (std::filesystem::current_path(ec) / "config-before-import-").string();
    for (int n = 1;; ++n) {
        path = base + stamp + (n > 1 ? "-" + std::to_string(n) : std::string());
        if (!std::filesystem::exists(std::filesystem::symlink_status(path, ec))) {
            break;
        }
    }
    std::ostringstream lines;  // the export's own progress lines are not shown
    int failed = 0;
    if (auto failure = export_all(app, path, lines, failed)) {
        return failure;
    }
    if (failed > 0) {
        return "Could not save the current configuration in " + path;
    }
    return std::nullopt;
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
    out << (app.storage().sources.set(db, id, source) ? "I" : "X") << " Source [from Index] " << id
        << "\n";
    out << (app.storage().archives.set(db, id, archive) ? "I" : "X") << " Archive [from Index] "
        << id << "\n";
}

// How the files of one name prefix are imported.
struct import_kind {
    std::string_view prefix;
    const char* word;  // in progress lines
    bool (*parses)(std::string_view xml);
    void (*import)(vantorelld& app, sqlite3* db, const char* word, std::string_view xml, int id,
                   std::ostream& out);
};

template <typename Record>
bool parses_as(std::string_view xml) {
    Record record;
    return from_xml(xml, record);
}

bool parses_as_index(std::string_view xml) {
    SourceConfiguration source;
    ArchiveConfiguration archive;
    return from_index_xml(xml, source, archive);
}

template <typename Record>
void import_as(vantorelld& app, sqlite3* db, const char* word, std::string_view xml, int id,
               std::ostream& out) {
    import_record(db, app.services().store<Record>(), word, xml, id, out);
}

template <typename Record>
constexpr import_kind kind_of(std::string_view prefix, const char* word) {
    return {prefix, word, parses_as<Record>, import_as<Record>};
}

constexpr import_kind import_kinds[] = {
    kind_of<SourceConfiguration>("SourceConfiguration", "Source"),
    kind_of<ArchiveConfiguration>("ArchiveConfiguration", "Archive"),
    kind_of<CollectionConfiguration>("CollectionConfiguration", "Collection"),
    kind_of<WatchConfiguration>("WatchConfiguration", "Watch"),
    kind_of<AuthConfiguration>("AuthConfiguration", "Auth"),
    kind_of<RootACL>("RootACL", "RootACL"),
    kind_of<LoginConfiguration>("LoginConfiguration", "Login"),
    kind_of<Plugin>("Plugin", "Plugin"),
    kind_of<DocFilter>("DocFilter", "DocFilter"),
    kind_of<RendererPluginPipe>("RendererPluginPipe", "RendererPluginPipe"),
    // Older installations named document filters "PluginConfig".
    kind_of<DocFilter>("PluginConfig", "DocFilter"),
    {"IndexConfiguration", "Source [from Index]", parses_as_index,
     [](vantorelld& app, sqlite3* db, const char*, std::string_view xml, int id,
        std::ostream& out) { import_index(app, db, xml, id, out); }},
};

// One file of an import directory, read before anything changes.
struct import_file {
    const import_kind* kind;
    int id;
    std::string xml;
    std::optional<std::string> read_failure;  // the system's text
};

void print_read_failure(const import_file& f, std::ostream& out) {
    out << "X " << f.kind->word << " " << f.id << ": " << *f.read_failure << "\n";
    if (f.kind->prefix == "IndexConfiguration") {
        out << "X Archive [from Index] " << f.id << ": " << *f.read_failure << "\n";
    }
}

}  // namespace

std::optional<std::string> export_configuration(vantorelld& app, const std::string& dir,
                                                std::ostream& out) {
    int failed = 0;
    return export_all(app, dir, out, failed);
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

    // Every file is read and parsed before the configuration is touched.
    std::vector<import_file> files;
    std::size_t importable = 0;
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
        import_file& f = files.emplace_back();
        f.kind = kind;
        f.id = static_cast<int>(leading_integer(name.substr(hyphen + 1, 10)));
        std::string path = dir;
        path += '/';
        path += name;
        f.read_failure = read_file(path, f.xml);
        if (!f.read_failure && kind->parses(f.xml)) {
            ++importable;
        }
    }
    if (importable == 0) {
        for (const auto& f : files) {
            if (f.read_failure) {
                print_read_failure(f, out);
            }
        }
        out.flush();
        return "No importable record in " + dir;
    }
    std::string saved;
    if (auto failure = save_configuration(app, saved)) {
        return failure;
    }
    out << "Saved the current configuration in " << saved << "\n";

    sqlite_connection db = open_database(app.config(), install_paths::database);
    {
        transaction t(db);
        exec(db, "delete from cfgstorage");
        exec(db, "delete from cfgcounter");
        for (const auto& f : files) {
            if (f.read_failure) {
                print_read_failure(f, out);
            } else {
                f.kind->import(app, db, f.kind->word, f.xml, f.id, out);
            }
        }
        exec(db,
             "insert or replace into cfgcounter select key, max(id) from cfgstorage group by key");
        t.commit();
    }
    out.flush();
    close_database(db);
    return std::nullopt;
}

}  // namespace marloven
