// Compiled-expression handles: an expression parsed once (or found in the
// cache) and kept for repeated evaluation.
#include <cstdlib>
#include <cstring>

#include "core/core.h"
#include "xpath/xpath.h"

QUORVEL_API quorvel_xpath_compiled* quorvel_xpath_compile(const char* expression) {
    if (!expression || !*expression) return nullptr;
    size_t length = std::strlen(expression);
    auto* handle = static_cast<quorvel_xpath_compiled*>(std::calloc(1, sizeof(quorvel_xpath_compiled)));
    if (!handle) return nullptr;
    handle->text = static_cast<char*>(std::malloc(length + 1));
    if (!handle->text) {
        std::free(handle);
        return nullptr;
    }
    std::memcpy(handle->text, expression, length + 1);
    handle->length = length;

    quorvel_xpath_tree* tree = xpath_cache_get(expression, length);
    if (!tree) {
        char message[256];
        quorvel_xpath_ast_node* root = xpath_parse_text(expression, length, message, sizeof message);
        if (!root) {
            if (message[0]) quorvel_set_last_error(message);
            quorvel_xpath_compiled_free(handle);
            return nullptr;
        }
        tree = xpath_cache_insert(expression, length, xpath_tree_new(root));
    }
    if (!tree) {
        quorvel_xpath_compiled_free(handle);
        return nullptr;
    }
    handle->tree = tree;
    return handle;
}

QUORVEL_API const char* quorvel_xpath_compiled_text(const quorvel_xpath_compiled* compiled) {
    return compiled ? compiled->text : nullptr;
}

QUORVEL_API void quorvel_xpath_compiled_free(quorvel_xpath_compiled* compiled) {
    if (!compiled) return;
    xpath_tree_release(compiled->tree);
    std::free(compiled->text);
    std::free(compiled);
}
