// The XPath engine's shared types: values and node sets, synthetic nodes and
// carriers, tokens, the syntax tree, shared trees and the expression cache.
// Every source of the engine, and every later subsystem that parses or
// evaluates XPath, includes this header and no other of the engine.
#pragma once

#include <cstddef>
#include <cstdint>

#include "quorvel.h"
#include "xpath/xpath_services.h"

// ---- Values -------------------------------------------------------------------------

enum quorvel_xpath_result_kind : int32_t {
    XPATH_NODESET = 0,  // also every 2.0/3.1 sequence
    XPATH_BOOLEAN = 1,
    XPATH_NUMBER = 2,
    XPATH_STRING = 3,
    XPATH_FREED = 127,  // lying on the thread's free list
};

struct quorvel_xpath_node_set;

struct quorvel_xpath_result {
    int32_t kind;
    union {
        quorvel_xpath_node_set* nodeset;  // owned; NULL = empty
        int32_t boolean;
        double number;
        char* string;  // owned; NULL = ""
        void* free_link;
    } value;
    int32_t exact_integer_set;  // print exact_integer instead of the double
    int64_t exact_integer;
    const char* type_name;  // static XML Schema type name, NULL for a plain value
    int32_t typed_number;   // print in the XML Schema canonical form
    char* cached_string;    // owned
};

// Integers of this magnitude and above are not all doubles: they are kept
// exact beside the double (exact_integer_set) where the engine can.
constexpr double kXpathExactDoubleLimit = 9007199254740992.0;

// The exact integer value of r: an exact integer kept beside the double, a
// whole xs:integer double below 2^53, or one typed integer item. False for
// anything else (decimals, doubles, text, nodes).
bool xpath_exact_integer(const quorvel_xpath_result* r, int64_t* out);

// Reads text that is all an integer within 64 bits; false otherwise.
bool xpath_integer_text(const char* text, int64_t* out);

constexpr size_t kXpathInlineSlots = 16;
constexpr size_t kXpathMaxNodesetCapacity = 4000000;
// Item pointers at or below this are never stored and are skipped by readers.
constexpr uintptr_t kXpathLowestItem = 4095;

struct quorvel_xpath_node_set {
    quorvel_node** items;  // inline_items while they suffice, else a heap array
    size_t count;
    size_t capacity;
    int32_t owns_attributes;  // frees its kind-6 items
    int32_t owns_namespaces;  // frees its kind-7 items
    int32_t owns_carriers;    // frees its kind-8 items
    int32_t is_sequence;      // a 2.0/3.1 sequence (changes the boolean value of one item)
    quorvel_node* inline_items[kXpathInlineSlots];
};

// ---- Synthetic nodes ----------------------------------------------------------------

constexpr int32_t kXpathAttributeNode = 6;
constexpr int32_t kXpathNamespaceNode = 7;
constexpr int32_t kXpathCarrierNode = 8;

struct quorvel_xpath_attribute_node {
    int32_t kind;  // 6
    char* name;
    char* value;
    char* namespace_uri;  // NULL for none
    quorvel_element* owner;  // borrowed
};

struct quorvel_xpath_namespace_node {
    int32_t kind;  // 7
    char* prefix;
    char* uri;
    quorvel_element* parent;  // borrowed
};

struct quorvel_xpath_tree;
struct quorvel_xpath_ast_node;

// What a carrier refers to besides its text. Node references and function
// bodies are never written into item text: a text that merely looks like one
// (any string can begin with byte 0x03) has no reference and is refused by
// every reader that needs one.
enum quorvel_xpath_carrier_ref : int32_t {
    XPATH_REF_NONE = 0,
    XPATH_REF_NODE = 1,      // text 0x03 "P": ref.node is the element
    XPATH_REF_FUNCTION = 2,  // text 0x03 "FN" 0x02 params 0x02: ref.function
    XPATH_REF_MAP = 3,       // text 0x03 "MAP" ...: ref.map is the map or array
};

struct quorvel_xpath_map_value;

// An inline function's body: a subtree of a shared tree that the carrier
// keeps alive (one reference on the tree) for as long as it lives.
struct quorvel_xpath_function_ref {
    quorvel_xpath_tree* tree;           // one reference held
    const quorvel_xpath_ast_node* body;  // inside tree
};

struct quorvel_xpath_carrier {
    int32_t kind;  // 8
    int32_t ref_kind;  // quorvel_xpath_carrier_ref
    char* text;        // owned, NUL-terminated (may hold 0x01 and 0x02 inside)
    size_t length;     // bytes of text
    union {
        quorvel_node* node;
        quorvel_xpath_function_ref function;
        quorvel_xpath_map_value* map;  // one reference held
    } ref;
};

// Carrier text: a first byte other than 0x03 makes a string item; 0x03 and a
// tag make a tagged item (tags below; the engine and the function library
// write and read only these).
constexpr char kXpathTagMark = '\x03';
constexpr char kXpathTagNodeRef = 'P';
constexpr char kXpathTagBoolean = 'B';
constexpr char kXpathTagInteger = 'N';
constexpr char kXpathTagDecimal = 'D';
constexpr char kXpathTagFloat = 'F';  // "FR" function reference, "FN" 0x02 inline function
constexpr char kXpathTagDouble = 'O';
constexpr char kXpathTagEmpty = 'E';  // alone: the empty sequence; with text: xs:date
constexpr char kXpathTagAttribute = 'A';

