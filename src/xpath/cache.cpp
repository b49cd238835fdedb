// Shared trees and the process-wide compiled-expression cache: 16 slots keyed
// by the expression text. Every holder of a tree (a slot, a compiled handle,
// an evaluation, a function item) holds one reference on it, so a tree lives
// exactly as long as someone uses it: eviction drops the cache's own
// reference and never pulls a tree from under a user.
#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "xpath/xpath.h"

quorvel_xpath_tree* xpath_tree_new(quorvel_xpath_ast_node* root) {
    if (!root) return nullptr;
    auto* tree = static_cast<quorvel_xpath_tree*>(std::calloc(1, sizeof(quorvel_xpath_tree)));
    if (!tree) {
        ast_node_free(root);
        return nullptr;
    }
    tree->refs = 1;
    tree->root = root;
    return tree;
}

void xpath_tree_retain(quorvel_xpath_tree* tree) {
    if (tree) __atomic_add_fetch(&tree->refs, 1, __ATOMIC_RELAXED);
}

void xpath_tree_release(quorvel_xpath_tree* tree) {
    if (!tree || __atomic_sub_fetch(&tree->refs, 1, __ATOMIC_ACQ_REL) != 0) return;
    if (tree->program && tree->program_free) tree->program_free(tree->program);
    ast_node_free(tree->root);
    std::free(tree);
}

namespace {

pthread_mutex_t g_cache_mutex = PTHREAD_MUTEX_INITIALIZER;
quorvel_xpath_cache_entry g_cache[kXpathCacheSlots];

bool entry_equal(const quorvel_xpath_cache_entry& e, uint32_t hash, const char* text, size_t length) {
    return e.hash == hash && e.length == length && std::memcmp(e.text, text, length) == 0;
}

// Slot holding the text, or the first empty slot on its probe path (found
// false), or kXpathCacheSlots when every slot holds another text.
size_t probe(uint32_t hash, const char* text, size_t length, bool* found) {
    size_t home = hash % kXpathCacheSlots;
    for (size_t i = 0; i < kXpathCacheSlots; i++) {
        size_t slot = (home + i) % kXpathCacheSlots;
        const quorvel_xpath_cache_entry& e = g_cache[slot];
        if (e.hash == 0) {
            *found = false;
            return slot;
        }
        if (entry_equal(e, hash, text, length)) {
            *found = true;
            return slot;
        }
    }
    *found = false;
    return kXpathCacheSlots;
}

struct cache_lock {
    cache_lock() { pthread_mutex_lock(&g_cache_mutex); }
    ~cache_lock() { pthread_mutex_unlock(&g_cache_mutex); }
    cache_lock(const cache_lock&) = delete;
    cache_lock& operator=(const cache_lock&) = delete;
};

}  // namespace

uint32_t xpath_cache_hash(const char* text, size_t length) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < length; i++) {
        h ^= static_cast<unsigned char>(text[i]);
        h *= 16777619u;
    }
    return h ? h : 1;
}

quorvel_xpath_tree* xpath_cache_get(const char* text, size_t length) {
    if (!text || length == 0) return nullptr;
    uint32_t hash = xpath_cache_hash(text, length);
    cache_lock lock;
    bool found;
    size_t slot = probe(hash, text, length, &found);
    if (!found) return nullptr;
    quorvel_xpath_tree* tree = g_cache[slot].tree;
    xpath_tree_retain(tree);
    return tree;
}

quorvel_xpath_tree* xpath_cache_insert(const char* text, size_t length, quorvel_xpath_tree* tree) {
    if (!tree) return nullptr;
    if (!text || length == 0) return tree;
    uint32_t hash = xpath_cache_hash(text, length);
    // The copy is made before the lock is taken, and whatever must be
    // released is released after it is dropped.
    char* copy = static_cast<char*>(std::malloc(length + 1));
    if (!copy) {
        xpath_tree_release(tree);
        return nullptr;
    }
    std::memcpy(copy, text, length);
    copy[length] = '\0';
    quorvel_xpath_tree* result;
    char* drop_text = nullptr;
    quorvel_xpath_tree* drop_tree = nullptr;
    {
        cache_lock lock;
        bool found;
        size_t slot = probe(hash, text, length, &found);
        if (found) {
            // Another caller cached the same text first: its tree is used.
            result = g_cache[slot].tree;
            xpath_tree_retain(result);
            drop_text = copy;
            drop_tree = tree;
        } else {
            if (slot == kXpathCacheSlots) slot = hash % kXpathCacheSlots;
            quorvel_xpath_cache_entry& e = g_cache[slot];
            drop_text = e.text;
            drop_tree = e.tree;
            e.hash = hash;
            e.text = copy;
            e.length = length;
            e.tree = tree;
            xpath_tree_retain(tree);
            result = tree;
        }
    }
    std::free(drop_text);
    xpath_tree_release(drop_tree);
    return result;
}

const quorvel_xpath_tree* xpath_cache_slot_tree(size_t slot) {
    if (slot >= kXpathCacheSlots) return nullptr;
    cache_lock lock;
    return g_cache[slot].tree;
}

void xpath_cache_clear() {
    quorvel_xpath_cache_entry old[kXpathCacheSlots];
    {
        cache_lock lock;
        std::memcpy(old, g_cache, sizeof g_cache);
        std::memset(g_cache, 0, sizeof g_cache);
    }
    for (quorvel_xpath_cache_entry& e : old) {
        std::free(e.text);
        xpath_tree_release(e.tree);
    }
}
