/* example.c: a small plug-in that shows how to write one against vantorell/plugin.h alone.
 * It counts the words of a document's body text and adds the count as a metadata entry, so that
 * the query META:words:120 finds documents of 120 words. The filter's parameters name the key
 * (default "words"); the plug-in record's configuration is not used.
 *
 * Build it (C99, no library of the server needed) and install it:
 *   cc -std=c99 -shared -fPIC -fvisibility=hidden -I DEPLOYDIR/include \
 *      -o exampleplugin.so example.c
 *   cp exampleplugin.so DEPLOYDIR/plugins/
 * SPDX-License-Identifier: MIT */
#include <stdio.h>
#include <string.h>

#include "vantorell/plugin.h"

/* The host's services and the record the host gave us: kept for the log calls. */
static const marloven_host_services* host;
static marloven_plugin_regdata* self;

/* One instance per document filter: the metadata key to write. */
typedef struct example_instance {
    char* key;
} example_instance;

static void example_unregister(void) {
    host = NULL;
    self = NULL;
}

static void* example_create(const marloven_plugin_config* config) {
    const char* key = config->parameters_length > 0 ? config->parameters : "words";
    example_instance* instance;
    /* Keys must be plain text without ':' (META:key:value splits there): refuse others. */
    if (strchr(key, ':') != NULL || !host->check_text(key)) {
        host->log_error(self, "the parameters must be a metadata key without ':'");
        return NULL;
    }
    instance = host->allocate(sizeof *instance);
    if (instance == NULL) {
        return NULL;
    }
    instance->key = host->duplicate(key);
    if (instance->key == NULL) {
        host->free(instance);
        return NULL;
    }
    return instance;
}

static void example_destroy(void* instance) {
    example_instance* e = instance;
    host->free(e->key);
    host->free(e);
}

static int example_transform(void* instance, marloven_fff_document* doc) {
    example_instance* e = instance;
    unsigned long words = 0;
    char count[24];
    uint32_t i;
    marloven_fff_meta meta;
    for (i = 0; i < doc->run_count; ++i) {
        const marloven_fff_run* run = &doc->runs[i];
        if (run->dictid >= MARLOVEN_SLICE_CENTRAL_NORM &&
            run->dictid <= MARLOVEN_SLICE_CENTRAL_HEADER) {
            words += run->word_count;
        }
    }
    sprintf(count, "%lu", words);
    meta.type = MARLOVEN_META_DOCUMENTWIDE;
    meta.dictid = 0;
    meta.key = e->key;
    meta.value = count;
    meta.beg = 0;
    meta.end = 0;
    if (!host->add_meta(doc, &meta)) {
        host->log_error(self, "the host refused the word count");
        return 1;
    }
    return 0;
}

MARLOVEN_PLUGIN_EXPORT int marloven_plugin_registration(const marloven_host_services* services,
                                                        marloven_plugin_regdata* regdata) {
    host = services;
    self = regdata;
    regdata->interface_version = MARLOVEN_PLUGIN_INTERFACE_VERSION;
    regdata->type = ARCHIVEFFF_PLUGINTYPE;
    regdata->name = "Example";
    regdata->description = "Counts the words of the body text";
    regdata->unregister = example_unregister;
    regdata->config_create = example_create;
    regdata->config_destroy = example_destroy;
    regdata->fff_transform = example_transform;
    return 0;
}