struct quorvel_xpath_family {
    const char* type_name;
    char tag;
};
// The typed atomic families: xs:dateTime T, xs:date E, xs:time t, xs:gYear Y,
// xs:gYearMonth J, xs:gMonthDay K, xs:gDay Q, xs:gMonth H, xs:hexBinary X,
// xs:base64Binary W, xs:QName Z, the three durations d, xs:untypedAtomic U.
extern const quorvel_xpath_family xq_family_table[15];

// ---- Records and conversions ----------------------------------------------------------

quorvel_xpath_result* xpath_result_new(int32_t kind);
void xpath_result_free(quorvel_xpath_result* result);

quorvel_xpath_node_set* xpath_nodeset_new();
quorvel_xpath_node_set* xpath_nodeset_new_with_capacity(size_t n);
// Guarded append: NULL set or a pointer <= 4095 ignored; a set at the
// capacity limit silently keeps its items; NULL only when growth failed.
quorvel_xpath_node_set* xpath_nodeset_add(quorvel_xpath_node_set* set, quorvel_node* node);
// Unguarded append for sets the caller built itself; 0 when growth failed.
int xpath_nodeset_add_fast(quorvel_xpath_node_set* set, quorvel_node* node);
void xpath_nodeset_free(quorvel_xpath_node_set* set);
void xpath_nodeset_dispose_node(quorvel_node* node);
quorvel_xpath_node_set* xpath_nodeset_deep_copy(const quorvel_xpath_node_set* set);
void all_nodes_preorder(quorvel_xpath_node_set* set, quorvel_node* node);

// New carriers (NULL when memory runs out). A node reference holds the
// element only beside the text; a function item holds a reference on tree.
quorvel_node* xpath_synth_text(const char* bytes, size_t length);
quorvel_node* xpath_carrier_node_ref(quorvel_node* element);
quorvel_node* xpath_carrier_function(const char* params, size_t params_length, quorvel_xpath_tree* tree,
                                     const quorvel_xpath_ast_node* body);
// The element a node-reference carrier refers to; NULL for anything else,
// forged texts included.
quorvel_node* xpath_carrier_referenced_node(const quorvel_node* node);
// The body of an inline-function carrier; NULL for anything else.
const quorvel_xpath_function_ref* xpath_carrier_function_ref(const quorvel_node* node);

// Conversions; strings are malloc'd and freed by the caller (NULL: no memory).
char* get_node_text(const quorvel_node* node);
char* xpath_to_string(const quorvel_xpath_result* result);
inline char* result_to_string(const quorvel_xpath_result* result) { return xpath_to_string(result); }
double xpath_to_number(const quorvel_xpath_result* result);
inline double result_to_number(const quorvel_xpath_result* result) { return xpath_to_number(result); }
int xpath_to_boolean(const quorvel_xpath_result* result);
// Number reading shared by number() and the conversions: blanks around a
// number, nothing else; NaN otherwise.
double xpath_string_to_number(const char* text);
char* xpath_number_to_string(double value);
char* xpath_number_to_string_xq_typed(void* unused, int as_float, double value);
// The same forms written into a caller's buffer of at least 64 bytes.
void xpath_format_number(double value, char* out);
void xpath_format_number_canonical(double value, int as_float, char* out);
int xpath_result_is_float(const quorvel_xpath_result* result);

// ---- Tokens -----------------------------------------------------------------------------

enum quorvel_xpath_token_kind : int32_t {
    TOK_EOF = 0, TOK_SLASH = 1, TOK_DOUBLE_SLASH = 2, TOK_AT = 3, TOK_DOT = 4, TOK_DOUBLE_DOT = 5,
    TOK_LPAREN = 6, TOK_RPAREN = 7, TOK_LBRACKET = 8, TOK_RBRACKET = 9, TOK_COMMA = 10, TOK_COLON = 11,
    TOK_QUESTION = 12, TOK_HASH = 13, TOK_DOUBLE_COLON = 14, TOK_NCNAME = 15, TOK_QNAME = 16,
    TOK_STRING = 17, TOK_NUMBER = 18, TOK_EQUALS = 19, TOK_NOT_EQUALS = 20, TOK_LT = 21, TOK_LE = 22,
    TOK_GT = 23, TOK_GE = 24, TOK_PLUS = 25, TOK_MINUS = 26, TOK_STAR = 27, TOK_PIPE = 28, TOK_AND = 29,
    TOK_OR = 30, TOK_DIV = 31, TOK_MOD = 32,
    TOK_AXIS_FIRST = 33,  // 33-45: the axis names in axis order
    TOK_AXIS_LAST = 45,
    TOK_COMMENT = 46, TOK_TEXT = 47, TOK_PI = 48, TOK_NODE = 49, TOK_DOLLAR = 50, TOK_ASSIGN = 51,
    TOK_BANG = 52, TOK_ARROW = 53, TOK_CONCAT = 54, TOK_LBRACE = 55, TOK_RBRACE = 56, TOK_PRECEDES = 57,
    TOK_FOLLOWS = 58,
};

