// The tag table, its lookup, and the name adjustments of foreign content.
#include <cstring>

#include "html/html.h"

namespace html {

// The record order defines the identifiers: grouped by initial letter in
// alphabetical order of the letters.
constexpr tag_info kTagInfos[kTagCount] = {
    {"a", 1, 0, 0, 0, 0, 0x00, 0x00},
    {"annotation-xml", 14, 0, 1, 0, 0, 0x00, 0x00},
    {"address", 7, 1, 1, 1, 0, 0x00, 0x01},
    {"applet", 6, 1, 0, 0, 2, 0x00, 0x00},
    {"area", 4, 1, 0, 0, 3, 0x00, 0x00},
    {"article", 7, 1, 1, 1, 0, 0x00, 0x01},
    {"aside", 5, 1, 1, 1, 0, 0x00, 0x01},
    {"b", 1, 0, 0, 0, 0, 0x00, 0x00},
    {"big", 3, 0, 0, 0, 0, 0x00, 0x00},
    {"base", 4, 1, 1, 0, 1, 0x00, 0x00},
    {"basefont", 8, 1, 1, 0, 1, 0x00, 0x00},
    {"bgsound", 7, 1, 1, 0, 1, 0x00, 0x00},
    {"blockquote", 10, 1, 1, 1, 0, 0x00, 0x01},
    {"body", 4, 1, 1, 0, 0, 0x00, 0x00},
    {"br", 2, 1, 0, 0, 3, 0x00, 0x00},
    {"button", 6, 1, 0, 0, 2, 0x00, 0x00},
    {"code", 4, 0, 0, 0, 0, 0x00, 0x00},
    {"caption", 7, 1, 1, 0, 0, 0x00, 0x00},
    {"center", 6, 1, 1, 1, 0, 0x00, 0x01},
    {"col", 3, 1, 1, 0, 1, 0x00, 0x00},
    {"colgroup", 8, 1, 1, 0, 0, 0x00, 0x00},
    {"desc", 4, 0, 1, 0, 0, 0x00, 0x00},
    {"dd", 2, 1, 1, 1, 2, 0x04, 0x05},
    {"details", 7, 1, 1, 1, 0, 0x00, 0x01},
    {"dialog", 6, 1, 1, 1, 0, 0x00, 0x01},
    {"dir", 3, 1, 1, 1, 0, 0x00, 0x01},
    {"div", 3, 1, 1, 1, 0, 0x00, 0x01},
    {"dl", 2, 1, 1, 1, 0, 0x00, 0x01},
    {"dt", 2, 1, 1, 1, 2, 0x04, 0x05},
    {"em", 2, 0, 0, 0, 0, 0x00, 0x00},
    {"embed", 5, 1, 0, 0, 3, 0x00, 0x00},
    {"font", 4, 0, 0, 0, 0, 0x00, 0x00},
    {"foreignobject", 13, 0, 1, 0, 0, 0x00, 0x00},
    {"fieldset", 8, 1, 1, 1, 0, 0x00, 0x01},
    {"figcaption", 10, 1, 1, 1, 0, 0x00, 0x01},
    {"figure", 6, 1, 1, 1, 0, 0x00, 0x01},
    {"footer", 6, 1, 1, 1, 0, 0x00, 0x01},
    {"form", 4, 1, 1, 1, 0, 0x00, 0x01},
    {"frame", 5, 1, 1, 0, 1, 0x00, 0x00},
    {"frameset", 8, 1, 1, 0, 0, 0x00, 0x00},
    {"h1", 2, 1, 1, 1, 0, 0x00, 0x01},
    {"h2", 2, 1, 1, 1, 0, 0x00, 0x01},
    {"h3", 2, 1, 1, 1, 0, 0x00, 0x01},
    {"h4", 2, 1, 1, 1, 0, 0x00, 0x01},
    {"h5", 2, 1, 1, 1, 0, 0x00, 0x01},
    {"h6", 2, 1, 1, 1, 0, 0x00, 0x01},
    {"head", 4, 1, 1, 0, 0, 0x00, 0x00},
    {"header", 6, 1, 1, 1, 0, 0x00, 0x01},
    {"hgroup", 6, 1, 1, 1, 0, 0x00, 0x01},
    {"hr", 2, 1, 1, 1, 3, 0x00, 0x41},
    {"html", 4, 1, 1, 0, 0, 0x00, 0x00},
    {"i", 1, 0, 0, 0, 0, 0x00, 0x00},
    {"iframe", 6, 1, 0, 0, 2, 0x00, 0x00},
    {"img", 3, 1, 0, 0, 3, 0x00, 0x00},
    {"input", 5, 1, 0, 0, 3, 0x00, 0x00},
    {"keygen", 6, 1, 0, 0, 3, 0x00, 0x00},
    {"li", 2, 1, 1, 1, 2, 0x02, 0x03},
    {"link", 4, 1, 1, 0, 1, 0x00, 0x00},
    {"listing", 7, 1, 1, 1, 2, 0x00, 0x01},
    {"mi", 2, 0, 1, 0, 0, 0x00, 0x00},
    {"mn", 2, 0, 1, 0, 0, 0x00, 0x00},
    {"mo", 2, 0, 1, 0, 0, 0x00, 0x00},
    {"ms", 2, 0, 1, 0, 0, 0x00, 0x00},
    {"mtext", 5, 0, 1, 0, 0, 0x00, 0x00},
    {"main", 4, 1, 1, 1, 0, 0x00, 0x01},
    {"marquee", 7, 1, 0, 0, 2, 0x00, 0x00},
    {"menu", 4, 1, 1, 1, 0, 0x00, 0x01},
    {"meta", 4, 1, 1, 0, 1, 0x00, 0x00},
    {"nobr", 4, 0, 0, 0, 0, 0x00, 0x00},
    {"nav", 3, 1, 1, 1, 0, 0x00, 0x01},
    {"noembed", 7, 1, 0, 0, 2, 0x00, 0x00},
    {"noframes", 8, 1, 1, 0, 2, 0x00, 0x00},
    {"noscript", 8, 1, 0, 0, 0, 0x00, 0x00},
    {"object", 6, 1, 0, 0, 2, 0x00, 0x00},
    {"ol", 2, 1, 1, 1, 0, 0x00, 0x01},
    {"option", 6, 0, 0, 0, 0, 0x40, 0x40},
    {"optgroup", 8, 0, 0, 0, 0, 0x80, 0xC0},
    {"p", 1, 1, 1, 1, 0, 0x01, 0x01},
    {"param", 5, 1, 0, 0, 1, 0x00, 0x00},
    {"plaintext", 9, 1, 1, 1, 2, 0x00, 0x01},
    {"pre", 3, 1, 1, 1, 2, 0x00, 0x01},
    {"rb", 2, 0, 0, 0, 0, 0x00, 0x00},
    {"rp", 2, 0, 0, 0, 0, 0x00, 0x00},
    {"rt", 2, 0, 0, 0, 0, 0x00, 0x00},
    {"rtc", 3, 0, 0, 0, 0, 0x00, 0x00},
    {"s", 1, 0, 0, 0, 0, 0x00, 0x00},
    {"small", 5, 0, 0, 0, 0, 0x00, 0x00},
    {"strike", 6, 0, 0, 0, 0, 0x00, 0x00},
    {"strong", 6, 0, 0, 0, 0, 0x00, 0x00},
    {"script", 6, 1, 1, 0, 0, 0x00, 0x00},
    {"search", 6, 1, 1, 1, 0, 0x00, 0x01},
    {"section", 7, 1, 1, 1, 0, 0x00, 0x01},
    {"select", 6, 1, 0, 0, 2, 0x00, 0x40},
    {"source", 6, 1, 0, 0, 1, 0x00, 0x00},
    {"style", 5, 1, 1, 0, 0, 0x00, 0x00},
    {"summary", 7, 1, 1, 1, 0, 0x00, 0x01},
    {"tt", 2, 0, 0, 0, 0, 0x00, 0x00},
    {"table", 5, 1, 1, 0, 2, 0x00, 0x39},
    {"tbody", 5, 1, 1, 0, 0, 0x20, 0x38},
    {"td", 2, 1, 1, 0, 0, 0x08, 0x08},
    {"template", 8, 1, 1, 0, 0, 0x00, 0x00},
    {"textarea", 8, 1, 1, 0, 2, 0x00, 0x00},
    {"tfoot", 5, 1, 1, 0, 0, 0x20, 0x38},
    {"th", 2, 1, 1, 0, 0, 0x08, 0x08},
    {"thead", 5, 1, 1, 0, 0, 0x20, 0x18},
    {"title", 5, 1, 1, 0, 0, 0x00, 0x00},
    {"tr", 2, 1, 1, 0, 0, 0x10, 0x18},
    {"track", 5, 1, 0, 0, 1, 0x00, 0x00},
    {"u", 1, 0, 0, 0, 0, 0x00, 0x00},
    {"ul", 2, 1, 1, 1, 0, 0x00, 0x01},
    {"wbr", 3, 1, 0, 0, 3, 0x00, 0x00},
    {"xmp", 3, 1, 0, 1, 2, 0x00, 0x00},
};

namespace {

// Entry k: the first identifier whose name begins with 'a' + k; entry k + 1
// is one past the last.
constexpr uint8_t kTagBucket[27] = {0,  7,  16, 21, 29, 31, 40, 40,  51,  55,  55,  56,  59, 68,
                                    73, 77, 81, 81, 85, 96, 108, 110, 110, 111, 112, 112, 112};

constexpr bool buckets_agree() {
    for (int k = 0; k < 26; k++)
        for (int i = kTagBucket[k]; i < kTagBucket[k + 1]; i++)
            if (kTagInfos[i].name[0] != 'a' + k) return false;
    return kTagBucket[26] == kTagCount;
}

struct name_pair {
    const char* lower;
    const char* adjusted;
};

// Element names that SVG writes in mixed case.
constexpr name_pair kSvgTagNames[] = {
    {"altglyph", "altGlyph"}, {"altglyphdef", "altGlyphDef"}, {"altglyphitem", "altGlyphItem"},
    {"animatecolor", "animateColor"}, {"animatemotion", "animateMotion"}, {"animatetransform", "animateTransform"},
    {"clippath", "clipPath"}, {"feblend", "feBlend"}, {"fecolormatrix", "feColorMatrix"},
    {"fecomponenttransfer", "feComponentTransfer"}, {"fecomposite", "feComposite"},
    {"feconvolvematrix", "feConvolveMatrix"}, {"fediffuselighting", "feDiffuseLighting"},
    {"fedisplacementmap", "feDisplacementMap"}, {"fedistantlight", "feDistantLight"},
    {"fedropshadow", "feDropShadow"}, {"feflood", "feFlood"}, {"fefunca", "feFuncA"}, {"fefuncb", "feFuncB"},
    {"fefuncg", "feFuncG"}, {"fefuncr", "feFuncR"}, {"fegaussianblur", "feGaussianBlur"}, {"feimage", "feImage"},
    {"femerge", "feMerge"}, {"femergenode", "feMergeNode"}, {"femorphology", "feMorphology"},
    {"feoffset", "feOffset"}, {"fepointlight", "fePointLight"}, {"fespecularlighting", "feSpecularLighting"},
    {"fespotlight", "feSpotLight"}, {"fetile", "feTile"}, {"feturbulence", "feTurbulence"},
    {"foreignobject", "foreignObject"}, {"glyphref", "glyphRef"}, {"lineargradient", "linearGradient"},
    {"radialgradient", "radialGradient"}, {"textpath", "textPath"},
};
static_assert(sizeof kSvgTagNames / sizeof kSvgTagNames[0] == 37);

// Attribute names that SVG writes in mixed case.
constexpr name_pair kSvgAttrNames[] = {
    {"attributename", "attributeName"}, {"attributetype", "attributeType"}, {"basefrequency", "baseFrequency"},
    {"baseprofile", "baseProfile"}, {"calcmode", "calcMode"}, {"clippathunits", "clipPathUnits"},
    {"diffuseconstant", "diffuseConstant"}, {"edgemode", "edgeMode"}, {"filterunits", "filterUnits"},
    {"glyphref", "glyphRef"}, {"gradienttransform", "gradientTransform"}, {"gradientunits", "gradientUnits"},
    {"kernelmatrix", "kernelMatrix"}, {"kernelunitlength", "kernelUnitLength"}, {"keypoints", "keyPoints"},
    {"keysplines", "keySplines"}, {"keytimes", "keyTimes"}, {"lengthadjust", "lengthAdjust"},
    {"limitingconeangle", "limitingConeAngle"}, {"markerheight", "markerHeight"}, {"markerunits", "markerUnits"},
    {"markerwidth", "markerWidth"}, {"maskcontentunits", "maskContentUnits"}, {"maskunits", "maskUnits"},
    {"numoctaves", "numOctaves"}, {"pathlength", "pathLength"}, {"patterncontentunits", "patternContentUnits"},
    {"patterntransform", "patternTransform"}, {"patternunits", "patternUnits"}, {"pointsatx", "pointsAtX"},
    {"pointsaty", "pointsAtY"}, {"pointsatz", "pointsAtZ"}, {"preservealpha", "preserveAlpha"},
    {"preserveaspectratio", "preserveAspectRatio"}, {"primitiveunits", "primitiveUnits"}, {"refx", "refX"},
    {"refy", "refY"}, {"repeatcount", "repeatCount"}, {"repeatdur", "repeatDur"},
    {"requiredextensions", "requiredExtensions"}, {"requiredfeatures", "requiredFeatures"},
    {"specularconstant", "specularConstant"}, {"specularexponent", "specularExponent"},
    {"spreadmethod", "spreadMethod"}, {"startoffset", "startOffset"}, {"stddeviation", "stdDeviation"},
    {"stitchtiles", "stitchTiles"}, {"surfacescale", "surfaceScale"}, {"systemlanguage", "systemLanguage"},
    {"tablevalues", "tableValues"}, {"targetx", "targetX"}, {"targety", "targetY"}, {"textlength", "textLength"},
    {"viewbox", "viewBox"}, {"viewtarget", "viewTarget"}, {"xchannelselector", "xChannelSelector"},
    {"ychannelselector", "yChannelSelector"}, {"zoomandpan", "zoomAndPan"},
};
static_assert(sizeof kSvgAttrNames / sizeof kSvgAttrNames[0] == 58);

template <size_t N>
const char* adjust(const name_pair (&table)[N], const char* lower, size_t length) {
    for (const name_pair& p : table)
        if (std::strlen(p.lower) == length && std::memcmp(p.lower, lower, length) == 0) return p.adjusted;
    return nullptr;
}

}  // namespace

static_assert(buckets_agree(), "tag buckets must match the record order");

uint8_t tag_lookup(const char* name, size_t length) {
    if (!name || length == 0 || length > 15) return kTagNone;
    auto c = static_cast<unsigned char>(name[0]);
    if (c < 'a' || c > 'z') return kTagNone;
    for (int i = kTagBucket[c - 'a'], e = kTagBucket[c - 'a' + 1]; i < e; i++) {
        const tag_info& t = kTagInfos[i];
        if (t.length == length && (length < 2 || t.name[1] == name[1]) && std::memcmp(t.name, name, length) == 0)
            return static_cast<uint8_t>(i);
    }
    return kTagNone;
}

bool ieq(const char* s, size_t length, const char* lower) {
    if (!s) return false;
    for (size_t i = 0; i < length; i++)
        if (lower[i] == '\0' || ascii_lower(s[i]) != lower[i]) return false;
    return lower[length] == '\0';
}

const char* svg_tag_name(const char* lower, size_t length) { return adjust(kSvgTagNames, lower, length); }
const char* svg_attr_name(const char* lower, size_t length) { return adjust(kSvgAttrNames, lower, length); }

}  // namespace html
