/* vantorell/plugin.h: the interface between the vantorell search server and its plug-in
 * libraries. A plug-in needs this header and nothing else: no library of the server to link.
 * SPDX-License-Identifier: MIT
 *
 * Interface versions (MARLOVEN_PLUGIN_INTERFACE_VERSION):
 *   1: registration record, host service table with 15 entries, FFF transform entry.
 *
 * OVERVIEW
 *
 * A plug-in is a shared library (on Linux a ".so" file) in the plug-in directory of the
 * installation, DEPLOYDIR/plugins. Its file name without the ".so" is its module name: the
 * `dll` of the plug-in records that administrators create refer to it by that name (the default
 * plug-ins are urlplugin.so, staticplugin.so, ...). Module names hold only the letters A-Z and
 * a-z, the digits, '_' and '-'.
 *
 * The library exports one C function, `marloven_plugin_registration` (below). The server calls
 * it with its table of services and an empty registration record, which the plug-in fills with
 * its name, its type and its entry points. Every other function of the plug-in is reached
 * through that record.
 *
 * What an FFF plug-in does: it transforms documents. Every fetched page is parsed into an FFF
 * document (a tree of paragraphs, sentences and runs of words, with metadata entries and links;
 * see "THE DOCUMENT" below). Administrators set up document filters: a document filter is one
 * plug-in with its parameters. The worker processes of the server apply the filters of a
 * document's source (after the filters of the global pipeline) to each document, in order,
 * each one by calling its plug-in's `fff_transform`. A plug-in may add and remove metadata
 * entries, replace the words of runs of text, set the document's language and change its
 * score. The index then holds the document as the last filter left it; a metadata entry with
 * key K and value V is found by the query META:K:V.
 *
 * Life cycle, as the server drives it:
 *
 *   marloven_plugin_registration(host, reg)    once per load of the library
 *   reg->config_create(config)                 once per document filter that uses the plug-in
 *                                              (and again whenever its records change)
 *   reg->fff_transform(instance, document)     once per document and filter
 *   reg->config_destroy(instance)              when the filter's instance is no longer wanted
 *   reg->unregister()                          before the library is unloaded
 *
 * The server loads libraries in several places: the administration interface loads every
 * library to list it and unloads it again at the end of the call, and each worker process
 * loads the libraries its document filters need. So registration may happen many times in one
 * process, each time after the previous `unregister`; keep no state across `unregister`.
 *
 * Threads: the host calls the functions of one library from one thread at a time.
 *
 * Isolation and time limits: the worker applies the filters of each document in a child process
 * of its own. A plug-in that crashes while transforming a document, or that does not return
 * within the time limit (the configuration key PLUGIN_TIMEOUT, seconds per call, default 20),
 * is killed with that child: the document is recorded as unparsable, with the plug-in's name in
 * the crawl log, and the next document gets a fresh child. Changes a plug-in makes to memory
 * while transforming (its own variables, its instance) are therefore lost after the document:
 * `fff_transform` must not rely on them. `config_create` runs in the worker itself under the
 * same time limit; a plug-in that crashes or hangs there takes the worker down, and the server
 * records the URL as an internal error and starts a new worker.
 *
 * Text: every text handed between host and plug-in is UTF-8 and ends with a NUL byte. Texts the
 * host gives are read-only and valid until the call that received them returns, unless said
 * otherwise. Texts the host returns to the plug-in (from `duplicate`, `fold`, `normalise_url`,
 * `resolve_url`) belong to the plug-in, which releases them with the host's `free`.
 *
 * Calling convention: the platform's C calling convention. Write the plug-in in C, or in C++ with
 * the export declared extern "C" (this header does that for you). Exceptions must not leave a
 * plug-in function.
 *
 * BUILDING A PLUG-IN (see also plugins/example/ and the README of the server):
 *
 *   cc -std=c99 -shared -fPIC -fvisibility=hidden -I DEPLOYDIR/include \
 *      -o myplugin.so myplugin.c
 *   cp myplugin.so DEPLOYDIR/plugins/
 *
 * then add a plug-in record whose dll is "myplugin" and a document filter that uses it.
 */
#ifndef VANTORELL_PLUGIN_H
#define VANTORELL_PLUGIN_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The version of this interface. A plug-in writes it into its registration record; a host
 * refuses (and logs) a library built for a version it does not offer. The version changes when
 * a record, a table or a calling rule of this header changes incompatibly. */
#define MARLOVEN_PLUGIN_INTERFACE_VERSION 1

/* Registration types, the `type` of the registration record.
 *
 * The host's FFF loader accepts the three FFF types. It applies filters of every FFF type in
 * the same way; the type tells administrators what the plug-in is meant for, and the
 * administration interface lists plug-ins by type. */