struct quorvel_xpath_token {
    int32_t kind;
    const char* start;  // into the caller's text, not NUL-terminated
    size_t length;      // 0 for the end token
    int32_t line;
    int32_t column;
};

struct quorvel_xpath_lexer {
    const char* text;
    const char* cursor;
    const char* end;
    int32_t line;
    int32_t column;
    char error[256];
};

struct quorvel_xpath_parser {
    quorvel_xpath_lexer* lexer;
    quorvel_xpath_token* tokens;  // the last one is always an end token
    size_t token_count;
    size_t pos;
    char error[256];
    int32_t depth;  // current nesting of sub-expressions
    // Names written as Q{uri}local in a prebound namespace are rewritten to
    // their usual prefixed form; the tokens of those names point here.
    char* names;
    size_t names_used;
};

extern const char* const xpath_token_type_names[49];
// Printed name of a token kind in messages ("UNKNOWN" for the kinds without one).
const char* xpath_token_kind_name(int32_t kind);

// Tokenizes length bytes (NUL bytes included). NULL for a NULL text or no
// memory. A lexical error leaves its message in lexer->error and ends the
// token stream at the offending byte.
quorvel_xpath_parser* xpath_parser_new(const char* text, size_t length);
void xpath_parser_free(quorvel_xpath_parser* parser);
char* token_to_string(const quorvel_xpath_token* token);
int consume_token(quorvel_xpath_parser* parser, int32_t kind, const char* message);

// ---- Syntax tree --------------------------------------------------------------------------

enum quorvel_xpath_ast_kind : int32_t {
    AST_FILTER_PATH = 0,    // children: head expression, [descendant-or-self step,] relative path
    AST_ABSOLUTE_PATH = 1,  // children: steps or one relative path
    AST_RELATIVE_PATH = 2,  // children: steps
    AST_STEP = 3,           // text: axis name; children: node test, predicates
    AST_FILTER = 6,         // children: expression, predicate
    AST_FUNCTION_CALL = 7,  // text: name as written; children: arguments
    AST_NUMBER = 9,         // number: value; text: "xs:double", "xs:decimal", the digits of an
                            // integer past 2^53, or NULL for any other integer
    AST_STRING = 10,        // text: decoded content
    AST_VARIABLE = 11,      // text: name
    AST_OPERATOR = 12,      // number: quorvel_xpath_op
    AST_NAME_TEST = 13,     // text, prefix, local_name
    AST_KIND_TEST = 14,     // text: kind name; local_name: the argument
    AST_WILDCARD = 16,      // prefix for p:*
};

enum quorvel_xpath_axis : int32_t {
    AXIS_ANCESTOR = 0, AXIS_ANCESTOR_OR_SELF = 1, AXIS_ATTRIBUTE = 2, AXIS_CHILD = 3, AXIS_DESCENDANT = 4,
    AXIS_DESCENDANT_OR_SELF = 5, AXIS_FOLLOWING = 6, AXIS_FOLLOWING_SIBLING = 7, AXIS_NAMESPACE = 8,
    AXIS_PARENT = 9, AXIS_PRECEDING = 10, AXIS_PRECEDING_SIBLING = 11, AXIS_SELF = 12,
};

// Operator and compound-expression ids (the number of an AST_OPERATOR node)
// with the shape each one heads.
enum quorvel_xpath_op : int32_t {
    OP_OR = 0, OP_AND = 1, OP_EQ = 2, OP_NE = 3, OP_LT = 4, OP_LE = 5, OP_GT = 6, OP_GE = 7,
    OP_ADD = 8, OP_SUB = 9, OP_MUL = 10, OP_DIV = 11, OP_MOD = 12, OP_IDIV = 13, OP_UNION = 14,
    OP_NEGATE = 15,            // operand
    OP_IF = 16,                // condition, then, else
    OP_FOR = 17,               // text: var [0x01 posvar]; sequence, return, then (key, flags) pairs
    OP_RANGE = 18,             // low, high
    OP_LET = 19,               // text: names joined by spaces; bound expressions, return
    OP_SIMPLE_MAP = 20,        // left, right
    OP_CONCAT = 21,            // left, right
    OP_SWITCH = 22,            // text "__switch_default"; operand, (case, return)..., default
    OP_SEQUENCE = 23,          // items
    OP_INSTANCE_OF = 24,       // text: sequence type; operand
    OP_CASTABLE = 25, OP_CAST = 26, OP_TREAT = 27,
    OP_MAP = 28,               // key, value, ...
    OP_ARRAY = 29,             // members
    OP_LOOKUP = 30,            // text: key; operand
    OP_INLINE_FUNCTION = 31,   // text: parameters joined by 0x01; body
    OP_FUNCTION_REF = 32,      // text: name#arity
    OP_DYNAMIC_CALL = 33,      // function, arguments
    OP_ELEMENT = 34, OP_ATTRIBUTE = 35,  // text: name; content expressions
    OP_TEXT = 36, OP_DOCUMENT = 37,
    OP_PI = 38,                // text: target
    OP_COMMENT = 39,
    OP_TRY = 40,               // text: catch tests joined by 0x01; body, handlers
    OP_TYPESWITCH = 41,        // text: clause list; operand, returns
    OP_IS = 42, OP_PRECEDES = 43, OP_FOLLOWS = 44, OP_INTERSECT = 45, OP_EXCEPT = 46,
    OP_SOME = 47, OP_EVERY = 48,  // bindings, test
    OP_BINDING = 49,           // text: variable; sequence
    OP_CURLY_ARRAY = 50,       // expressions
};

