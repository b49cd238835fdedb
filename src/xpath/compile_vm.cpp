// The bytecode compiler: location paths (from the root or the context node)
// over the child, descendant, descendant-or-self, self and parent axes, with
// element name (prefixed or not), wildcard and node/text/comment tests,
// become instructions, and a closing attribute step may end them; attribute
// tests, contains() over a child or an attribute and positions in predicates
// get instructions of their own, and any other predicate is handed to the
// tree-walker as a subtree. A union of such paths, and sum() of one, are
// programs too. Every other shape gives no program, and the tree-walker
// evaluates it.
#include <cstdlib>
#include <cstring>

#include "xpath/xpath.h"

namespace {

using ast = quorvel_xpath_ast_node;

constexpr size_t kNoConstant = 0xFFFF;

struct compiler {
    quorvel_xpath_program* program;
    bool failed = false;

    void byte(uint8_t b) {
        if (failed) return;
        quorvel_xpath_program* p = program;
        if (p->length == p->capacity) {
            size_t capacity = p->capacity ? p->capacity * 2 : 64;
            auto* code = static_cast<uint8_t*>(std::realloc(p->code, capacity));
            if (!code) {
                failed = true;
                return;
            }
            p->code = code;
            p->capacity = capacity;
        }
        p->code[p->length++] = b;
    }

    void u16(size_t v) {
        byte(static_cast<uint8_t>(v >> 8));
        byte(static_cast<uint8_t>(v & 0xFF));
    }

    // Index of a new constant; kNoConstant (and failed) when the pool is full.
    size_t constant(const quorvel_xpath_vm_constant& c) {
        if (failed) return kNoConstant;
        quorvel_xpath_program* p = program;
        if (p->constant_count >= kNoConstant) {
            failed = true;
            return kNoConstant;
        }
        if (p->constant_count == p->constant_capacity) {
            size_t capacity = p->constant_capacity ? p->constant_capacity * 2 : 16;
            auto* grown = static_cast<quorvel_xpath_vm_constant*>(
                std::realloc(p->constants, capacity * sizeof(quorvel_xpath_vm_constant)));
            if (!grown) {
                failed = true;
                return kNoConstant;
            }
            p->constants = grown;
            p->constant_capacity = capacity;
        }
        p->constants[p->constant_count] = c;
        return p->constant_count++;
    }