#define UNKNOWN_PLUGINTYPE 0
/* A kind of plug-in that this host does not load; a library that registers it is refused. */
#define LEGACY_PLUGINTYPE 1
/* Meant for the global pipeline: applied to the documents of every source. */
#define GLOBALFFF_PLUGINTYPE 2
/* Meant for the document filters of individual sources (what most plug-ins are). */
#define ARCHIVEFFF_PLUGINTYPE 3
/* Handles documents of several forms (MIME types) and looks at `mime` to tell them apart. */
#define MULTIFORMFFF_PLUGINTYPE 4

/* Marks the one function a plug-in exports, also when it is built with -fvisibility=hidden. */
#if defined(__GNUC__) || defined(__clang__)
#define MARLOVEN_PLUGIN_EXPORT __attribute__((visibility("default")))
#else
#define MARLOVEN_PLUGIN_EXPORT
#endif

/* ---------------------------------------------------------------------------------------------
 * THE DOCUMENT
 *
 * `fff_transform` receives the document as a marloven_fff_document. Its fields describe the
 * document as it stands when the call begins; the plug-in reads them directly and changes the
 * document only through the document services of the host table (add_meta, remove_meta,
 * set_words, set_language) and through the `score` field. After each document service the
 * host brings the arrays (`runs`, `metas`) and `language` up to date: pointers taken from them
 * before the call may be stale, so read them again from the document.
 *
 * Text of an FFF document: paragraphs hold sentences, sentences hold runs. A run is a sequence
 * of tokens (words and punctuation marks, one token each, never containing a blank) that share
 * one slice: the structural role of the text. Runs are listed in document order.
 *
 * Positions: every token of the document has a position, its index in document order counting
 * all tokens of all runs from 0. Positional and ranged metadata entries refer to positions.
 * ------------------------------------------------------------------------------------------- */

/* Slices (`dictid` of runs and of metadata entries). 16 to 31 are the custom slices custom0 to
 * customF, free for plug-ins. */
#define MARLOVEN_SLICE_AUTHOR 1
#define MARLOVEN_SLICE_KEYWORD 2
#define MARLOVEN_SLICE_ABSTRACT 3
#define MARLOVEN_SLICE_INVISIBLE 4
#define MARLOVEN_SLICE_MARGINAL_NORM 5 /* boilerplate text: navigation, footers */
#define MARLOVEN_SLICE_MARGINAL_EMPH 6
#define MARLOVEN_SLICE_MARGINAL_LINK 7 /* carries `urlid` */
#define MARLOVEN_SLICE_MARGINAL_REMOTE_LINK 8
#define MARLOVEN_SLICE_MARGINAL_HEADER 9
#define MARLOVEN_SLICE_CENTRAL_NORM 10 /* the body text */
#define MARLOVEN_SLICE_CENTRAL_EMPH 11
#define MARLOVEN_SLICE_CENTRAL_LINK 12 /* carries `urlid` */
#define MARLOVEN_SLICE_CENTRAL_REMOTE 13
#define MARLOVEN_SLICE_CENTRAL_HEADER 14
#define MARLOVEN_SLICE_TITLE 15
#define MARLOVEN_SLICE_CUSTOM0 16
#define MARLOVEN_SLICE_CUSTOMF 31

/* Metadata entry types. */
#define MARLOVEN_META_DOCUMENTWIDE 0 /* about the whole document; beg and end are 0 */
#define MARLOVEN_META_POSITIONAL 1   /* about the token at position beg; end is 0 */
#define MARLOVEN_META_RANGED 2       /* about the tokens from position beg to end, both included */

/* The key of the document's language: a documentwide entry with this key holds the language of
 * the document as a lower-case ISO 639-1 code ("en", "de"); ranged entries with this key mark
 * stretches of text in another language. set_language maintains the documentwide entry. */
#define MARLOVEN_META_LANGUAGE "language"

/* Limits that add_meta and set_words enforce. */
#define MARLOVEN_MAX_META_KEY 256    /* bytes of a metadata key */
#define MARLOVEN_MAX_META_VALUE 4096 /* bytes of a metadata value */
#define MARLOVEN_MAX_METAS 10000     /* metadata entries of one document */
#define MARLOVEN_MAX_TOKEN 1024      /* bytes of one token */

/* One run of text. */
typedef struct marloven_fff_run {
    uint32_t dictid;    /* its slice (MARLOVEN_SLICE_...) */
    uint32_t urlid;     /* for the two link slices: the index of its link in `links`; else 0 */
    uint32_t paragraph; /* index of its paragraph in the document, from 0 */
    uint32_t sentence;  /* index of its sentence in the document, from 0 */
    uint32_t position;  /* position of its first token */
    uint32_t word_count;
    const char* const* words; /* word_count tokens */
} marloven_fff_run;