// Order-key flags of a for expression (the number of a kind-9 node).
constexpr int kXpathOrderDescending = 1;
constexpr int kXpathOrderEmptyLeast = 2;

struct quorvel_xpath_ast_node {
    int32_t type;  // quorvel_xpath_ast_kind
    char* text;
    double number;
    quorvel_xpath_ast_node** children;
    size_t count;
    size_t capacity;
    char* prefix;
    char* local_name;
    int32_t axis;    // quorvel_xpath_axis; AXIS_CHILD where no other applies
    int32_t height;  // 1 for a leaf, else 1 + the tallest child
};

// No tree the parser hands out is taller, and no sub-expression nests
// deeper: evaluators may recurse over trees without running out of stack.
constexpr int32_t kXpathMaxNesting = 1000;

quorvel_xpath_ast_node* ast_node_new(int32_t type);
// Appends (a NULL child is ignored); false when the array cannot grow.
bool ast_node_add_child(quorvel_xpath_ast_node* node, quorvel_xpath_ast_node* child);
// Kind-12 node over the two operands; both are freed when it cannot be made.
quorvel_xpath_ast_node* create_operator_node(int32_t op, quorvel_xpath_ast_node* left,
                                             quorvel_xpath_ast_node* right);
// Frees a whole tree without recursion; NULL ignored.
void ast_node_free(quorvel_xpath_ast_node* node);

// Parses the parser's whole token array. NULL with parser->error set (or
// left empty for the failures that carry no message).
quorvel_xpath_ast_node* xpath_parse(quorvel_xpath_parser* parser);
quorvel_xpath_ast_node* parse_expr(quorvel_xpath_parser* parser);

// ---- Shared trees and the expression cache ----------------------------------------------------

// A parsed expression shared by the cache, compiled handles and function
// items: freed with its last reference. A program compiled from the tree
// belongs to the tree, never to a text.
struct quorvel_xpath_tree {
    int32_t refs;  // atomic
    quorvel_xpath_ast_node* root;
    void* program;  // reserved for the bytecode program of this tree
    void (*program_free)(void*);
};

quorvel_xpath_tree* xpath_tree_new(quorvel_xpath_ast_node* root);  // takes root; NULL: root freed
void xpath_tree_retain(quorvel_xpath_tree* tree);
void xpath_tree_release(quorvel_xpath_tree* tree);

constexpr size_t kXpathCacheSlots = 16;

struct quorvel_xpath_cache_entry {
    uint32_t hash;  // 0 = empty slot
    char* text;
    size_t length;
    quorvel_xpath_tree* tree;  // the cache's own reference
};

// FNV-1a of the text; 0 becomes 1.
uint32_t xpath_cache_hash(const char* text, size_t length);
// The cached tree for the text with one reference for the caller, or NULL.
quorvel_xpath_tree* xpath_cache_get(const char* text, size_t length);
// Caches the tree (one reference taken over from the caller) and returns the
// tree to use, with one reference for the caller: an equal text cached
// meanwhile wins and the given tree is released. NULL text or length 0:
// the tree comes back uncached. NULL when the text cannot be copied (the
// given tree is then released).
quorvel_xpath_tree* xpath_cache_insert(const char* text, size_t length, quorvel_xpath_tree* tree);
// Test hooks: the tree held by a slot (NULL when empty), and emptying the cache.
const quorvel_xpath_tree* xpath_cache_slot_tree(size_t slot);
void xpath_cache_clear();

// Parses a text into a tree. On failure NULL, with the message (or "XPath
// syntax error") in message when it is not NULL.
quorvel_xpath_ast_node* xpath_parse_text(const char* text, size_t length, char* message, size_t message_size);

struct quorvel_xpath_compiled {
    char* text;
    size_t length;
    quorvel_xpath_tree* tree;  // one reference for the handle's whole life
};

// ---- Variable and namespace sets ---------------------------------------------------------------

enum quorvel_xpath_binding_kind : int32_t {
    XPATH_BIND_BOOLEAN = 1, XPATH_BIND_NUMBER = 2, XPATH_BIND_STRING = 3, XPATH_BIND_NODESET = 4,
};

struct quorvel_xpath_variable_binding {
    char* name;  // owned
    int32_t kind;  // quorvel_xpath_binding_kind
    union {
        int32_t boolean;
        double number;
        char* string;  // owned, never NULL once set
        quorvel_xpath_node_set* nodeset;  // owned
    } value;
};

struct quorvel_xpath_variable_set {
    quorvel_xpath_variable_binding** bindings;
    size_t count;
    size_t capacity;
};

struct quorvel_xpath_ns_set {
    char** prefixes;
    char** uris;
    size_t count;
    size_t capacity;
};

quorvel_xpath_variable_set* xpath_variable_set_new();
void xpath_variable_set_free(quorvel_xpath_variable_set* set);
quorvel_xpath_variable_binding* xpath_variable_set_add(quorvel_xpath_variable_set* set, const char* name,
                                                       int32_t kind);
