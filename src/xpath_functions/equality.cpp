// Equality of two atomic item texts by their tags: the item equality of the
// general comparisons, distinct-values and index-of.
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "xpath_functions/functions.h"

namespace {

enum item_class { kString, kBoolean, kNumber, kTyped };

char tag_of(const char* t) { return t[0] == kXpathTagMark ? t[1] : '\0'; }

item_class class_of(const char* t) {
    if (t[0] != kXpathTagMark) return kString;
    switch (t[1]) {
    case '\0':
    case 'A':
    case 'M':
        return kString;
    case 'B':
        return kBoolean;
    case 'N':
    case 'O':
    case 'F':
    case 'D':
        return kNumber;
    default:
        return kTyped;
    }
}

// Rounded to single precision; beyond its range, an infinity.
double to_single(double v) {
    if (std::fabs(v) > 3.4028234663852886e38) return v < 0 ? -INFINITY : INFINITY;
    return static_cast<float>(v);
}

bool number_equal(const char* a, const char* b, int nan_equal) {
    char ta = a[1], tb = b[1];
    const char* va = a + 2;
    const char* vb = b + 2;
    if (ta == 'D' && tb == 'D') return !std::strcmp(va, vb);
    double x = std::strtod(va, nullptr);
    double y = std::strtod(vb, nullptr);
    if (std::isnan(x) || std::isnan(y)) return std::isnan(x) && std::isnan(y) && nan_equal;
    // A float compares at single precision, and so does a decimal compared
    // with a float; an integer or double keeps its double value.
    bool float_side = ta == 'F' || tb == 'F';
    if (ta == 'F' || (ta == 'D' && float_side)) x = to_single(x);
    if (tb == 'F' || (tb == 'D' && float_side)) y = to_single(y);
    return x == y;
}

}  // namespace

int quorvel_atom_seq_eq_n(const char* a, const char* b, int nan_equal) {
    if (!a) a = "";
    if (!b) b = "";
    item_class ca = class_of(a), cb = class_of(b);
    if (ca != cb) return 0;
    switch (ca) {
    case kString: {
        double x, y;
        if (quorvel_time_norm_seconds(a, &x, nullptr) && quorvel_time_norm_seconds(b, &y, nullptr)) return x == y;
        return !std::strcmp(a, b);
    }
    case kBoolean:
        return (a[2] == 't') == (b[2] == 't');
    case kNumber:
        return number_equal(a, b, nan_equal);
    default:
        break;
    }
    char ta = tag_of(a);
    if (ta != tag_of(b)) return 0;
    const char* va = a + 2;
    const char* vb = b + 2;
    if (ta == 't') {
        double x, y;
        if (quorvel_time_norm_seconds(va, &x, nullptr) && quorvel_time_norm_seconds(vb, &y, nullptr)) return x == y;
    } else if (ta == 'd') {
        double x, y;
        if (quorvel_dur_try_months(va, &x) && quorvel_dur_try_months(vb, &y)) return x == y;
        if (quorvel_dur_try_seconds(va, &x) && quorvel_dur_try_seconds(vb, &y)) return x == y;
    } else if (ta == 'Z') {
        return xpath_qname_equal(va, vb);
    }
    return !std::strcmp(va, vb);
}
