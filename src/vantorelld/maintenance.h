// maintenance.h: the one-off commands that move the daemon's state in and out of its database:
// /backup and /restore (whole tables, to and from a second SQLite file) and /export and /import
// (configuration records, to and from a directory of XML files, one file per record).
// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <ostream>
#include <string>

namespace marloven {

class config_file;
class vantorelld;

// Each function runs in a process of its own, after the storage start-up (so every table that
// this build knows exists), with the database "vantorell.db" in the working directory. It
// returns the failure message, or nothing. Progress lines go to `out`.

// Copies the tables dbconfig, cfgstorage, docstorage, auxstorage, doccount, documentlog,
// querylog, crawlstats and fetchqueue, in that order, into a new file (mode 0600) beside `file`,
// in chunks of at most 100 rows, each chunk its own transaction, and then renames it to `file`.
// A listed table that the database does not have (one whose module is not part of this build) is
// skipped. A failed backup removes its new file and leaves an older `file` as it was.
[[nodiscard]] std::optional<std::string> backup_database(const config_file& config,
                                                         const std::string& file);

// Replaces the contents of the same tables by those of a backup file. The file is checked first:
// SQLite's integrity check, and every listed table that the database has present in the file
// with the same columns; a file that fails changes nothing. The tables are then emptied and
// copied in the same chunks inside one transaction, so a copy that fails half-way changes
// nothing either. A listed table that the database does not have is skipped. Afterwards every
// configuration counter is raised to the highest restored id of its kind.
[[nodiscard]] std::optional<std::string> restore_database(const config_file& config,
                                                          const std::string& file);

// Writes every configuration record to `dir` (which must not exist yet; it is created 0700) as
// "<kind>-<id as ten digits>.xml" (mode 0600), printing "E <kind word> <id>" per record written
// and "X <kind word> <id>: <reason>" per record that could not be.
[[nodiscard]] std::optional<std::string> export_configuration(vantorelld& app,
                                                              const std::string& dir,
                                                              std::ostream& out);

// Replaces the whole configuration by the files of `dir` (named as export names them; also the
// legacy "PluginConfig" and "IndexConfiguration" files), printing "I ..." per record stored and
// "X ..." per file that could not be read; files of other names, and files that do not parse,
// are skipped. Each kind's counter then continues after the highest imported id.
// A directory without one importable record is refused before anything changes. Otherwise the
// current configuration is first exported into a new directory below the data directory, whose
// path is printed ("Saved the current configuration in <path>"), and the replacement runs in one
// transaction.
[[nodiscard]] std::optional<std::string> import_configuration(vantorelld& app,
                                                              const std::string& dir,
                                                              std::ostream& out);

}  // namespace marloven