int xpath_variable_set_boolean(quorvel_xpath_variable_binding* binding, int value);
int xpath_variable_set_number(quorvel_xpath_variable_binding* binding, double value);
int xpath_variable_set_string(quorvel_xpath_variable_binding* binding, const char* value);
int xpath_variable_set_nodeset(quorvel_xpath_variable_binding* binding, quorvel_xpath_node_set* value);
void xpath_variable_set_remove(quorvel_xpath_variable_set* set, const char* name);
const quorvel_xpath_variable_binding* xpath_variable_find(const quorvel_xpath_variable_set* set, const char* name);

// ---- Evaluation context and function registry -------------------------------------------------------

struct quorvel_xpath_context;
using quorvel_xpath_function = quorvel_xpath_result* (*)(quorvel_xpath_context* context,
                                                         quorvel_xpath_ast_node** arguments, size_t count);

struct quorvel_xpath_registry_entry {
    const char* name;  // borrowed
    quorvel_xpath_function function;
    int32_t min_args;
    int32_t max_args;  // -1: no limit
    void* user_data;
};

struct quorvel_xpath_query_ns {
    char* prefix;
    char* uri;
};

struct quorvel_xpath_memo_entry {
    const quorvel_xpath_ast_node* tree;
    char* text;
    quorvel_document* document;
    quorvel_node* root;
};

struct quorvel_xpath_rank_table;

// One evaluation's state, set up on the caller's stack by xpath_context_init
// and released by xpath_context_cleanup. Field order is fixed: other
// processors lay the record out on their own stacks.
struct quorvel_xpath_context {
    quorvel_document* document;
    quorvel_node* node;
    size_t position;
    size_t size;
    quorvel_xpath_function_registry* registry;
    char error[256];
    quorvel_xpath_query_ns* query_ns;
    size_t query_ns_count;
    size_t query_ns_capacity;
    int32_t query_ns_present;
    quorvel_xpath_variable_set* variables;
    quorvel_xpath_ns_set* namespaces;
    void* function_user_data;
    char error_code[32];
    int32_t registry_borrowed;
    quorvel_document** kept_documents;
    size_t kept_count;
    size_t kept_capacity;
    quorvel_xpath_memo_entry* memo;
    size_t memo_count;
    size_t memo_capacity;
    const char* default_element_ns;
    int32_t xquery_mode;
    int32_t instant_cached;
    int64_t instant;
    // Evaluator state: nesting of evaluate_expr calls, and the document-order
    // ranks of the context document, built on the first sort.
    int32_t depth;
    quorvel_xpath_rank_table* ranks;
    // The shared tree being evaluated (borrowed); inline functions made
    // during the evaluation keep it alive. NULL: they copy their bodies.
    quorvel_xpath_tree* tree;
    // Where node constructors build (owned by the context document, made on
    // first use).
    quorvel_document* construction;
    // Base for relative resource references (borrowed): a file: URI or an
    // absolute directory path; NULL means the process's working directory.
    const char* static_base_uri;
    // Set once the bytecode machine declined a path because an evaluation
    // inside it failed: the tree-walker alone finishes this evaluation.
    int32_t vm_declined;
};

// Deepest nesting of evaluations (sub-expressions, predicates, function
// arguments) before an evaluation fails instead of running out of stack.
constexpr int32_t kXpathMaxEvalDepth = 3000;

void xpath_context_init(quorvel_xpath_context* context, quorvel_document* document, quorvel_node* node);
void xpath_context_cleanup(quorvel_xpath_context* context);
// Files doc among the documents owner keeps (quorvel_document_adopt_child)
// under one process-wide lock, so that evaluations running at once on one
// source document may each hand documents to it.
quorvel_status xpath_adopt_document(quorvel_document* owner, quorvel_document* doc);
// Before cleanup of an evaluation that succeeded: the documents the
// evaluation made (kept_documents) that result refers to are handed to the
// context document, so they live as long as it; cleanup frees the others.
void xpath_context_keep_for_result(quorvel_xpath_context* context, const quorvel_xpath_result* result);
quorvel_xpath_result* evaluate_function_call_impl(quorvel_xpath_context* context, const quorvel_xpath_ast_node* call);
// The registry entry a function name as written in a call stands for (a
// prefix bound to a known function namespace is looked through); NULL when
// there is none.
const quorvel_xpath_registry_entry* xpath_resolve_function(quorvel_xpath_context* context, const char* name);
const char* xpath_expr_prefix_uri(quorvel_xpath_context* context, const char* prefix, size_t length);
void xpath_function_registry_register(quorvel_xpath_function_registry* registry, const char* name,
                                      quorvel_xpath_function function, int min_args, int max_args);
void xpath_function_registry_free(quorvel_xpath_function_registry* registry);
// The function library's standard rows: appended to a registry, and filled
// once into the process-wide registry (thread-safe; later calls return at
// once).
void xpath_function_registry_init_standard(quorvel_xpath_function_registry* registry);
void xpath_standard_registry_ready(quorvel_xpath_function_registry* registry);
// Writes a message into the context's error text (kept when one is there).
void xpath_context_fail(quorvel_xpath_context* context, const char* format, ...) __attribute__((format(printf, 2, 3)));

