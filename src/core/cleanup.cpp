// Release of per-thread caches: the two clean-up calls callers make, and a
// thread-exit destructor so that a thread which ends without calling them
// leaks nothing it cached.
#include <pthread.h>

#include "core/core.h"

namespace {

// Registered hooks; a slot, once filled, never changes.
const quorvel_teardown_hooks* g_teardown[kTeardownSlots];

pthread_key_t g_recycle_exit_key;
pthread_once_t g_recycle_exit_once = PTHREAD_ONCE_INIT;
int g_recycle_exit_key_ok = 0;
thread_local int tls_registered = 0;

void free_recycle_list(quorvel_recycle_list& list) {
    for (void* p = list.head; p;) {
        void* next = *static_cast<void**>(p);
        std::free(p);  // only malloc'd blocks are ever recycled
        p = next;
    }
    list = quorvel_recycle_list{};
}

void free_block_list(void*& head, size_t& bytes) {
    for (void* p = head; p;) {
        void* next = *static_cast<void**>(p);
        std::free(p);
        p = next;
    }
    head = nullptr;
    bytes = 0;
}

void recycle_thread_exit(void*) {
    quorvel_teardown_thread();
    quorvel_release_thread_caches();
    quorvel_release_block_lists();
}

void recycle_exit_key_create() {
    g_recycle_exit_key_ok = pthread_key_create(&g_recycle_exit_key, recycle_thread_exit) == 0;
}

}  // namespace

bool quorvel_teardown_register(const quorvel_teardown_hooks* hooks) {
    if (!hooks) return false;
    for (size_t i = 0; i < kTeardownSlots; i++) {
        const quorvel_teardown_hooks* expected = nullptr;
        if (__atomic_compare_exchange_n(&g_teardown[i], &expected, hooks, false, __ATOMIC_ACQ_REL,
                                        __ATOMIC_ACQUIRE))
            return true;
        if (expected == hooks) return true;
    }
    return false;
}

void quorvel_teardown_document(quorvel_document* doc) {
    for (size_t i = 0; i < kTeardownSlots; i++) {
        const quorvel_teardown_hooks* h = __atomic_load_n(&g_teardown[i], __ATOMIC_ACQUIRE);
        if (!h) break;  // slots fill in order
        if (h->document) h->document(doc);
    }
}

void quorvel_teardown_thread() {
    for (size_t i = 0; i < kTeardownSlots; i++) {
        const quorvel_teardown_hooks* h = __atomic_load_n(&g_teardown[i], __ATOMIC_ACQUIRE);
        if (!h) break;
        if (h->thread) h->thread();
    }
}

void quorvel_thread_register_exit() {
    if (tls_registered) return;
    tls_registered = 1;
    pthread_once(&g_recycle_exit_once, recycle_exit_key_create);
    if (g_recycle_exit_key_ok) pthread_setspecific(g_recycle_exit_key, reinterpret_cast<void*>(1));
}

void quorvel_release_thread_caches() {
    free_recycle_list(t_recycle_pools);
    free_recycle_list(t_recycle_pages);
    for (size_t i = 0; i < g_small.count; i++) std::free(g_small.blocks[i]);
    g_small.count = 0;
    g_small.bytes = 0;
}

void quorvel_release_block_lists() {
    free_block_list(tls_recycle_elem, tls_recycle_elem_bytes);
    free_block_list(tls_recycle_name, tls_recycle_name_bytes);
    free_block_list(tls_recycle_attr, tls_recycle_attr_bytes);
}

extern "C" {

QUORVEL_API void quorvel_thread_cleanup(void) {
    quorvel_teardown_thread();
    quorvel_release_thread_caches();
    quorvel_retain_release_all();
}

QUORVEL_API void quorvel_explicit_cleanup(void) {
    quorvel_overflow_release_untied();
    quorvel_release_block_lists();
}

}  // extern "C"
