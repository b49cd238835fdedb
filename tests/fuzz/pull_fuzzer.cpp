// Fuzz target for the pull parser, over a text in memory and over a file
// (the input written to a temporary file of this process). Both readers
// must give the same events; the batch reader, over memory, must give the
// same kinds, names and texts as single steps; and the attribute readers
// must agree with the start event.
//
// Input: skip-flags byte, mode byte, batch-size byte, then the document.
//   mode % 4: 0 memory, 1 file, 2 memory and file compared, 3 batches
//   compared with single steps.
#include <cstdint>
#include <string>

#include "fuzz_input.h"

namespace {

// Events of one parse as text, adjacent character data merged (the file
// reader may split a run where the memory reader does not).
struct event_text {
    std::string text;
    std::string chars;
    void flush() {
        if (chars.empty()) return;
        text += "chars[" + chars + "]\n";
        chars.clear();
    }
    void add(int kind, const char* name, const char* body, size_t length) {
        if (kind == QUORVEL_PULL_CHARACTERS) {
            chars.append(body ? body : "", body ? length : 0);
            return;
        }
        flush();
        text += std::to_string(kind) + " " + (name ? name : "-") + " [" + std::string(body ? body : "", body ? length : 0) +
                "]\n";
    }
    std::string str() {
        flush();
        return text;
    }
};

std::string step_through(quorvel_pull* pull) {
    event_text out;
    if (!pull) return "(no parser)";
    while (quorvel_pull_event* ev = quorvel_pull_next(pull)) {
        const char* body = ev->text;
        size_t length = body ? ev->text_length : 0;
        if (ev->kind == QUORVEL_PULL_START_ELEMENT) {
            size_t count = quorvel_pull_attr_count(pull);
            if (count != ev->attribute_count) fuzz::fail("attribute count %zu, event says %zu", count, ev->attribute_count);
            std::string attrs;
            for (size_t i = 0; i < count; i++) {
                const char* n = quorvel_pull_attr_name(pull, i);
                const char* v = quorvel_pull_attr_value(pull, i);
                if (!n || !v || !ev->attributes) fuzz::fail("attribute %zu missing", i);
                if (std::strcmp(n, ev->attributes[2 * i]) || std::strcmp(v, ev->attributes[2 * i + 1]))
                    fuzz::fail("attribute %zu differs between reader and event", i);
                attrs += std::string(" ") + n + "=[" + v + "]";
            }
            if (count && ev->attributes[2 * count]) fuzz::fail("attribute list not closed by NULL");
            if (quorvel_pull_attr_name(pull, count)) fuzz::fail("attribute past the end");
            quorvel_pull_attribute pairs[4];
            size_t got = quorvel_pull_attrs(pull, pairs, 4);
            if (got != count) fuzz::fail("quorvel_pull_attrs gives %zu of %zu", got, count);
            for (size_t i = 0; i < count && i < 4; i++)
                if (std::strcmp(pairs[i].name, ev->attributes[2 * i])) fuzz::fail("pair %zu differs", i);
            out.add(ev->kind, ev->name, attrs.data(), attrs.size());
            continue;
        }
        if (ev->kind != QUORVEL_PULL_CHARACTERS && body && std::strlen(body) != length)
            fuzz::fail("text length %zu of event %d, string holds %zu", length, ev->kind, std::strlen(body));
        out.add(ev->kind, ev->name, body, length);
    }
    quorvel_pull_free(pull);
    return out.str();
}

// Kinds, names and texts only: what a batch item carries.
std::string plain_steps(quorvel_pull* pull) {
    event_text out;
    if (!pull) return "(no parser)";
    while (quorvel_pull_event* ev = quorvel_pull_next(pull))
        out.add(ev->kind, ev->name, ev->text, ev->text ? ev->text_length : 0);
    quorvel_pull_free(pull);
    return out.str();
}

std::string batches(quorvel_pull* pull, size_t size) {
    event_text out;
    if (!pull) return "(no parser)";
    quorvel_pull_batch_item items[64];
    for (;;) {
        size_t n = quorvel_pull_next_batch(pull, items, size);
        if (n > size) fuzz::fail("batch of %zu items into %zu slots", n, size);
        if (n == 0) break;
        for (size_t i = 0; i < n; i++)
            out.add(items[i].kind, items[i].name, items[i].text, items[i].text ? items[i].text_length : 0);
        // The readers describe the batch's last start element with attributes.
        for (size_t i = 0, count = quorvel_pull_attr_count(pull); i < count; i++) {
            if (!quorvel_pull_attr_name(pull, i) || !quorvel_pull_attr_value(pull, i))
                fuzz::fail("batch attribute %zu missing", i);
        }
    }
    quorvel_pull_free(pull);
    return out.str();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::warm_thread();
    fuzz::input in(data, size);
    int skip_flags = in.byte() & 0x18;
    int mode = in.byte() % 4;
    size_t batch = 1 + in.byte() % 64;
    std::string doc = in.rest();

    if (mode == 0 || mode == 3) {
        std::string steps = step_through(quorvel_pull_new_flags(doc.data(), doc.size(), skip_flags));
        if (mode == 3) {
            std::string plain = plain_steps(quorvel_pull_new_flags(doc.data(), doc.size(), skip_flags));
            std::string batched = batches(quorvel_pull_new_flags(doc.data(), doc.size(), skip_flags), batch);
            if (plain != batched)
                fuzz::fail("batches differ from single steps\n--- steps\n%s--- batches\n%s", plain.c_str(),
                           batched.c_str());
        }
        return 0;
    }
    std::string path = fuzz::temp_path("pull");
    if (!fuzz::write_file(path, doc)) return 0;
    std::string from_file = step_through(quorvel_pull_new_file_flags(path.c_str(), skip_flags));
    std::remove(path.c_str());
    if (mode == 2 && !doc.empty()) {
        std::string from_memory = step_through(quorvel_pull_new_flags(doc.data(), doc.size(), skip_flags));
        if (from_memory != from_file)
            fuzz::fail("file reader differs from memory reader\n--- memory\n%s--- file\n%s", from_memory.c_str(),
                       from_file.c_str());
    }
    return 0;
}