// ---- Evaluation --------------------------------------------------------------------------------------

// Evaluates a tree in the context: a new result, or NULL with the context's
// error text set (out of memory included). Every node set it returns owns
// copies of the synthetic nodes it holds.
quorvel_xpath_result* evaluate_expr(quorvel_xpath_context* context, const quorvel_xpath_ast_node* node);
// The operators of logic, comparison and arithmetic (or, and, the six
// comparisons, + - * div mod idiv, unary minus, to, ||, is, << and >>):
// whether an operator id is one of them, and its evaluation.
bool xpath_is_core_operator(int32_t op);
quorvel_xpath_result* xpath_evaluate_core_operator(quorvel_xpath_context* context, const quorvel_xpath_ast_node* node);
// Sorts a set into document order and drops repeated nodes (two records of
// one attribute or namespace node are one node). False when memory runs out.
bool xpath_nodeset_sort_doc_order(quorvel_xpath_context* context, quorvel_xpath_node_set* set);
void xpath_rank_table_free(quorvel_xpath_rank_table* table);
// A copy of a synthetic node (attribute, namespace node or carrier); NULL
// when memory runs out.
quorvel_node* xpath_synthetic_duplicate(const quorvel_node* node);
// The document node of a document, made on first use; NULL without one.
quorvel_node* xpath_document_node(quorvel_document* document);

// ---- Bytecode programs and the virtual machine -----------------------------------------------------

// A program compiled from a tree covers location paths; it lives on the tree
// (tree->program) and borrows the tree's texts and subtrees. Instructions
// are one opcode byte and their operands, 16-bit operands high byte first.
enum quorvel_xpath_vm_op : uint8_t {
    VM_END = 0,
    VM_ROOT = 1,     // start at the root of the context node's tree
    VM_CONTEXT = 2,  // start at the context node
    // u8 axis, u8 test, u16 name constant, u8 flags, u8 predicate count;
    // the predicate instructions follow.
    VM_STEP = 3,
    VM_SUM = 4,    // sum() of the path that follows, to its VM_END
    VM_UNION = 5,  // u8 count; that many paths follow, each to its VM_END
    VM_PRED_POSITION = 10,  // u16 number constant
    VM_PRED_HAS_ATTR = 11,  // u16 attribute name
    VM_PRED_ATTR_EQ_STRING = 12,  // u16 attribute name, u16 string constant
    VM_PRED_ATTR_EQ_NUMBER = 13,  // u16 attribute name, u16 number constant
    VM_PRED_ATTR_EQ_VAR = 14,     // u16 attribute name, u16 variable name, u16 predicate tree
    VM_PRED_TREE = 15,            // u16 predicate tree, evaluated by the tree-walker
    VM_PRED_CONTAINS = 16,  // u8 source (0 child element, 1 attribute), u16 name, u16 string, u16 predicate tree
};

enum quorvel_xpath_vm_test : uint8_t {
    VM_TEST_NAME = 0, VM_TEST_ANY_ELEMENT = 1, VM_TEST_NODE = 2, VM_TEST_TEXT = 3, VM_TEST_COMMENT = 4,
    VM_TEST_QNAME = 5,  // name constant: the prefixed name test's own tree
};

// Step flags: the step runs from every descendant-or-self node of each
// input ("//" before a child step whose predicates count positions).
constexpr uint8_t kXpathVmFromDescendants = 1;

struct quorvel_xpath_vm_constant {
    double number;
    const char* text;  // borrowed from the tree
    size_t length;
    const quorvel_xpath_ast_node* tree;  // borrowed
};

struct quorvel_xpath_program {
    uint8_t* code;
    size_t length;
    size_t capacity;
    quorvel_xpath_vm_constant* constants;
    size_t constant_count;
    size_t constant_capacity;
};

// The program for a tree, or NULL when the tree has shapes the machine does
// not run (or memory ran out): the tree-walker then evaluates it.
// True when a predicate can only give a boolean (never selects by
// position): a comparison or logical operator with no position() or last()
// inside. Shared by the tree-walker and the compiler.
bool xpath_boolean_predicate(const quorvel_xpath_ast_node* predicate);
quorvel_xpath_program* xpath_vm_compile(const quorvel_xpath_ast_node* root);
void xpath_vm_program_free(quorvel_xpath_program* program);
// Runs the tree's program (compiled on first use and kept on the tree).
// NULL when the machine declines: the tree-walker must then evaluate the
// tree in the same context, which the machine leaves as it found it.
quorvel_xpath_result* xpath_vm_run(quorvel_xpath_tree* tree, quorvel_xpath_context* context);
// Runs the program of a path inside the tree being evaluated (c->tree), for
// the tree-walker: NULL when the machine has none for that path or
// declines, and the tree-walker then evaluates it as usual.
quorvel_xpath_result* xpath_vm_run_path(quorvel_xpath_context* context, const quorvel_xpath_ast_node* path);
// How many paths of a tree (the whole tree among them) the machine runs.
size_t xpath_vm_path_count(const quorvel_xpath_ast_node* root);
// Process-wide switch (on by default) for comparing the machine with the
// tree-walker.
void xpath_vm_set_enabled(int enabled);
int xpath_vm_enabled();