/* One metadata entry. */
typedef struct marloven_fff_meta {
    uint32_t type;   /* MARLOVEN_META_DOCUMENTWIDE, _POSITIONAL or _RANGED */
    uint32_t dictid; /* a slice number; 0 when no slice applies */
    const char* key; /* a name without ':' (the query syntax META:key:value splits there) */
    const char* value;
    uint32_t beg;
    uint32_t end;
} marloven_fff_meta;

/* One out-link of the document. */
typedef struct marloven_fff_link {
    const char* url; /* absolute and normalised */
    uint32_t score;  /* millionths */
} marloven_fff_link;

/* The document handed to fff_transform. */
typedef struct marloven_fff_document {
    uint32_t size;       /* sizeof(marloven_fff_document) as the host knows it */
    const char* url;     /* the URL the document was fetched from */
    const char* mime;    /* its MIME type, lower case, without parameters ("text/html") */
    const char* charset; /* the character set its bytes were read in ("" if unknown) */
    /* The document's score in millionths (1000000 stands for 1.0): the weight of the document
     * among the hits of a query. The plug-in may write this field. */
    uint32_t score;
    const char* language; /* the documentwide MARLOVEN_META_LANGUAGE value, or "" */
    uint32_t run_count;
    const marloven_fff_run* runs;
    uint32_t meta_count;
    const marloven_fff_meta* metas;
    uint32_t link_count;
    const marloven_fff_link* links;
    uint32_t token_count; /* the number of positions */
    void* host;           /* the host's own; do not touch */
} marloven_fff_document;

/* ---------------------------------------------------------------------------------------------
 * CONFIGURATION OF AN INSTANCE
 *
 * Each document filter that uses a plug-in gets its own instance, made by config_create from
 * two texts: the plug-in record's configuration (the same for every filter of the plug-in) and
 * the document filter's parameters. Both are given as the administrators stored them: the
 * server does not look inside. Each is followed by a NUL byte that `*_length` does not count.
 * ------------------------------------------------------------------------------------------- */
typedef struct marloven_plugin_config {
    uint32_t size;     /* sizeof(marloven_plugin_config) as the host knows it */
    int32_t plugin_id; /* the plug-in record */
    const char* plugin_name;
    const char* configuration; /* the plug-in record's configuration */
    size_t configuration_length;
    int32_t docfilter_id; /* the document filter */
    const char* docfilter_name;
    const char* parameters; /* the document filter's parameters */
    size_t parameters_length;
} marloven_plugin_config;

/* ---------------------------------------------------------------------------------------------
 * THE REGISTRATION RECORD
 *
 * The host passes an all-zero record to marloven_plugin_registration, which fills it. The host
 * keeps the record at the same address until it has called `unregister`, so the plug-in may
 * keep the pointer (the log services take it).
 *
 * The host checks, in this order: the registration function returned 0; `interface_version`
 * is one the host offers; `type` is one the loader accepts (the FFF loader: 2, 3 or 4);
 * `unregister`, `config_create`, `config_destroy` and, for FFF types, `fff_transform` are set.
 * A library that fails a check is logged and left out; the server runs without it.
 * ------------------------------------------------------------------------------------------- */
typedef struct marloven_plugin_regdata {
    /* MARLOVEN_PLUGIN_INTERFACE_VERSION of the header the plug-in was built with. */
    uint32_t interface_version;
    /* One of the registration types above. */
    uint32_t type;
    /* The plug-in's name (used in every log line about it) and a one-line description. Both
     * must stay valid until unregister returns: string literals are the usual choice. */
    const char* name;
    const char* description;

    /* Called once before the library is unloaded; releases what registration took. */
    void (*unregister)(void);

    /* Makes an instance for one document filter. Returns the instance (any non-null pointer
     * the plug-in likes), or NULL when the configuration is unusable; the plug-in then logs why
     * with log_error, and the host leaves the filter out and logs that too. */
    void* (*config_create)(const marloven_plugin_config* config);
    /* Releases an instance made by config_create. */
    void (*config_destroy)(void* instance);

    /* Transforms one document. Returns 0 when done; any other number tells the host that the
     * plug-in could not do its work on this document: the host logs it and goes on with the
     * next filter, keeping the changes made so far. */
    int (*fff_transform)(void* instance, marloven_fff_document* document);
} marloven_plugin_regdata;

/* ---------------------------------------------------------------------------------------------
 * THE HOST SERVICE TABLE
 *
 * Handed to marloven_plugin_registration and valid until unregister returns; keep the pointer.
 * Entries 1 to 6 are offered to every plug-in, the others to FFF plug-ins.
 * ------------------------------------------------------------------------------------------- */

/* compare's answer for a text that is not valid UTF-8. */
#define MARLOVEN_COMPARE_FAILED (-2)

