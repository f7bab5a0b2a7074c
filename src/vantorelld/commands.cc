// commands.cc: dispatch of the one-off maintenance commands, and /reset.
// SPDX-License-Identifier: MIT
#include "vantorelld/commands.h"

#include <chrono>
#include <iostream>
#include <thread>

#include "db/sqlite.h"
#include "docstorage/docstorage.h"
#include "idxstorage/idxstorage.h"
#include "storage/index_handoff.h"
#include "util/install_paths.h"
#include "util/log.h"
#include "vantorelld/maintenance.h"
#include "vantorelld/vantorelld.h"

namespace marloven {

namespace {

// /reset: empties every crawl table (documents, queue, logs, robots cache) and the index, in one
// exclusive transaction on a connection of its own; the configuration stays. Then the file is
// compacted. An index that cannot be cleared fails the command before anything is committed, so
// that running it again finds the stored documents still there.
std::optional<std::string> reset_crawl_state(vantorelld& app) {
    sqlite_connection db = open_database(app.config(), install_paths::database);
    {
        transaction t(db);
        app.storage().documents.clearAll(db);
        app.storage().queue.clear_all(db);
        app.storage().logs.clearAll(db);
        // The index server is talked to under the transaction lock; this process runs no other
        // thread that could wait for it.
        if (auto failure = app.storage().index.clear()) {
            return failure;  // rolled back on the way out
        }
        app.storage().robots.clear_all(db);
        t.commit();
    }
    // Vacuum needs the whole file to itself; another process may still be reading it.
    bool reported = false;
    while (true) {
        int rc = try_exec(db, "vacuum");
        if (rc == SQLITE_OK) {
            break;
        }
        if (!reported) {
            VANT_LOG(LOG, warning) << "Vacuum after reset failed (" << rc << " "
                                   << sqlite3_errmsg(db) << "), retrying";
            reported = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    close_database(db);
    return std::nullopt;
}

// /reindex (and the last step of /restore): the index server restarts on an empty index and every
// stored good document is fed to it again, inside one exclusive transaction on a connection of
// its own. Progress lines go to standard output.
std::optional<std::string> reindex_documents(vantorelld& app) {
    idxstorage& index = app.storage().index;
    sqlite_connection db = open_database(app.config(), install_paths::database);
    {
        transaction t(db);
        if (auto failure = index.begin_rebuild()) {
            return failure;
        }
        std::uint64_t failed = 0;
        std::size_t corrupt =
            app.storage().documents.forEachWithError(db, 0, [&](const document_version& d) {
                if (index.rebuild_document(index_form(d), std::cout)) {
                    ++failed;
                }
            });
        if (auto failure = index.finish_rebuild(std::cout)) {
            return failure;
        }
        if (corrupt > 0) {
            std::cout << "Skipped " << corrupt << " documents with corrupt stored data"
                      << std::endl;
        }
        if (failed > 0) {
            return "The index server refused " + std::to_string(failed) + " documents";
        }
        t.commit();
    }
    close_database(db);
    return std::nullopt;
}

}  // namespace

std::optional<std::string> run_command(vantorelld& app, const start_parameters& params) {
    switch (params.command) {
        case start_command::run:
            return std::nullopt;
        case start_command::reset:
            return reset_crawl_state(app);
        case start_command::backup:
            return backup_database(app.config(), app.command_path());
        case start_command::restore:
            if (auto failure = restore_database(app.config(), app.command_path())) {
                return failure;
            }
            return reindex_documents(app);
        case start_command::export_config:
            return export_configuration(app, app.command_path(), std::cout);
        case start_command::import_config:
            return import_configuration(app, app.command_path(), std::cout);
        case start_command::reindex:
            return reindex_documents(app);
    }
    return std::nullopt;
}

}  // namespace marloven