// ---- Maps, arrays, function items, node constructors, try/catch ----------------------------------------

// A map or array value: immutable once built, shared by every carrier that
// refers to it. Each value is a whole sequence with its items' types, nodes
// as nodes and nested maps, arrays and function items as carriers.
struct quorvel_xpath_map_entry {
    char* key;  // NUL-terminated key text; NULL for array members
    size_t key_length;
    quorvel_xpath_node_set* value;  // owns its synthetic items; never NULL
};

struct quorvel_xpath_map_value {
    int32_t refs;  // atomic
    int32_t is_array;
    size_t count;
    quorvel_xpath_map_entry* entries;  // maps: sorted by key bytes
    quorvel_xpath_map_value* next_free;  // link of the list the last release frees from
};

// A new map or array with room for capacity entries (count 0, one
// reference); NULL when memory runs out.
quorvel_xpath_map_value* xpath_map_value_new(size_t capacity, int is_array);
// Puts a map's entries in key order. Of equal keys the first written stays
// when keep_first is set; otherwise equal keys make it false.
bool xpath_map_value_seal(quorvel_xpath_map_value* map, bool keep_first);
void xpath_map_value_retain(quorvel_xpath_map_value* map);
void xpath_map_value_release(quorvel_xpath_map_value* map);
// The map or array an item stands for, with one reference for the caller:
// the carrier's own value, or the value decoded from a map text. NULL for
// anything else (or no memory).
quorvel_xpath_map_value* xpath_map_of_item(const quorvel_node* item);

// Map text: 0x03 "MAP", then per entry 0x02, key, 0x01, value, where the
// bytes 0x01, 0x02 and the escape byte 0x0E inside keys and values are
// written as 0x0E followed by 'a', 'b' or 'e'; nested maps are values like
// any other, escaped one level more, so nesting of any depth round-trips.
// An array is a map with the keys "1" to "n".
struct quorvel_xpath_map_builder {
    char** keys;
    char** values;
    size_t count;
    size_t capacity;
};
// Appends copies (a NULL value is stored as ""); when the arrays cannot grow
// the builder is emptied.
void xpath_map_builder_add(quorvel_xpath_map_builder* builder, const char* key, const char* value);
void map_entries_push(quorvel_xpath_map_builder* builder, const char* key, size_t key_length, const char* value,
                      size_t value_length);
void map_entries_free(quorvel_xpath_map_builder* builder);
// Appends every entry of a map text (after its 4-byte head), unescaped.
void map_entries_decode(quorvel_xpath_map_builder* builder, const char* text);
// The map of the builder's entries as a one-item sequence (a value text
// that is itself a map text becomes a nested map); NULL when memory runs
// out. The builder is unchanged.
quorvel_xpath_result* xpath_map_value(const quorvel_xpath_map_builder* builder);
// xpath_map_value of a calloc'd builder, which is then freed whole.
quorvel_xpath_result* xpath_map_builder_finish(quorvel_xpath_map_builder* builder);
// malloc'd item text of the value stored under key in the first item of a
// result (a map), or NULL when there is none.
char* xpath_map_lookup_result(const quorvel_xpath_result* result, const char* key);
// 1 and the members (malloc'd item texts, in order) when text is a map text
// whose keys are exactly "1" to "n"; nested arrays stay single members.
// 0 and no members otherwise. The caller frees each member and the array.
int xpath_array_members_of(const char* text, char*** members, size_t* count);
// malloc'd item text of a value for handing to a function item: 0x03 "Bt"
// or "Bf" for booleans, the string value of numbers, strings and nodes, a
// carrier's own text, 0x03 "E" for the empty sequence, the array text of a
// longer sequence; NULL when memory runs out.
char* fn_item_arg_string(const quorvel_xpath_result* result);
// New one-item sequence holding a carrier that refers to map (whose
// reference it takes over; released on failure). NULL when memory runs out.
quorvel_xpath_result* xpath_map_result(quorvel_xpath_map_value* map);
// The key text of a map key value, by the map constructor's rules (one
// atomic item; maps, arrays and functions refused): malloc'd, or NULL with
// the context error.
char* xpath_map_key_text(quorvel_xpath_context* context, const quorvel_xpath_result* key);
// The entry of a map under a key text (an array: the member at a position
// text "1" to "n"); NULL when there is none.
const quorvel_xpath_map_entry* xpath_map_find(const quorvel_xpath_map_value* map, const char* key, size_t length);
// A new carrier referring to map (whose reference it takes over on
// success); NULL when memory runs out.
quorvel_node* xpath_map_carrier(quorvel_xpath_map_value* map);
// A new owning sequence holding the items of a value (nodes as they are,
// atomic values as typed carriers); NULL when memory runs out.
quorvel_xpath_node_set* xpath_value_items(const quorvel_xpath_result* value);

// Calls a function item with argument values (borrowed). NULL with the
// context's error text on failure.
quorvel_xpath_result* xpath_call_function_values(quorvel_xpath_context* context, const quorvel_node* function,
                                                 const quorvel_xpath_result* const* arguments, size_t n);
