// Pattern records: creation, free and deep copy (iterating along sibling
// chains, so a choice of many thousand values costs no stack), and the
// combination of definitions that share a name.
#include <cstdio>
#include <cstring>

#include "core/core.h"
#include "relaxng/rng.h"

quorvel_rng_pattern* rng_pattern_new(uint32_t kind) {
    auto* p = static_cast<quorvel_rng_pattern*>(quorvel_work_calloc(sizeof(quorvel_rng_pattern)));
    if (p) p->kind = kind;
    return p;
}

char* rng_strdup(const char* s) {
    if (!s) return nullptr;
    size_t n = std::strlen(s);
    auto* c = static_cast<char*>(quorvel_work_alloc(n + 1));
    if (c) std::memcpy(c, s, n + 1);
    return c;
}

void rng_pattern_free(quorvel_rng_pattern* chain) {
    while (chain) {
        quorvel_rng_pattern* next = chain->next;
        rng_pattern_free(chain->first_child);
        quorvel_work_free(chain->name);
        quorvel_work_free(chain->ns);
        quorvel_work_free(chain->datatype);
        quorvel_work_free(chain->datatype_library);
        quorvel_work_free(chain->text);
        rre_free(chain->regex);
        quorvel_work_free(chain);
        chain = next;
    }
}

namespace {

bool copy_string(char** to, const char* from) {
    if (!from) return true;
    *to = rng_strdup(from);
    return *to != nullptr;
}

}  // namespace

quorvel_rng_pattern* rng_pattern_deep_copy(const quorvel_rng_pattern* chain) {
    quorvel_rng_pattern* head = nullptr;
    quorvel_rng_pattern** tail = &head;
    for (const quorvel_rng_pattern* s = chain; s; s = s->next) {
        quorvel_rng_pattern* c = rng_pattern_new(s->kind);
        if (!c) {
            rng_pattern_free(head);
            return nullptr;
        }
        *tail = c;
        tail = &c->next;
        c->any_name = s->any_name;
        bool ok = copy_string(&c->name, s->name) && copy_string(&c->ns, s->ns) &&
                  copy_string(&c->datatype, s->datatype) && copy_string(&c->datatype_library, s->datatype_library) &&
                  copy_string(&c->text, s->text);
        if (ok && s->regex) ok = (c->regex = rre_compile(s->text ? s->text : "")) != nullptr;
        if (ok && s->first_child) ok = (c->first_child = rng_pattern_deep_copy(s->first_child)) != nullptr;
        if (!ok) {
            rng_pattern_free(head);
            return nullptr;
        }
    }
    return head;
}

void rng_grammar_free(quorvel_rng_grammar* grammar) {
    if (!grammar) return;
    rng_pattern_free(grammar->start);
    for (quorvel_rng_define* d = grammar->defines; d;) {
        quorvel_rng_define* next = d->next;
        rng_pattern_free(d->pattern);
        quorvel_work_free(d->name);
        quorvel_work_free(d->combine);
        quorvel_work_free(d);
        d = next;
    }
    quorvel_work_free(grammar->ns);
    quorvel_work_free(grammar->datatype_library);
    quorvel_work_free(grammar);
}

quorvel_rng_define* rng_lookup(const quorvel_rng_grammar* grammar, const char* name) {
    if (!grammar || !name) return nullptr;
    for (quorvel_rng_define* d = grammar->defines; d; d = d->next)
        if (std::strcmp(d->name, name) == 0) return d;
    return nullptr;
}

quorvel_rng_pattern* rng_group_of(quorvel_rng_pattern* chain, bool* failed) {
    if (!chain || !chain->next) return chain;
    quorvel_rng_pattern* g = rng_pattern_new(kRngGroup);
    if (!g) {
        rng_pattern_free(chain);
        if (failed) *failed = true;
        return nullptr;
    }
    g->first_child = chain;
    return g;
}

const char* rng_display_name(const char* name) {
    if (!name) return "";
    const char* cut = std::strrchr(name, '\x01');
    return cut ? cut + 1 : name;
}

int rng_add_define(quorvel_rng_grammar* grammar, char* name, char* combine, quorvel_rng_pattern* chain, char* err) {
    bool failed = false;
    // Several patterns in one define form one group, so that each define
    // contributes one alternative (or one interleave branch) when combined.
    chain = rng_group_of(chain, &failed);
    if (failed) {
        quorvel_work_free(name);
        quorvel_work_free(combine);
        std::snprintf(err, kRngErrorSize, "out of memory");
        return 0;
    }
    quorvel_rng_define* d = rng_lookup(grammar, name);
    if (!d) {
        d = static_cast<quorvel_rng_define*>(quorvel_work_calloc(sizeof(quorvel_rng_define)));
        if (!d) {
            quorvel_work_free(name);
            quorvel_work_free(combine);
            rng_pattern_free(chain);
            std::snprintf(err, kRngErrorSize, "out of memory");
            return 0;
        }
        d->name = name;
        d->combine = combine;
        d->pattern = chain;
        d->next = grammar->defines;
        grammar->defines = d;
        return 1;
    }
    quorvel_work_free(name);
    if (combine) {
        quorvel_work_free(d->combine);
        d->combine = combine;
    } else if (!d->combine) {
        std::snprintf(err, kRngErrorSize, "define %s: redefined without combine", rng_display_name(d->name));
        rng_pattern_free(chain);
        return 0;
    }
    uint32_t kind = std::strcmp(d->combine, "interleave") == 0 ? kRngInterleave : kRngChoice;
    quorvel_rng_pattern* node = rng_pattern_new(kind);
    if (!node) {
        rng_pattern_free(chain);
        std::snprintf(err, kRngErrorSize, "out of memory");
        return 0;
    }
    // The stored chain, then the new one.
    quorvel_rng_pattern** tail = &node->first_child;
    *tail = d->pattern;
    while (*tail) tail = &(*tail)->next;
    *tail = chain;
    // Flatten nested nodes of the same kind in place.
    quorvel_rng_pattern** slot = &node->first_child;
    while (*slot) {
        quorvel_rng_pattern* c = *slot;
        if (c->kind == kind && c->first_child) {
            quorvel_rng_pattern* inner = c->first_child;
            quorvel_rng_pattern* last = inner;
            while (last->next) last = last->next;
            last->next = c->next;
            *slot = inner;
            c->first_child = nullptr;
            c->next = nullptr;
            rng_pattern_free(c);
            continue;
        }
        slot = &c->next;
    }
    d->pattern = node;
    return 1;
}
