/* probe_plugin.c: the plug-in libraries the tests load, one source built in several variants
 * (PROBE_VARIANT): a well-behaved plug-in whose filter parameters script what it does to a
 * document, and libraries that break one registration rule each.
 * SPDX-License-Identifier: MIT */
#define _POSIX_C_SOURCE 200809L /* strtok_r, pause */

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "vantorell/plugin.h"

#define PROBE_GOOD 0
#define PROBE_REGISTER_FAILS 1  /* registration returns 3 */
#define PROBE_TYPE_ONE 2        /* registers type 1 */
#define PROBE_NO_DESTROY 3      /* no config_destroy */
#define PROBE_NEWER_INTERFACE 4 /* built for an interface version this host does not offer */
#define PROBE_GLOBAL 5          /* a good plug-in of type GLOBALFFF */
#define PROBE_NO_EXPORT 6       /* the registration function has another name */

static const marloven_host_services* host;
static marloven_plugin_regdata* self;

typedef struct probe {
    char* script; /* the filter's parameters: one command a line */
} probe;

static void unregister_probe(void) {
    host = NULL;
}

static void* create(const marloven_plugin_config* config) {
    probe* p;
    if (strcmp(config->parameters, "hang-create") == 0) {
        for (;;) {
            pause();
        }
    }
    if (strcmp(config->parameters, "refuse") == 0) {
        host->log_error(self, "refusing this configuration");
        return NULL;
    }
    p = host->allocate(sizeof *p);
    p->script = host->duplicate(config->parameters);
    return p;
}

static void destroy(void* instance) {
    probe* p = instance;
    host->free(p->script);
    host->free(p);
}

/* Commands, one a line:
 *   meta KEY VALUE     add a documentwide meta
 *   language CODE      set the language
 *   score N            set the score
 *   upper RUN          replace the words of run RUN by "UPPER" and "CASE"
 *   crash              die of a segmentation fault
 *   hang               never return
 *   exit               end the process with status 7
 * A command after "if TEXT " runs only for documents whose URL contains TEXT. */
static int transform(void* instance, marloven_fff_document* doc) {
    probe* p = instance;
    char* script = host->duplicate(p->script);
    char* save = NULL;
    char* line;
    for (line = strtok_r(script, "\n", &save); line != NULL; line = strtok_r(NULL, "\n", &save)) {
        char key[256] = "";
        char value[256] = "";
        int skip = 0;
        if (sscanf(line, "if %255s %n", value, &skip) == 1 && skip > 0) {
            if (strstr(doc->url, value) == NULL) {
                continue;
            }
            line += skip;
        }
        if (sscanf(line, "meta %255s %255s", key, value) == 2) {
            marloven_fff_meta m = {MARLOVEN_META_DOCUMENTWIDE, 0, key, value, 0, 0};
            host->add_meta(doc, &m);
        } else if (sscanf(line, "language %255s", value) == 1) {
            host->set_language(doc, value);
        } else if (strncmp(line, "score ", 6) == 0) {
            doc->score = (uint32_t)strtoul(line + 6, NULL, 10);
        } else if (strncmp(line, "upper ", 6) == 0) {
            const char* words[] = {"UPPER", "CASE"};
            host->set_words(doc, (uint32_t)strtoul(line + 6, NULL, 10), words, 2);
        } else if (strcmp(line, "crash") == 0) {
            raise(SIGSEGV);
        } else if (strcmp(line, "hang") == 0) {
            for (;;) {
                pause();
            }
        } else if (strcmp(line, "exit") == 0) {
            _exit(7);
        }
    }
    host->free(script);
    return 0;
}

#if PROBE_VARIANT == PROBE_NO_EXPORT
#define marloven_plugin_registration not_the_registration
#endif

MARLOVEN_PLUGIN_EXPORT int marloven_plugin_registration(const marloven_host_services* services,
                                                        marloven_plugin_regdata* reg) {
    host = services;
    self = reg;
    reg->interface_version = MARLOVEN_PLUGIN_INTERFACE_VERSION;
    reg->type = ARCHIVEFFF_PLUGINTYPE;
    reg->name = "Probe";
    reg->description = "Test plug-in scripted by its filter parameters";
    reg->unregister = unregister_probe;
    reg->config_create = create;
    reg->config_destroy = destroy;
    reg->fff_transform = transform;
#if PROBE_VARIANT == PROBE_REGISTER_FAILS
    return 3;
#elif PROBE_VARIANT == PROBE_TYPE_ONE
    reg->type = LEGACY_PLUGINTYPE;
#elif PROBE_VARIANT == PROBE_NO_DESTROY
    reg->name = "NoDestroy";
    reg->config_destroy = NULL;
#elif PROBE_VARIANT == PROBE_NEWER_INTERFACE
    reg->interface_version = MARLOVEN_PLUGIN_INTERFACE_VERSION + 1;
#elif PROBE_VARIANT == PROBE_GLOBAL
    reg->name = "GlobalProbe";
    reg->type = GLOBALFFF_PLUGINTYPE;
#endif
    return 0;
}