// Calls a function-item text with argument item texts (see
// fn_item_arg_string). A text that is no function item, or names no body,
// gives NULL without message.
quorvel_xpath_result* xpath_call_function_item(quorvel_xpath_context* context, const char* function,
                                               const char** arguments, size_t n);

// Records a failure with its W3C code (kept when an error is already there).
void xpath_context_fail_code(quorvel_xpath_context* context, const char* code, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
// The evaluation of the operators that build values: maps, arrays,
// lookups, function items, dynamic calls, node constructors and try/catch.
// The value an item text stands for (see fn_item_arg_string) as a new
// owning sequence; NULL when memory runs out.
quorvel_xpath_node_set* xpath_value_of_item_text(const char* text);
bool xpath_is_construct_operator(int32_t op);
quorvel_xpath_result* xpath_evaluate_map_operator(quorvel_xpath_context* context, const quorvel_xpath_ast_node* node);
quorvel_xpath_result* xpath_evaluate_node_constructor(quorvel_xpath_context* context,
                                                      const quorvel_xpath_ast_node* node);
quorvel_xpath_result* evaluate_construct(quorvel_xpath_context* context, const quorvel_xpath_ast_node* node);

// ---- 2.0 sequences, bindings and sequence types ----------------------------------------------------

// The item a non-sequence value stands for in a sequence: a carrier tagged
// by the value's type (numbers, booleans, typed strings), an untagged
// carrier for a plain string. NULL when memory runs out.
quorvel_node* xpath_value_to_item(const quorvel_xpath_result* value, int xquery_mode);
// Appends the items of value to out (a set owning its synthetic items) and
// frees value: a sequence's items move over, copied where value's set does
// not own them; any other value adds one item. False when memory runs out.
bool xpath_sequence_append(quorvel_xpath_node_set* out, quorvel_xpath_result* value, int xquery_mode);
// Evaluates body with name bound to value (taken over); an outer binding of
// the same name is hidden meanwhile and the caller's variable set is never
// changed.
quorvel_xpath_result* xpath_eval_bound(quorvel_xpath_context* context, const char* name, size_t length,
                                       quorvel_xpath_result* value, const quorvel_xpath_ast_node* body);
// Evaluators of the compound expressions: true when op is theirs, with the
// result (NULL on failure, the context's message set) in *out.
bool xpath_eval_sequence_op(quorvel_xpath_context* context, const quorvel_xpath_ast_node* node, int32_t op,
                            quorvel_xpath_result** out);
bool xpath_eval_type_op(quorvel_xpath_context* context, const quorvel_xpath_ast_node* node, int32_t op,
                        quorvel_xpath_result** out);
// Whether a value matches a sequence type text ("xs:integer", "node()", ...).
int xpath_result_matches_type(const quorvel_xpath_result* value, const char* type);
// Whether a whole text, blanks around it apart, is a number strtod reads.
int xq_numeric_lexical(const char* text);
// Reads an optional timezone at *cursor: 1 for none or a valid one (the
// cursor moves past it), 0 for a malformed one.
int xq_valid_tz_opt(const char** cursor);
// Exact comparison of two decimal texts: -1, 0 or 1.
int xq_dec_str_cmp(const char* a, const char* b);

// ---- Casts -----------------------------------------------------------------------------------------

// Casts a value holding exactly one item (an atomic value, or a node, which
// is atomized) to the atomic type named target ("xs:date", "xs:NCName", ...),
// as `cast as` and the xs: constructor functions do: a new result in the
// type's canonical form, or NULL with the W3C error in the context
// (FORG0001 for a text not in the type's lexical space, XPTY0004 for a cast
// between types that do not convert, FOCA0002, FODT0001, FONS0004, ...).
quorvel_xpath_result* xpath_cast_value(quorvel_xpath_context* context, const quorvel_xpath_result* value,
                                       const char* target);
// Whether that cast succeeds; nothing is reported.
int xpath_castable_value(quorvel_xpath_context* context, const quorvel_xpath_result* value, const char* target);

// A QName value's text is its lexical form, preceded (when it has a
// namespace) by the namespace URI and this byte; its string value is the
// lexical form.
constexpr char kXpathQNameUriMark = '\x01';
// A new QName text (malloc'd; NULL when memory runs out).
char* xpath_qname_text(const char* lexical, size_t length, const char* uri);
// The lexical form inside a QName text, and the length of the namespace URI
// it begins with (0 for none).
const char* xpath_qname_lexical(const char* text);
size_t xpath_qname_uri_length(const char* text);
// Whether two QName texts name the same thing: same namespace URI and local
// part (prefixes do not count).
int xpath_qname_equal(const char* a, const char* b);
// Whether s[0, n) is an NCName (a name without colon).
int xpath_is_ncname(const char* s, size_t n);
// The numeric type arithmetic promotes r to: "xs:integer", "xs:decimal",
// "xs:float" or "xs:double" (text, booleans, nodes and untyped values).
const char* xpath_numeric_type(const quorvel_xpath_result* r);
// The namespace bound to a prefix in an expression's static context: the
// context's declarations, then the prefixes every expression knows (xml,
// xs, xsi, fn, math, map, array, err, local). NULL when none is bound.
const char* xpath_static_prefix_uri(quorvel_xpath_context* context, const char* prefix, size_t length);
