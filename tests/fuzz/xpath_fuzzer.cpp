// Fuzz target for the XPath compiler: the tokenizer and parser over raw
// bytes (NUL bytes included), then the public compile road with its cache.
// A parse gives a tree no taller than the nesting limit or a message; the
// compile road agrees with the parser; a handle's tree is the one a fresh
// parse gives; the canonical form of every number literal reads back as the
// same number.
//
// Input: the expression text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "xpath/xpath.h"

namespace {

// Checks every node without recursion; returns the number of nodes.
size_t check_tree(const quorvel_xpath_ast_node* root) {
    std::vector<const quorvel_xpath_ast_node*> stack{root};
    size_t nodes = 0;
    while (!stack.empty()) {
        const quorvel_xpath_ast_node* n = stack.back();
        stack.pop_back();
        nodes++;
        if (n->height < 1 || n->height > kXpathMaxNesting) fuzz::fail("tree height %d", n->height);
        if (n->count > n->capacity) fuzz::fail("child count above capacity");
        if (n->type == AST_NUMBER && std::isfinite(n->number)) {
            char text[64];
            xpath_format_number_canonical(n->number, 0, text);
            if (std::strtod(text, nullptr) != n->number) fuzz::fail("canonical form %s does not read back", text);
            xpath_format_number(n->number, text);
            if (!text[0]) fuzz::fail("empty number text");
        }
        for (size_t i = 0; i < n->count; i++) {
            const quorvel_xpath_ast_node* c = n->children[i];
            if (!c) fuzz::fail("null child");
            if (c->height >= n->height) fuzz::fail("child as tall as its parent");
            stack.push_back(c);
        }
    }
    return nodes;
}

bool same_tree(const quorvel_xpath_ast_node* a, const quorvel_xpath_ast_node* b) {
    std::vector<std::pair<const quorvel_xpath_ast_node*, const quorvel_xpath_ast_node*>> stack{{a, b}};
    auto same_text = [](const char* x, const char* y) { return (!x && !y) || (x && y && !std::strcmp(x, y)); };
    while (!stack.empty()) {
        auto [x, y] = stack.back();
        stack.pop_back();
        if (x->type != y->type || x->count != y->count || x->axis != y->axis ||
            !(x->number == y->number || (std::isnan(x->number) && std::isnan(y->number))) ||
            !same_text(x->text, y->text) || !same_text(x->prefix, y->prefix) ||
            !same_text(x->local_name, y->local_name))
            return false;
        for (size_t i = 0; i < x->count; i++) stack.emplace_back(x->children[i], y->children[i]);
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    const std::string bytes(reinterpret_cast<const char*>(data), size);

    char message[256];
    quorvel_xpath_ast_node* tree = xpath_parse_text(bytes.data(), bytes.size(), message, sizeof message);
    if (tree)
        check_tree(tree);
    else if (!message[0])
        fuzz::fail("parse failed without a message");
    ast_node_free(tree);

    // The public road reads up to the first NUL.
    const std::string text(bytes.c_str());
    quorvel_xpath_ast_node* direct = xpath_parse_text(text.data(), text.size(), message, sizeof message);
    quorvel_xpath_compiled* h = quorvel_xpath_compile(text.c_str());
    if ((h != nullptr) != (direct != nullptr) && !text.empty()) fuzz::fail("compile and parse disagree");
    if (!h && direct == nullptr && !text.empty()) {
        const char* last = quorvel_last_error();
        if (!last || std::strcmp(last, message) != 0) fuzz::fail("compile message differs from the parser's");
    }
    if (h) {
        if (std::strcmp(quorvel_xpath_compiled_text(h), text.c_str()) != 0) fuzz::fail("handle text differs");
        if (!same_tree(h->tree->root, direct)) fuzz::fail("handle tree differs from a fresh parse");
        quorvel_xpath_compiled* again = quorvel_xpath_compile(text.c_str());
        if (!again || again->tree->root == nullptr) fuzz::fail("second compile failed");
        quorvel_xpath_compiled_free(h);
        if (!same_tree(again->tree->root, direct)) fuzz::fail("tree changed after a handle was freed");
        quorvel_xpath_compiled_free(again);
    }
    ast_node_free(direct);
    return 0;
}