    size_t text(const char* s) {
        if (!s) s = "";
        return constant({0, s, std::strlen(s), nullptr});
    }
    size_t number(double v) { return constant({v, nullptr, 0, nullptr}); }
    size_t subtree(const ast* t) { return constant({0, nullptr, 0, t}); }
};

// ---- Shapes -------------------------------------------------------------------------------------

bool is_plain_descendant_step(const ast* s) {
    return s->type == AST_STEP && s->axis == AXIS_DESCENDANT_OR_SELF && s->count == 1 &&
           s->children[0]->type == AST_KIND_TEST && s->children[0]->text && !std::strcmp(s->children[0]->text, "node") &&
           !s->children[0]->local_name;
}

// The attribute name of "@name" (a lone attribute step, name without
// prefix, not a namespace declaration), or NULL.
const char* attribute_step_name(const ast* e) {
    if (e->type == AST_RELATIVE_PATH && e->count == 1) e = e->children[0];
    if (e->type != AST_STEP || e->axis != AXIS_ATTRIBUTE || e->count != 1) return nullptr;
    const ast* t = e->children[0];
    if (t->type != AST_NAME_TEST || t->prefix || !t->local_name || !t->local_name[0]) return nullptr;
    if (std::strchr(t->local_name, ':') || !std::strcmp(t->local_name, "xmlns")) return nullptr;
    return t->local_name;
}


// The element name of a lone unprefixed child step ("name"), or NULL.
const char* child_step_name(const ast* e) {
    if (e->type == AST_RELATIVE_PATH && e->count == 1) e = e->children[0];
    if (e->type != AST_STEP || e->axis != AXIS_CHILD || e->count != 1) return nullptr;
    const ast* t = e->children[0];
    if (t->type != AST_NAME_TEST || t->prefix || !t->local_name || !t->local_name[0]) return nullptr;
    if (std::strchr(t->local_name, ':')) return nullptr;
    return t->local_name;
}

// contains(name, 'literal') or contains(@name, 'literal'): the source kind
// (0 child element, 1 attribute) and name, or NULL.
const char* contains_source(const ast* p, uint8_t* source) {
    if (p->type != AST_FUNCTION_CALL || !p->text || std::strcmp(p->text, "contains") != 0 || p->count != 2 ||
        p->children[1]->type != AST_STRING)
        return nullptr;
    if (const char* name = attribute_step_name(p->children[0])) {
        *source = 1;
        return name;
    }
    *source = 0;
    return child_step_name(p->children[0]);
}

// Emits one predicate; answers whether it selects by position (or may).
bool emit_predicate(compiler& c, const ast* p) {
    if (p->type == AST_NUMBER) {
        c.byte(VM_PRED_POSITION);
        c.u16(c.number(p->number));
        return true;
    }
    if (const char* name = attribute_step_name(p)) {
        c.byte(VM_PRED_HAS_ATTR);
        c.u16(c.text(name));
        return false;
    }
    if (p->type == AST_OPERATOR && static_cast<int32_t>(p->number) == OP_EQ && p->count == 2) {
        const ast* left = p->children[0];
        const ast* right = p->children[1];
        const char* name = attribute_step_name(left);
        const ast* other = right;
        if (!name) {
            name = attribute_step_name(right);
            other = left;
        }
        if (name && other->type == AST_STRING) {
            c.byte(VM_PRED_ATTR_EQ_STRING);
            c.u16(c.text(name));
            c.u16(c.text(other->text));
            return false;
        }
        if (name && other->type == AST_NUMBER) {
            c.byte(VM_PRED_ATTR_EQ_NUMBER);
            c.u16(c.text(name));
            c.u16(c.number(other->number));
            return false;
        }
        if (name && other->type == AST_VARIABLE && other->text) {
            const char* var = other->text[0] == '$' ? other->text + 1 : other->text;
            c.byte(VM_PRED_ATTR_EQ_VAR);
            c.u16(c.text(name));
            c.u16(c.text(var));
            c.u16(c.subtree(p));
            return false;
        }
    }
    uint8_t source = 0;
    if (const char* name = contains_source(p, &source)) {
        c.byte(VM_PRED_CONTAINS);
        c.byte(source);
        c.u16(c.text(name));
        c.u16(c.text(p->children[1]->text));
        c.u16(c.subtree(p));
        return false;
    }
    c.byte(VM_PRED_TREE);
    c.u16(c.subtree(p));
    return !xpath_boolean_predicate(p);
}

// Whether a step's predicates may select by position.
bool positional(const ast* step) {
    for (size_t i = 1; i < step->count; i++) {
        const ast* p = step->children[i];
        if (p->type == AST_NUMBER) return true;
        uint8_t source = 0;
        if (attribute_step_name(p) || contains_source(p, &source)) continue;
        if (p->type == AST_OPERATOR && static_cast<int32_t>(p->number) == OP_EQ && p->count == 2 &&
            (attribute_step_name(p->children[0]) || attribute_step_name(p->children[1])))
            continue;
        if (!xpath_boolean_predicate(p)) return true;
    }
    return false;
}

bool supported_axis(int32_t axis) {
    return axis == AXIS_CHILD || axis == AXIS_DESCENDANT || axis == AXIS_DESCENDANT_OR_SELF || axis == AXIS_SELF ||
           axis == AXIS_PARENT;
}

// A "*:local" test matches the local name in any namespace; the machine has
// no test for it, so the tree-walker answers.
bool any_prefix(const ast* t) { return t->prefix && t->prefix[0] == '*' && !t->prefix[1]; }

// The test and name constant of a name test or an unprefixed "*"; false
// for the forms the machine leaves to the tree-walker.
bool name_test(compiler& c, const ast* t, uint8_t* test, size_t* name) {
    if (t->type == AST_WILDCARD) {
        *test = VM_TEST_ANY_ELEMENT;
        return !t->prefix;
    }
    if (!t->local_name || !t->local_name[0] || any_prefix(t)) return false;
    if (t->prefix) {
        if (!t->text) return false;
        *test = VM_TEST_QNAME;
        *name = c.subtree(t);
    } else {
        *test = VM_TEST_NAME;
        *name = c.text(t->local_name);
    }
    return true;
}

// A closing attribute step: no predicates, a name, wildcard or node() test.
bool emit_attribute_step(compiler& c, const ast* step) {
    if (step->count != 1) return false;
    const ast* t = step->children[0];
    uint8_t test;
    size_t name = kNoConstant;
    if (t->type == AST_NAME_TEST || t->type == AST_WILDCARD) {
        if (!name_test(c, t, &test, &name)) return false;
    } else if (t->type == AST_KIND_TEST && t->text && !t->local_name && !std::strcmp(t->text, "node")) {
        test = VM_TEST_NODE;
    } else {
        return false;
    }
    c.byte(VM_STEP);
    c.byte(static_cast<uint8_t>(AXIS_ATTRIBUTE));
    c.byte(test);
    c.u16(name);
    c.byte(0);
    c.byte(0);
    return true;
}

bool emit_step(compiler& c, const ast* step, int32_t axis, uint8_t flags) {
    if (step->count == 0 || step->count - 1 > 255 || !supported_axis(axis)) return false;
    const ast* t = step->children[0];
    uint8_t test;
    size_t name = kNoConstant;
    if (t->type == AST_NAME_TEST || t->type == AST_WILDCARD) {
        if (!name_test(c, t, &test, &name)) return false;
    } else if (t->type == AST_KIND_TEST && t->text && !t->local_name) {
        if (!std::strcmp(t->text, "node")) test = VM_TEST_NODE;
        else if (!std::strcmp(t->text, "text")) test = VM_TEST_TEXT;
        else if (!std::strcmp(t->text, "comment")) test = VM_TEST_COMMENT;
        else return false;
    } else {
        return false;
    }
    c.byte(VM_STEP);
    c.byte(static_cast<uint8_t>(axis));
    c.byte(test);
    c.u16(name);
    c.byte(flags);
    c.byte(static_cast<uint8_t>(step->count - 1));
    for (size_t i = 1; i < step->count; i++) emit_predicate(c, step->children[i]);
    return true;
}

struct step_list {
    const ast** items = nullptr;
    size_t count = 0;
    size_t capacity = 0;
    ~step_list() { std::free(items); }
    bool push(const ast* s) {
        if (count == capacity) {
            size_t n = capacity ? capacity * 2 : 16;
            auto* grown = static_cast<const ast**>(std::realloc(items, n * sizeof(ast*)));
            if (!grown) return false;
            items = grown;
            capacity = n;
        }
        items[count++] = s;
        return true;
    }
};

// Steps of a path with nested relative paths flattened in place: the
// tree-walker runs a nested path's steps on the running set, as if inline.
bool flatten(step_list& out, const ast* const* steps, size_t count) {
    for (size_t i = 0; i < count; i++) {
        const ast* s = steps[i];
        if (s->type == AST_RELATIVE_PATH) {
            if (!flatten(out, s->children, s->count)) return false;
        } else if (s->type != AST_STEP || !out.push(s)) {
            return false;
        }
    }
    return true;
}

bool compile_path(compiler& c, const ast* root) {
    step_list steps;
    if (root->type == AST_ABSOLUTE_PATH) {
        c.byte(VM_ROOT);
        if (!flatten(steps, root->children, root->count)) return false;
    } else if (root->type == AST_RELATIVE_PATH) {
        c.byte(VM_CONTEXT);
        if (!flatten(steps, root->children, root->count)) return false;
    } else if (root->type == AST_STEP) {
        c.byte(VM_CONTEXT);
        if (!steps.push(root)) return false;
    } else {
        return false;
    }
    for (size_t i = 0; i < steps.count; i++) {
        const ast* s = steps.items[i];
        const ast* next = i + 1 < steps.count ? steps.items[i + 1] : nullptr;
        if (is_plain_descendant_step(s) && next && next->axis == AXIS_CHILD) {
            // "//" and a child step: one descendant step where no predicate
            // counts positions, else the child step from every node below.
            bool counts = positional(next);
            if (!emit_step(c, next, counts ? AXIS_CHILD : AXIS_DESCENDANT, counts ? kXpathVmFromDescendants : 0))
                return false;
            i++;
            continue;
        }
        if (s->axis == AXIS_ATTRIBUTE) {
            // Attribute nodes are synthetic: nothing runs from them here.
            if (next || !emit_attribute_step(c, s)) return false;
            continue;
        }
        if (!emit_step(c, s, s->axis, 0)) return false;
    }
    c.byte(VM_END);
    return !c.failed;
}

bool is_union(const ast* e) {
    return e->type == AST_OPERATOR && static_cast<int32_t>(e->number) == OP_UNION && e->count == 2;
}

// The operands of a chain of unions, left to right (the parser nests them
// to the left); false for other nestings, more than 255 operands or no memory.
bool union_operands(step_list& out, const ast* e) {
    step_list rights;
    for (; is_union(e); e = e->children[0])
        if (rights.count == 255 || !rights.push(e->children[1])) return false;
    if (!out.push(e)) return false;
    for (size_t i = rights.count; i-- > 0;)
        if (is_union(rights.items[i]) || !out.push(rights.items[i])) return false;
    return true;
}

bool compile(compiler& c, const ast* root) {
    if (root->type == AST_FUNCTION_CALL) {
        if (!root->text || std::strcmp(root->text, "sum") != 0 || root->count != 1) return false;
        c.byte(VM_SUM);
        return compile_path(c, root->children[0]);
    }
    if (is_union(root)) {
        step_list operands;
        if (!union_operands(operands, root) || operands.count > 255) return false;
        c.byte(VM_UNION);
        c.byte(static_cast<uint8_t>(operands.count));
        for (size_t i = 0; i < operands.count; i++)
            if (!compile_path(c, operands.items[i])) return false;
        return !c.failed;
    }
    return compile_path(c, root);
}

}  // namespace

quorvel_xpath_program* xpath_vm_compile(const quorvel_xpath_ast_node* root) {
    if (!root) return nullptr;
    auto* p = static_cast<quorvel_xpath_program*>(std::calloc(1, sizeof(quorvel_xpath_program)));
    if (!p) return nullptr;
    compiler c{p};
    if (!compile(c, root)) {
        xpath_vm_program_free(p);
        return nullptr;
    }
    return p;
}

void xpath_vm_program_free(quorvel_xpath_program* program) {
    if (!program) return;
    std::free(program->code);
    std::free(program->constants);
    std::free(program);
}
