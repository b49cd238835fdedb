// Syntax-tree nodes: creation, children, and freeing without recursion.
#include <cstdlib>
#include <cstring>

#include "xpath/xpath.h"

quorvel_xpath_ast_node* ast_node_new(int32_t type) {
    auto* n = static_cast<quorvel_xpath_ast_node*>(std::calloc(1, sizeof(quorvel_xpath_ast_node)));
    if (!n) return nullptr;
    n->type = type;
    n->axis = AXIS_CHILD;
    n->height = 1;
    return n;
}

bool ast_node_add_child(quorvel_xpath_ast_node* node, quorvel_xpath_ast_node* child) {
    if (!node || !child) return true;
    if (node->count == node->capacity) {
        size_t capacity = node->capacity ? node->capacity * 2 : 4;
        auto* grown = static_cast<quorvel_xpath_ast_node**>(
            std::realloc(node->children, capacity * sizeof(quorvel_xpath_ast_node*)));
        if (!grown) return false;
        node->children = grown;
        node->capacity = capacity;
    }
    node->children[node->count++] = child;
    if (child->height >= node->height) node->height = child->height + 1;
    return true;
}

quorvel_xpath_ast_node* create_operator_node(int32_t op, quorvel_xpath_ast_node* left,
                                             quorvel_xpath_ast_node* right) {
    quorvel_xpath_ast_node* n = ast_node_new(AST_OPERATOR);
    if (!n || !ast_node_add_child(n, left)) {
        ast_node_free(n);
        ast_node_free(left);
        ast_node_free(right);
        return nullptr;
    }
    if (!ast_node_add_child(n, right)) {
        ast_node_free(n);
        ast_node_free(right);
        return nullptr;
    }
    n->number = op;
    return n;
}

void ast_node_free(quorvel_xpath_ast_node* node) {
    if (!node) return;
    // Trees can be deep (long operator chains are built without recursion),
    // so freeing keeps a work list threaded through the nodes themselves: a
    // node's texts are freed when it joins the list and its prefix field then
    // links to the next node. No memory is needed, so freeing cannot fail.
    quorvel_xpath_ast_node* head = nullptr;
    auto push = [&head](quorvel_xpath_ast_node* n) {
        std::free(n->text);
        std::free(n->local_name);
        std::free(n->prefix);
        n->text = nullptr;
        n->local_name = nullptr;
        n->prefix = reinterpret_cast<char*>(head);
        head = n;
    };
    push(node);
    while (head) {
        quorvel_xpath_ast_node* n = head;
        head = reinterpret_cast<quorvel_xpath_ast_node*>(n->prefix);
        for (size_t i = 0; i < n->count; i++)
            if (n->children[i]) push(n->children[i]);
        std::free(n->children);
        std::free(n);
    }
}
