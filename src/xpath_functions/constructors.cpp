// The xs: constructor functions. Each one is a cast of its argument to its
// type (xpath_cast_value, which `cast as` uses too, so the two never
// disagree): the empty sequence gives the empty sequence, more than one
// item is a type error, and a value the type cannot hold is the cast's
// W3C error.
#include <cstring>

#include "xpath_functions/functions.h"

namespace {

size_t item_count(const quorvel_xpath_result* r) {
    if (r->kind != XPATH_NODESET) return 1;
    size_t count = 0;
    if (const quorvel_xpath_node_set* s = r->value.nodeset)
        for (size_t i = 0; i < s->count; i++)
            if (reinterpret_cast<uintptr_t>(s->items[i]) > kXpathLowestItem) count++;
    return count;
}

}  // namespace

quorvel_xpath_result* fn_construct(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count,
                                   const char* type) {
    if (!context) return nullptr;
    if (count != 1 || !args || !args[0]) {
        xpath_context_fail_code(context, "XPST0017", "XPST0017: %s takes one argument", type);
        return nullptr;
    }
    quorvel_xpath_result* value = evaluate_expr(context, args[0]);
    if (!value) return nullptr;
    size_t items = item_count(value);
    if (items == 0) {
        xpath_result_free(value);
        quorvel_xpath_result* empty = seq_new();
        if (!empty) xpath_context_fail(context, "Out of memory");
        return empty;
    }
    if (items > 1) {
        xpath_result_free(value);
        xpath_context_fail_code(context, "XPTY0004", "XPTY0004: %s expects at most one item, not %zu", type, items);
        return nullptr;
    }
    quorvel_xpath_result* r = xpath_cast_value(context, value, type);
    xpath_result_free(value);
    return r;
}

#define QUORVEL_CONSTRUCTOR(function, type)                                                                       \
    quorvel_xpath_result* function(quorvel_xpath_context* context, quorvel_xpath_ast_node** args, size_t count) { \
        return fn_construct(context, args, count, type);                                                          \
    }

// Dates, times and durations.
QUORVEL_CONSTRUCTOR(fn_xs_date_t, "xs:date")
QUORVEL_CONSTRUCTOR(fn_xs_datetime_t, "xs:dateTime")
QUORVEL_CONSTRUCTOR(fn_time_ctor, "xs:time")
QUORVEL_CONSTRUCTOR(fn_duration_ctor, "xs:duration")
QUORVEL_CONSTRUCTOR(fn_daytimeduration_ctor, "xs:dayTimeDuration")
QUORVEL_CONSTRUCTOR(fn_yearmonthduration_ctor, "xs:yearMonthDuration")
QUORVEL_CONSTRUCTOR(fn_gyear_ctor, "xs:gYear")
QUORVEL_CONSTRUCTOR(fn_gyearmonth_ctor, "xs:gYearMonth")
QUORVEL_CONSTRUCTOR(fn_gmonthday_ctor, "xs:gMonthDay")
QUORVEL_CONSTRUCTOR(fn_gmonth_ctor, "xs:gMonth")
QUORVEL_CONSTRUCTOR(fn_gday_ctor, "xs:gDay")

// Strings and the types derived from them.
QUORVEL_CONSTRUCTOR(fn_ncname_ctor, "xs:NCName")
QUORVEL_CONSTRUCTOR(fn_name_ctor, "xs:Name")
QUORVEL_CONSTRUCTOR(fn_token_ctor, "xs:token")
QUORVEL_CONSTRUCTOR(fn_normalizedstring_ctor, "xs:normalizedString")
QUORVEL_CONSTRUCTOR(fn_language_ctor, "xs:language")
QUORVEL_CONSTRUCTOR(fn_nmtoken_ctor, "xs:NMTOKEN")
QUORVEL_CONSTRUCTOR(fn_id_ctor, "xs:ID")
QUORVEL_CONSTRUCTOR(fn_idref_ctor, "xs:IDREF")
QUORVEL_CONSTRUCTOR(fn_entity_ctor, "xs:ENTITY")

// Binary.
QUORVEL_CONSTRUCTOR(fn_hexbinary_ctor, "xs:hexBinary")
QUORVEL_CONSTRUCTOR(fn_base64binary_ctor, "xs:base64Binary")

// Numbers and booleans.
QUORVEL_CONSTRUCTOR(fn_xs_integer, "xs:integer")
QUORVEL_CONSTRUCTOR(fn_xs_double, "xs:double")
QUORVEL_CONSTRUCTOR(fn_xs_float, "xs:float")
QUORVEL_CONSTRUCTOR(fn_xs_decimal, "xs:decimal")
QUORVEL_CONSTRUCTOR(fn_xs_byte, "xs:byte")
QUORVEL_CONSTRUCTOR(fn_xs_ubyte, "xs:unsignedByte")
QUORVEL_CONSTRUCTOR(fn_xs_short, "xs:short")
QUORVEL_CONSTRUCTOR(fn_xs_ushort, "xs:unsignedShort")
QUORVEL_CONSTRUCTOR(fn_xs_int, "xs:int")
QUORVEL_CONSTRUCTOR(fn_xs_uint, "xs:unsignedInt")
QUORVEL_CONSTRUCTOR(fn_xs_long, "xs:long")
QUORVEL_CONSTRUCTOR(fn_xs_ulong, "xs:unsignedLong")
QUORVEL_CONSTRUCTOR(fn_xs_negint, "xs:negativeInteger")
QUORVEL_CONSTRUCTOR(fn_xs_nonpos, "xs:nonPositiveInteger")
QUORVEL_CONSTRUCTOR(fn_xs_posint, "xs:positiveInteger")
QUORVEL_CONSTRUCTOR(fn_xs_nonneg, "xs:nonNegativeInteger")
QUORVEL_CONSTRUCTOR(fn_xs_boolean, "xs:boolean")

// Strings, URIs and untyped values.
QUORVEL_CONSTRUCTOR(fn_passthrough_ctor, "xs:string")
QUORVEL_CONSTRUCTOR(fn_anyuri_ctor, "xs:anyURI")
QUORVEL_CONSTRUCTOR(fn_untyped_ctor, "xs:untypedAtomic")

#undef QUORVEL_CONSTRUCTOR