typedef struct marloven_host_services {
    uint32_t interface_version; /* the host's MARLOVEN_PLUGIN_INTERFACE_VERSION */
    uint32_t size;              /* sizeof(marloven_host_services) as the host knows it */

    /* 1, 2. The allocator of every text handed between host and plug-in. allocate returns NULL
     * when memory is short. free accepts NULL. */
    void* (*allocate)(size_t size);
    void (*free)(void* pointer);
    /* 3. A copy of `text`, made with allocate (NULL when memory is short). */
    char* (*duplicate)(const char* text);

    /* 4, 5, 6. Write "Plugin <name>: <text>" to the server's log at level ERROR, INFO or
     * DEBUG, where <name> is `plugin->name`. Pass the record the host gave to registration.
     * What is written depends on the server's log settings (facility PLUGINS). */
    void (*log_error)(const marloven_plugin_regdata* plugin, const char* text);
    void (*log_info)(const marloven_plugin_regdata* plugin, const char* text);
    void (*log_debug)(const marloven_plugin_regdata* plugin, const char* text);

    /* 7. The Unicode case folding of `text` (the folding the index applies to words: "Straße"
     * gives "strasse"), as a new text. Text that is not valid UTF-8 gives NULL and an error
     * line in the log. */
    char* (*fold)(const char* text);
    /* 8. Compares the folded forms of two texts byte by byte: -1, 0 or 1, as strcmp orders.
     * MARLOVEN_COMPARE_FAILED when either is not valid UTF-8 (logged as in fold). */
    int (*compare)(const char* a, const char* b);
    /* 9. The URL in the server's normalised form (the form used as a key for documents: scheme
     * and host in small letters, default port, fragment and dot segments dropped, one form of
     * escaping), as a new text. Any text parses as some URL (a text without a scheme is read as
     * http); NULL comes only for a NULL argument or when memory is short. */
    char* (*normalise_url)(const char* url);
    /* 10. `reference` (a link as written in a page) made absolute against `base` and
     * normalised, as a new text; a reference without a scheme takes the base's. NULL as in 9. */
    char* (*resolve_url)(const char* base, const char* reference);
    /* 11. 1 when `text` is valid UTF-8 holding no control, format, private-use, surrogate or
     * unassigned character (tab, line feed and carriage return are allowed); else 0. The empty
     * text gives 1. Metadata keys and values and tokens must pass this check. */
    int (*check_text)(const char* text);

    /* Document services. Each returns 1 when done and 0 when refused (the document is then
     * unchanged); a refusal is also logged at DEBUG level with the reason. They may be called
     * only during fff_transform, on the document it received. */

    /* 12. Adds a metadata entry (the host copies the texts). Refused when the type is not one
     * of the three, the dictid is above 31, the key is empty, holds ':' or is longer than
     * MARLOVEN_MAX_META_KEY, the value is longer than MARLOVEN_MAX_META_VALUE, either fails
     * check_text, a position lies outside the document (beg > end for a ranged entry, or
     * beyond token_count - 1), or the document already holds MARLOVEN_MAX_METAS entries. An
     * entry equal to another in type, key, value and positions is stored once. */
    int (*add_meta)(marloven_fff_document* document, const marloven_fff_meta* meta);
    /* 13. Removes the metadata entry at `index` of `metas`; later entries move down by one. */
    int (*remove_meta)(marloven_fff_document* document, uint32_t index);
    /* 14. Replaces the tokens of run `run` by `count` tokens (the host copies them). Each token
     * must be non-empty, at most MARLOVEN_MAX_TOKEN bytes, without blanks, and pass check_text.
     * Positions of later tokens shift by the change of count; metadata entries keep the
     * positions they were given. A count of 0 leaves the run empty. */
    int (*set_words)(marloven_fff_document* document, uint32_t run, const char* const* words,
                     uint32_t count);
    /* 15. Sets the document's language: replaces every documentwide MARLOVEN_META_LANGUAGE
     * entry by one holding `code`; an empty code removes them. The code follows the rules of
     * add_meta values. */
    int (*set_language)(marloven_fff_document* document, const char* code);
} marloven_host_services;

/* ---------------------------------------------------------------------------------------------
 * THE EXPORT
 *
 * Fills `regdata` and returns 0; any other number makes the host log
 * "Error <number> while loading plugin dll <path>" and leave the library out. `host` stays
 * valid until unregister returns.
 * ------------------------------------------------------------------------------------------- */
MARLOVEN_PLUGIN_EXPORT int marloven_plugin_registration(const marloven_host_services* host,
                                                        marloven_plugin_regdata* regdata);

/* The type of the export, for hosts that look it up with dlsym. */
typedef int (*marloven_plugin_registration_fn)(const marloven_host_services* host,
                                               marloven_plugin_regdata* regdata);

#ifdef __cplusplus
}
#endif

#endif /* VANTORELL_PLUGIN_H */
